// Seeing HTTPS in the window: the key log option and the browser it starts, and a recorded TLS capture
// decrypted through the window's frame path into LV1 and the data window.
#include "tst_mainwindow_support.h"

#include "capture/FrameText.h"
#include "capture/pcap/CaptureComponent.h"
#include "desktop/BrowserLauncher.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/HttpsCapture.h"
#include "mainwindow/KeyLogOptions.h"
#include "mainwindow/MainWindowLayout.h"
#include "mainwindow/RowRequestHeaders.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"
#include "settings/FileTypeSettings.h"
#include "settings/SettingsKeys.h"
#include "settings/TlsSettings.h"
#include "skin/xpcheckbox.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTableView>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
namespace keys = velmora::keys;

namespace {

// A stand-in browser: records its arguments (one a line) and its environment beside itself, then ends.
void WriteStandIn(const QString& path) {
    QFile script(path);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n"
                 "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.argv\"\n"
                 "/usr/bin/env > \"$0.env.part\" && /bin/mv \"$0.env.part\" \"$0.env\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

struct Recorded {
    QStringList arguments;
    QStringList environment;
};

// Waits for the stand-in at PATH to have run, and takes what it recorded.
Recorded TakeRecorded(const QString& path) {
    Recorded recorded;
    const QString env = path + QStringLiteral(".env");
    if (!QTest::qWaitFor([&] { return QFile::exists(env); }, 10000))
        return recorded;
    QFile argv(path + QStringLiteral(".argv"));
    QFile environment(env);
    if (argv.open(QIODevice::ReadOnly))
        recorded.arguments = QString::fromUtf8(argv.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (environment.open(QIODevice::ReadOnly))
        recorded.environment = QString::fromUtf8(environment.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QFile::remove(argv.fileName());
    QFile::remove(env);
    return recorded;
}

// What the button starts past its checks, with this process's environment.
std::optional<QString> StartBrowser(const QString& keyLog) {
    const auto launch = BrowserLauncher::Plan(keyLog, QProcessEnvironment::systemEnvironment());
    return launch ? BrowserLauncher::Start(*launch) : std::optional<QString>(BrowserLauncher::NoBrowserMessage());
}

unsigned Mode(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

class TestMainWindowHttps final : public QObject {
    Q_OBJECT

private slots:
    void keyLogOptionStartsTheBrowserWritingToAPrivateFile();
    void browserKeepsNothingOfOursAndNothingOfOursOutlivesQuit();
    void recordedCaptureListsDecryptedRequestsAmongClearTextRows();
    void figuresSayWhichConnectionsHadGaps();
    void rowsListedFromTheirAnswersHandOnTheirRequestsHeaders();
    // Last: moves the test process into a network namespace of its own.
    void liveCaptureDecryptsWithKeysWrittenWhileItRuns();
};

void TestMainWindowHttps::keyLogOptionStartsTheBrowserWritingToAPrivateFile() {
    SettingsFolder folder;
    QTemporaryDir scratch;
    const QString bin = scratch.filePath(QStringLiteral("bin"));
    const QString runtime = scratch.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(runtime));
    const QByteArray oldPath = qgetenv("PATH");
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("PATH", QFile::encodeName(bin));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    const QString made = runtime + QStringLiteral("/velmora/tls-keys.log");
    const QString chromium = QDir(bin).filePath(QStringLiteral("chromium"));
    DialogRecorder dialogs;
    {
        Form1 form(folder.Options());
        KeyLogOptions* options = form.https()->Options();
        QLineEdit* field = form.findChild<QLineEdit*>(QStringLiteral("KeyLogFile"));
        auto* button = form.findChild<QAbstractButton*>(QStringLiteral("LaunchBrowser"));
        QVERIFY(field && button && field == options->KeyLogFile());
        QCOMPARE(field->text(), QString());

        if (::geteuid() == 0) {
            // As root the button starts nothing, even with a browser on PATH, makes no key log that the
            // user's browser could not write, and says how to go on.
            WriteStandIn(chromium);
            button->click();
            QCOMPARE(dialogs.Count(), 1);
            QCOMPARE(dialogs.Last().title, QStringLiteral("无法启动浏览器"));
            QVERIFY2(dialogs.Last().text.contains(QStringLiteral("SSLKEYLOGFILE=")), qPrintable(dialogs.Last().text));
            QVERIFY(!QFile::exists(runtime + QStringLiteral("/velmora")));
            QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), QString());
            QTest::qWait(300);
            QVERIFY(!QFile::exists(chromium + QStringLiteral(".env")));
            QFile::remove(chromium);
            QVERIFY(std::holds_alternative<std::string>(
                velmora::TlsSettings(form.settings()).EnsureKeyLogFile(runtime.toStdString())));
            field->setText(made);
            dialogs.Clear();
        } else {
            // No browser on PATH: the key log is made all the same, and the message names what was looked for.
            button->click();
            QCOMPARE(field->text(), made);
            QCOMPARE(dialogs.Count(), 1);
            QCOMPARE(dialogs.Last().title, QStringLiteral("无法启动浏览器"));
            QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
        }
        QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), made);
        QCOMPARE(Mode(made), 0600u);
        QCOMPARE(Mode(runtime + QStringLiteral("/velmora")), 0700u);
        const std::optional<QString> none = StartBrowser(made);
        QVERIFY(none && none->contains(QStringLiteral("chromium、google-chrome、firefox")));

        // Firefox reads the variable only; Chromium-family browsers also get the switch (QUIC stays on),
        // and the first of chromium, google-chrome, firefox on PATH is the one started.
        const struct {
            const char* add;
            bool chromium;
        } browsers[] = {{"firefox", false}, {"google-chrome", true}, {"chromium", true}};
        for (const auto& b : browsers) {
            const QString program = QDir(bin).filePath(QString::fromLatin1(b.add));
            WriteStandIn(program);
            QCOMPARE(StartBrowser(made), std::nullopt);
            const Recorded run = TakeRecorded(program);
            QVERIFY2(run.environment.contains(QStringLiteral("SSLKEYLOGFILE=") + made), b.add);
            const QStringList expected =
                b.chromium ? QStringList{QStringLiteral("--ssl-key-log-file=") + made} : QStringList{};
            QCOMPARE(run.arguments, expected);
            // The rest of the environment goes along (the browser needs DISPLAY, HOME, ...).
            QVERIFY(run.environment.contains(QStringLiteral("XDG_RUNTIME_DIR=") + runtime));
        }

        // A path the user chose, with shell syntax in it: stored as chosen, passed as one argument without a
        // shell ever reading it.
        const QString odd = scratch.filePath(QStringLiteral("密钥 $(touch pwned); 'x'.log"));
        dialogs.AnswerText(odd);
        options->KeyLogFile_Click();
        QCOMPARE(dialogs.Last().kind, DialogRequest::Kind::OpenFile);
        QCOMPARE(dialogs.Last().initial, made);
        QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), odd);
        dialogs.AnswerText(std::nullopt); // cancelled: the path stays
        options->KeyLogFile_Click();
        QCOMPARE(field->text(), odd);
        if (::geteuid() != 0) {
            // Through the button: the named file is made private before the browser starts.
            button->click();
            QCOMPARE(Mode(odd), 0600u);
        } else {
            QCOMPARE(StartBrowser(odd), std::nullopt);
        }
        const Recorded run = TakeRecorded(chromium);
        QCOMPARE(run.arguments.value(0), QStringLiteral("--ssl-key-log-file=") + odd);
        QVERIFY(run.environment.contains(QStringLiteral("SSLKEYLOGFILE=") + odd));
        QVERIFY(!QFile::exists(QStringLiteral("pwned")) && !QFile::exists(scratch.filePath(QStringLiteral("pwned"))));
        field->setText(scratch.filePath(QStringLiteral("later.log")));
    }
    // The next start shows the stored path.
    Form1 next(folder.Options());
    QCOMPARE(next.https()->Options()->KeyLogFile()->text(), scratch.filePath(QStringLiteral("later.log")));
    qputenv("PATH", oldPath);
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
}

namespace {

// Opens a capture file as the user does ("打开捕获文件…"): through the window's frame path, as a capture run.
void OpenCapture(Form1& form, const QString& path) {
    auto* reader = form.findChild<CaptureFileOpener*>();
    QVERIFY(reader && reader->Open({path}));
    QTRY_VERIFY_WITH_TIMEOUT(!reader->IsReading(), 20000);
}

QStringList Rows(const ResultListModel& model) {
    QStringList rows;
    for (int r = 0; r < model.rowCount(); ++r)
        rows << model.TypeText(r) + QLatin1Char(' ') + model.AddressText(r) + QLatin1Char(' ') + model.PacketText(r);
    return rows;
}

} // namespace

// curl's keep-alive downloads over HTTP/1.1 and TLS recorded on lo (frames of up to 64 KiB), whole and cut
// to 1514 bytes a frame: the whole capture lists every media answer, the cut one says what it cost.
void TestMainWindowHttps::figuresSayWhichConnectionsHadGaps() {
    SettingsFolder folder;
    const QString keys = folder.dir.filePath(QStringLiteral("keys.log"));
    QVERIFY(QFile::copy(QStringLiteral(VELMORA_TEST_DATA "/large_h1_tls.keys"), keys));
    folder.Write("[FileType]\nCount=1\nExtName1=.mp4\nType1=视频\nValue1=\n[Tls]\nKeyLogFile=" +
                 QFile::encodeName(keys) + "\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    OpenCapture(form, QStringLiteral(VELMORA_TEST_DATA "/large_h1_tls.pcap"));
    QCOMPARE(form.resultModel()->rowCount(), 8); // with the .ts segment, video/mp2t: no row disables it here
    QCOMPARE(form.Status1()->CapturePanel()->text(), QStringLiteral("98 帧 · 8 个地址 · 已解密 1 · 无密钥 0"));
    OpenCapture(form, QStringLiteral(VELMORA_TEST_DATA "/large_h1_tls.s1514.pcap"));
    QCOMPARE(form.resultModel()->rowCount(), 4); // by extension: the answers went with the cut
    QCOMPARE(form.Status1()->CapturePanel()->text(),
             QStringLiteral("98 帧 · 4 个地址 · 已解密 0 · 无密钥 0 · 有缺口 1"));
    // The tooltip has them in full, TLS and HTTP/3 apart.
    QCOMPARE(form.Status1()->CapturePanel()->toolTip().section(QLatin1Char('\n'), 0, 2),
             QStringLiteral("捕获文件：98 帧，4 个地址\nTLS：已解密 0，无密钥 0，未完成 0，有缺口 1，失败 0，不支持 0\n"
                            "HTTP/3：已解密 0，无密钥 0，未完成 0"));
    // At the smallest size every panel reads whole, and so does the missing-keys hint beside the figures.
    form.show();
    form.resize(MainWindowLayout::kMinimumSize);
    QTRY_COMPARE(form.size(), MainWindowLayout::kMinimumSize);
    form.Status1()->SetPanelText(1, QStringLiteral("状态：嗅探开始"));
    QApplication::processEvents();
    QLabel* figures = form.Status1()->CapturePanel();
    for (QLabel* panel : {form.Status1()->Panel(1), form.Status1()->Panel(2), form.Status1()->Panel(3),
                          form.Status1()->Panel(4), figures}) {
        QVERIFY2(panel->contentsRect().width() >= panel->fontMetrics().horizontalAdvance(panel->text()),
                 qPrintable(panel->text()));
        QVERIFY2(form.Status1()->rect().contains(panel->geometry()), qPrintable(panel->text()));
    }
    QVERIFY(figures->x() - 8 >= form.Status1()->fontMetrics().horizontalAdvance(HttpsCapture::MissingKeysText()));
    QCOMPARE(dialogs.Count(), 0);
}

// curl fetched the media page in clear text and over HTTP/2 with TLS: a row listed from its answer (the
// extensionless video) hands on its request's headers, not the answer frame's (which has none), and
// so does a decrypted request, whose own frame holds only ciphertext.
void TestMainWindowHttps::rowsListedFromTheirAnswersHandOnTheirRequestsHeaders() {
    for (const char* capture : {"media_http", "media_h2_tls"}) {
        SettingsFolder folder;
        const QString keys = folder.dir.filePath(QStringLiteral("keys.log"));
        QFile::copy(QStringLiteral(VELMORA_TEST_DATA "/") + capture + QStringLiteral(".keys"), keys);
        folder.Write("[FileType]\nCount=1\nExtName1=.mp4\nType1=视频\nValue1=\n[Tls]\nKeyLogFile=" +
                     QFile::encodeName(keys) + "\n");
        DialogRecorder dialogs;
        Form1 form(folder.Options());
        OpenCapture(form, QStringLiteral(VELMORA_TEST_DATA "/") + capture + QStringLiteral(".pcap"));
        const ResultListModel& rows = *form.resultModel();
        int fromAnswer = -1, fromRequest = -1;
        for (int r = 0; r < rows.rowCount(); ++r) {
            if (rows.AddressText(r).contains(QStringLiteral("/api/play/77812")))
                fromAnswer = r;
            if (rows.AddressText(r).endsWith(QStringLiteral("/media/clip.mp4")))
                fromRequest = r;
        }
        QVERIFY2(fromAnswer >= 0 && fromRequest >= 0, capture);
        for (int r : {fromAnswer, fromRequest})
            QVERIFY2(QString::fromStdString(RequestHeadersForRow(form.engine(), r).userAgent)
                         .startsWith(QStringLiteral("curl/")),
                     qPrintable(rows.AddressText(r)));
    }
}

// tls_window_mixed.pcap (tests/tls/record-window-capture.sh): clear-text GETs to 127.0.0.1:8080 before and
// between HTTPS ones to 127.0.0.1:8443, HTTP/2 (three requests on one connection) and HTTP/1.1, and a
// connection whose keys the key log lacks. The rows and packet numbers are tshark's requests and frame
// numbers for the same file and key log (tls_window_mixed.oracle.txt), less index.html, no media file.
namespace {

// The processes whose environment holds `marker`, but `except`.
QList<qint64> ProcessesMarked(const QByteArray& marker, qint64 except) {
    QList<qint64> found;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || pid == except)
            continue;
        QFile environ(QStringLiteral("/proc/%1/environ").arg(pid));
        if (environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(marker))
            found << pid;
    }
    return found;
}

QString Describe(const QList<qint64>& pids) {
    QStringList names;
    for (const qint64 pid : pids)
        names << QStringLiteral("%1 %2").arg(pid).arg(QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget());
    return names.join(QStringLiteral(", "));
}

} // namespace

// The browser the button starts outlives Velmora, so it gets none of Velmora's descriptors (the embedded
// browser's sockets kept its helpers alive for as long as the started browser ran) and a session of its
// own; and after "退 出" nothing that Velmora started of its own is left.
void TestMainWindowHttps::browserKeepsNothingOfOursAndNothingOfOursOutlivesQuit() {
    SettingsFolder folder;
    QTemporaryDir scratch;
    const QString bin = scratch.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    const QString chromium = QDir(bin).filePath(QStringLiteral("chromium"));
    {
        // Stays running as a browser does, as "sleep" with the descriptors it was given.
        QFile script(chromium);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho $$ > \"$0.pid.part\" && /bin/mv \"$0.pid.part\" \"$0.pid\"\nexec /bin/sleep 60\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QByteArray marker = "VELMORA_QUIT_TEST=" + QByteArray::number(QCoreApplication::applicationPid());
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PATH"), bin + QStringLiteral(":/usr/bin:/bin"));
    env.insert(QStringLiteral("VELMORA_QUIT_TEST"), QString::number(QCoreApplication::applicationPid()));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(VELMORA_BINARY_DIR "/tests/tool_quit_after_browser"),
                  {folder.dir.path(), QStringLiteral(VELMORA_BINARY_DIR "/default-setting.ini"),
                   scratch.filePath(QStringLiteral("keys.log"))});
    QVERIFY2(program.waitForFinished(90000), "the window did not quit");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    QFile pidFile(chromium + QStringLiteral(".pid"));
    QTRY_VERIFY_WITH_TIMEOUT(pidFile.exists(), 10000);
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const qint64 browser = pidFile.readAll().trimmed().toLongLong();
    QVERIFY(browser > 0);
    auto stopBrowser = qScopeGuard([browser] { ::kill(pid_t(browser), SIGKILL); });
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(QStringLiteral("/proc/%1/exe").arg(browser)).symLinkTarget(),
                              QStringLiteral("/usr/bin/sleep"), 10000);
    QStringList descriptors = QDir(QStringLiteral("/proc/%1/fd").arg(browser)).entryList(QDir::System | QDir::Files);
    descriptors.sort();
    QCOMPARE(descriptors, (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
    for (const QString& fd : descriptors)
        QCOMPARE(QFileInfo(QStringLiteral("/proc/%1/fd/%2").arg(browser).arg(fd)).symLinkTarget(),
                 QStringLiteral("/dev/null"));
    QVERIFY(::getsid(pid_t(browser)) != ::getsid(0));

    // The embedded browser's helpers end with the program, although the started browser runs on.
    QList<qint64> left;
    QTRY_VERIFY2_WITH_TIMEOUT((left = ProcessesMarked(marker, browser)).isEmpty(), qPrintable(Describe(left)), 10000);
}

void TestMainWindowHttps::recordedCaptureListsDecryptedRequestsAmongClearTextRows() {
    SettingsFolder folder;
    const QString keys = folder.dir.filePath(QStringLiteral("keys.log"));
    QVERIFY(QFile::copy(QStringLiteral(VELMORA_TEST_DATA "/tls_window_mixed.keys"), keys));
    const QByteArray types = "[FileType]\nCount=4\n"
                             "ExtName1=.mp4\nType1=视频\nValue1=\nExtName2=.flv\nType2=视频\nValue2=\n"
                             "ExtName3=.mp3\nType3=音频\nValue3=\nExtName4=.jpg\nType4=图片\nValue4=\n";
    folder.Write(types + "[Tls]\nKeyLogFile=" + QFile::encodeName(keys) + "\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    QAbstractItemModelTester tester(form.resultModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QString capture = QStringLiteral(VELMORA_TEST_DATA "/tls_window_mixed.pcap");
    OpenCapture(form, capture);

    const QString host = QStringLiteral("https://media.velmora.test:8443");
    const QStringList expected{
        QStringLiteral("视频 http://127.0.0.1:8080/clear/first.mp4 4"),
        QStringLiteral("视频 %1/video/clip.mp4?exp=1.5&sig=a.b 26").arg(host),
        QStringLiteral("音频 %1/music/song.mp3 32").arg(host),
        QStringLiteral("视频 http://127.0.0.1:8080/clear/second.flv 40"),
        QStringLiteral("图片 %1/pictures/poster.jpg 59").arg(host),
    };
    QCOMPARE(Rows(*form.resultModel()), expected);
    QCOMPARE(form.resultModel()->ResultCount(), 5);
    // The same requests, frames and order as tshark's, but for the page.
    QFile oracle(QStringLiteral(VELMORA_TEST_DATA "/tls_window_mixed.oracle.txt"));
    QVERIFY(oracle.open(QIODevice::ReadOnly));
    QStringList tshark;
    for (const QString& line : QString::fromUtf8(oracle.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        if (!line.endsWith(QLatin1String(".html")))
            tshark << line.section(QLatin1Char('\t'), 1) + QLatin1Char(' ') + line.section(QLatin1Char('\t'), 0, 0);
    QStringList listed;
    for (const QString& row : expected)
        listed << row.section(QLatin1Char(' '), 1);
    QCOMPARE(listed, tshark);
    QCOMPARE(dialogs.Count(), 0);
    // The fifth panel: two connections decrypted, one without keys.
    QCOMPARE(form.Status1()->CapturePanel()->text(),
             QStringLiteral("83 帧 · 5 个地址 · 已解密 2 · 无密钥 1"));

    // The data window shows the decrypted request, not the ciphertext of its frame, and the highlight
    // finds the path in it: the HTTP/2 header list, then an HTTP/1.1 request head.
    form.Cmd1(2)->click();
    form.Chk2()->setValue(0);
    QPlainTextEdit* text = form.Text1();
    auto click = [&form](int row) {
        const QModelIndex index = form.resultModel()->index(row, 1);
        form.LV1()->setCurrentIndex(index);
        emit form.LV1()->clicked(index);
    };
    click(1);
    // One "名称: 值" a line, as for a request head.
    QCOMPARE(text->toPlainText(), QStringLiteral(":method: GET\n:path: /video/clip.mp4?exp=1.5&sig=a.b\n:scheme: "
                                                 "https\n:authority: media.velmora.test:8443\nuser-agent: "
                                                 "curl/7.88.1\naccept: */*"));
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("/video/clip.mp4?exp=1.5&sig=a.b"));
    click(4);
    QVERIFY2(text->toPlainText().startsWith(
                 QStringLiteral("GET /pictures/poster.jpg HTTP/1.1\nHost: media.velmora.test:8443\n")),
             qPrintable(text->toPlainText()));
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("/pictures/poster.jpg"));
    const QString http11 = text->toPlainText();
    // Chinese text processing renders the same request through the other renderer, and selects nothing.
    form.Chk2()->setValue(1);
    click(4);
    QCOMPARE(text->toPlainText(), http11);
    QVERIFY(!text->textCursor().hasSelection());
    // A clear-text row still shows its own frame.
    form.Chk2()->setValue(0);
    click(0);
    QCOMPARE(text->toPlainText(), QString::fromStdU16String(velmora::PacketToText(form.store(), 4)));
    QCOMPARE(text->textCursor().selectedText(), QStringLiteral("/clear/first.mp4"));

    // The next start begins afresh: no rows, no connections, no texts; the same file lists the same rows.
    form.ResetCaptureState();
    QCOMPARE(form.resultModel()->rowCount(), 0);
    QCOMPARE(form.https()->FiguresText().brief, QStringLiteral(" · 已解密 0 · 无密钥 0"));
    OpenCapture(form, capture);
    QCOMPARE(Rows(*form.resultModel()), expected);

    // HTTP/3 over QUIC through the same key log (Chromium's secrets appended to it): the picture and the
    // video at tshark's frames (quic_chromium.oracle.txt), and the fifth panel counts the QUIC connection.
    {
        QFile log(keys);
        QFile chromium(QStringLiteral(VELMORA_TEST_DATA "/quic_chromium.keys"));
        QVERIFY(log.open(QIODevice::Append) && chromium.open(QIODevice::ReadOnly));
        log.write(chromium.readAll());
    }
    OpenCapture(form, QStringLiteral(VELMORA_TEST_DATA "/quic_chromium.pcap"));
    QCOMPARE(Rows(*form.resultModel()),
             (QStringList{QStringLiteral("图片 https://media.velmora.test:4433/img/poster.jpg 18"),
                          QStringLiteral("视频 https://media.velmora.test:4433/video/clip.mp4 25")}));
    QCOMPARE(form.https()->FiguresText().brief, QStringLiteral(" · 已解密 1 · 无密钥 0"));
    QVERIFY2(form.https()->FiguresText().detail.contains(QStringLiteral("HTTP/3：已解密 1，无密钥 0")),
             qPrintable(form.https()->FiguresText().detail));
    OpenCapture(form, capture);
    QCOMPARE(Rows(*form.resultModel()), expected);

    // A key log others can write is read all the same, and said once for that file, not at every start.
    QVERIFY(QFile::setPermissions(keys, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther));
    OpenCapture(form, capture);
    OpenCapture(form, capture);
    QCOMPARE(Rows(*form.resultModel()), expected);
    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().icon, QMessageBox::Warning);
    QVERIFY2(dialogs.Last().text.contains(keys) && dialogs.Last().text.contains(QStringLiteral("0606")),
             qPrintable(dialogs.Last().text));
    dialogs.Clear();

    // With no key log set, the one the user's session gives every browser (SSLKEYLOGFILE) is read; the setting
    // stays empty.
    folder.Write(types + "[Tls]\nKeyLogFile=\n");
    qputenv("SSLKEYLOGFILE", QFile::encodeName(keys));
    OpenCapture(form, capture);
    qunsetenv("SSLKEYLOGFILE");
    QCOMPARE(Rows(*form.resultModel()), expected);
    QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), QString());

    // A key log that cannot be read is said once; the capture goes on with the clear-text rows only.
    folder.Write("[FileType]\nCount=1\nExtName1=.mp4\nType1=视频\nValue1=\n[Tls]\nKeyLogFile=" +
                 QFile::encodeName(folder.dir.path()) + "\n");
    form.fileTypes()->Load(velmora::LoadFileTypeTable(form.settings()));
    OpenCapture(form, capture);
    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().title, QStringLiteral("TLS 密钥日志"));
    QVERIFY2(dialogs.Last().text.contains(folder.dir.path()), qPrintable(dialogs.Last().text));
    // The clear-text .flv, which that table does not name, is still listed by its answer's video type,
    // at the frame that completed the answer's head.
    QCOMPARE(Rows(*form.resultModel()),
             (QStringList{expected.first(), QStringLiteral("视频 http://127.0.0.1:8080/clear/second.flv 42")}));
    QCOMPARE(form.https()->FiguresText().brief, QString());
}

// Last, as it moves the process into a network namespace of its own. As root on lo: nginx serves TLS 1.3 + HTTP/2 on
// 127.0.0.1 while the window captures; curl writes its secrets to the key log only after the capture started, so the
// window must read what was appended.
void TestMainWindowHttps::liveCaptureDecryptsWithKeysWrittenWhileItRuns() {
    if (::geteuid() != 0)
        QSKIP("capturing on lo needs root");
    if (!QFile::exists(QStringLiteral("/usr/sbin/nginx")))
        QSKIP("nginx is not installed (tools/install-deps.sh)");
    // A network namespace of its own: a quiet lo, where no other traffic comes by to move the decryption
    // along, and nothing leaves it. The test process stays in it: this test runs last.
    if (::unshare(CLONE_NEWNET) != 0)
        QSKIP("cannot make a network namespace here");
    QProcess ip;
    ip.start(QStringLiteral("ip"),
             {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")});
    QVERIFY(ip.waitForFinished(5000) && ip.exitCode() == 0);
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("root")));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("1"),
                   QStringLiteral("-subj"), QStringLiteral("/CN=media.velmora.test"), QStringLiteral("-keyout"),
                   work.filePath(QStringLiteral("server.key")), QStringLiteral("-out"),
                   work.filePath(QStringLiteral("server.crt"))});
    QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        port = probe.serverPort();
    }
    QFile templ(QStringLiteral(VELMORA_SOURCE_DIR "/tests/tls/nginx.conf.in"));
    QVERIFY(templ.open(QIODevice::ReadOnly));
    QString conf = QString::fromUtf8(templ.readAll());
    conf.replace(QStringLiteral("@WORK@"), work.path())
        .replace(QStringLiteral("@ROOT@"), work.filePath(QStringLiteral("root")))
        .replace(QStringLiteral("127.0.0.1:8443"), QStringLiteral("127.0.0.1:%1").arg(port));
    QFile confFile(work.filePath(QStringLiteral("nginx.conf")));
    QVERIFY(confFile.open(QIODevice::WriteOnly));
    confFile.write(conf.toUtf8());
    confFile.close();
    QProcess nginx;
    nginx.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    nginx.start(QStringLiteral("/usr/sbin/nginx"), {QStringLiteral("-e"), work.filePath(QStringLiteral("error.log")),
                                                    QStringLiteral("-c"), confFile.fileName()});
    QVERIFY(nginx.waitForStarted());
    auto stopNginx = qScopeGuard([&nginx] {
        nginx.terminate(); // by the pid we started
        if (!nginx.waitForFinished(3000))
            nginx.kill();
    });
    QVERIFY(WaitForPort(port));

    SettingsFolder folder;
    const QString keys = work.filePath(QStringLiteral("keys.log")); // made by the capture start
    folder.Write(
        "[FileType]\nCount=1\nExtName1=.mp4\nType1=视频\nValue1=\n[Tls]\nKeyLogFile=" + QFile::encodeName(keys) + "\n");
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset(); // libpcap's own adapters
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    QVERIFY2(lo >= 0, "no loopback adapter");
    form.Combo2()->setCurrentIndex(lo);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QCOMPARE(Mode(keys), 0600u);

    const QString address = QStringLiteral("https://media.velmora.test:%1/live/clip.mp4?t=1.5").arg(port);
    // curl, writing its secrets to `keyLog`.
    auto fetch = [port](const QString& keyLog, const QString& address) {
        QProcess curl;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SSLKEYLOGFILE"), keyLog);
        curl.setProcessEnvironment(environment);
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sk"), QStringLiteral("--http2"), QStringLiteral("--tlsv1.3"),
                    QStringLiteral("--max-time"), QStringLiteral("10"), QStringLiteral("--resolve"),
                    QStringLiteral("media.velmora.test:%1:127.0.0.1").arg(port), QStringLiteral("-o"),
                    QStringLiteral("/dev/null"), address});
        QVERIFY(curl.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, 15000);
        QCOMPARE(curl.exitCode(), 0);
    };
    fetch(keys, address);

    // Other programs may use lo meanwhile: look for this request's row, not at the row count.
    ResultListModel& rows = *form.resultModel();
    auto row = [&rows, &address] {
        for (int r = 0; r < rows.rowCount(); ++r)
            if (rows.AddressText(r) == address)
                return r;
        return -1;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(row() >= 0, qPrintable(form.Status1()->CapturePanel()->text()), 10000);
    QCOMPARE(rows.TypeText(row()), QStringLiteral("视频"));
    // While capturing, the fifth panel counts the decrypted connection.
    const QRegularExpression figures(QStringLiteral(" · 已解密 ([1-9][0-9]*) · 无密钥 [0-9]+$"));
    QTRY_VERIFY_WITH_TIMEOUT(figures.match(form.Status1()->CapturePanel()->text()).hasMatch(), 5000);

    // Connections whose keys the browser does not write (it ran before it was asked to): after ten seconds
    // without a decrypted one, the status bar says why and what to do, once.
    QCOMPARE(form.Status1()->currentMessage(), QString());
    fetch(work.filePath(QStringLiteral("elsewhere.log")), address);
    fetch(work.filePath(QStringLiteral("elsewhere.log")), address);
    QTest::qWait(5000);
    QCOMPARE(form.Status1()->currentMessage(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(
        form.Status1()->currentMessage().startsWith(QStringLiteral("无密钥：请关闭浏览器")), 10000);
    QVERIFY(form.Status1()->currentMessage().contains(QStringLiteral("启动浏览器（记录密钥）")));
    form.Status1()->clearMessage();
    QTest::qWait(2000);
    QCOMPARE(form.Status1()->currentMessage(), QString());

    // A key log chosen while the capture runs (here typed into the field) is read at once, without a
    // restart: the connections that begin after it are decrypted.
    const QString later = work.filePath(QStringLiteral("later.log"));
    const QString laterAddress = QStringLiteral("https://media.velmora.test:%1/live/clip.mp4?t=2.5").arg(port);
    QLineEdit* keyLogField = form.findChild<KeyLogOptions*>()->KeyLogFile();
    keyLogField->setText(later);
    QTest::keyClick(keyLogField, Qt::Key_Return);
    QCOMPARE(Mode(later), 0600u);
    fetch(later, laterAddress);
    const auto laterRow = [&rows, &laterAddress] {
        for (int r = 0; r < rows.rowCount(); ++r)
            if (rows.AddressText(r) == laterAddress)
                return r;
        return -1;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(laterRow() >= 0, qPrintable(form.Status1()->CapturePanel()->text()), 10000);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QCOMPARE(dialogs.Count(), 0);
}

VELMORA_GUI_TEST_MAIN(TestMainWindowHttps)
#include "tst_mainwindow_https.moc"
