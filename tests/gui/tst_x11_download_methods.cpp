// The download methods beyond the download manager, end to end on a real X server (Xvfb with jwm), as
// root: a request with a page's Referer, User-Agent and Cookie is captured on the loopback device
// into a capture file; the window opens that file as "velmora FILE" does; a double-click on the row
// hands it to a real aria2, which downloads the file from the local server with the same headers.
// aria2's failures (wrong secret, nothing listening, no answer) give the box; the user's command gets
// every address as one argument, whatever the address holds.

#include "desktop/Aria2Client.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/DownloadMethodGroup.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"
#include "settings/SettingsKeys.h"
#include "tst_mainwindow_support.h"

#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>

#include <pcap/pcap.h>
#include <unistd.h>

#include <memory>

using namespace testsupport;

namespace {

const QString kRecorder = QStringLiteral(VELMORA_BINARY_DIR "/tests/tool_arg_recorder");
const QByteArray kReferer = "http://127.0.0.1/watch?v=7&list=a b";
const QByteArray kUserAgent = "Mozilla/5.0 (X11; Linux x86_64) VelmoraTest/1.0";
const QByteArray kCookie = "sid=f00d; lang=zh-CN";

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

bool Listening(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// Answers every request with the same media file and keeps each request's header block. With
// `silent` it accepts connections and never answers.
class MediaServer final : public QTcpServer {
public:
    explicit MediaServer(QByteArray body, bool silent = false) : body_(std::move(body)), silent_(silent) {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                if (silent_)
                    continue; // held open, unanswered
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    QByteArray& buffer = buffers_[socket];
                    buffer += socket->readAll();
                    if (!buffer.contains("\r\n\r\n"))
                        return;
                    requests << buffer.left(buffer.indexOf("\r\n\r\n"));
                    socket->write(
                        "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nConnection: close\r\nContent-Length: " +
                        QByteArray::number(body_.size()) + "\r\n\r\n" + body_);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    QList<QByteArray> requests;

private:
    QByteArray body_;
    bool silent_;
    QHash<QTcpSocket*, QByteArray> buffers_;
};

// The value of header `name` in a request's header block.
QByteArray Header(const QByteArray& request, const QByteArray& name) {
    for (const QByteArray& line : request.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// A temporary message is drawn only left of the permanent figures panel: with the figures shown there must
// be room for the whole text, and the bar's pixels there must show it (the four panels are hidden meanwhile).
bool MessageIsSeen(StatusPanels& status) {
    const QString message = status.currentMessage();
    const QLabel* figures = status.CapturePanel();
    if (message.isEmpty() || !figures->isVisible() || figures->text().isEmpty())
        return false;
    const int room = figures->x() - 8;
    if (room < status.fontMetrics().horizontalAdvance(message))
        return false;
    const QImage bar = status.grab().toImage();
    int ink = 0;
    for (int y = 0; y < bar.height(); ++y)
        for (int x = 0; x < room; ++x)
            ink += qGray(bar.pixel(x, y)) < 96;
    return ink > 20;
}

QList<QByteArray> RecordedArguments(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> arguments = file.readAll().split('\0');
    arguments.removeLast(); // after the last NUL
    return arguments;
}

} // namespace

class TestDownloadMethods final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void aria2DownloadsTheRowOfACaptureFile();
    void aria2FailuresGiveTheBoxAndKeepTheClipboard();
    void commandGetsEachAddressAsOneArgument();

private:
    // A window on `folder`, with the capture file opened the way "velmora FILE" opens it.
    std::unique_ptr<Form1> OpenWindow(SettingsFolder& folder);
    void DoubleClickRow(Form1& form, int row);
    void StartAria2();
    void StopAria2();
    QString MediaUrl() const { return QStringLiteral("http://127.0.0.1:%1/v/clip.mp4").arg(server_->serverPort()); }

    QTemporaryDir work_;
    QByteArray body_;
    std::unique_ptr<MediaServer> server_;
    QString capture_;
    QProcess aria2_;
    quint16 aria2Port_ = 0;
    const QString secret_ = QStringLiteral("s3cr3t;'\"");
};

void TestDownloadMethods::initTestCase() {
    if (::geteuid() != 0)
        QSKIP("capturing on lo needs root");
    QVERIFY(work_.isValid());
    for (int i = 0; i < 40000; ++i)
        body_ += char('a' + i % 26);
    server_ = std::make_unique<MediaServer>(body_);
    QVERIFY(server_->isListening());

    // The capture file: curl's request as the loopback device carried it.
    char error[PCAP_ERRBUF_SIZE] = {};
    const std::unique_ptr<pcap_t, decltype(&pcap_close)> lo(pcap_create("lo", error), &pcap_close);
    QVERIFY2(lo, error);
    pcap_set_snaplen(lo.get(), 65535);
    pcap_set_immediate_mode(lo.get(), 1);
    QVERIFY2(pcap_activate(lo.get()) >= 0, pcap_geterr(lo.get()));
    bpf_program filter{};
    const QByteArray expression = "tcp port " + QByteArray::number(server_->serverPort());
    QVERIFY(pcap_compile(lo.get(), &filter, expression.constData(), 1, PCAP_NETMASK_UNKNOWN) == 0);
    QVERIFY(pcap_setfilter(lo.get(), &filter) == 0);
    pcap_freecode(&filter);
    QVERIFY(pcap_setnonblock(lo.get(), 1, error) == 0);
    capture_ = work_.filePath(QStringLiteral("request.pcap"));
    pcap_dumper_t* dumper = pcap_dump_open(lo.get(), QFile::encodeName(capture_).constData());
    QVERIFY2(dumper, pcap_geterr(lo.get()));

    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("--max-time"),
                QStringLiteral("10"), QStringLiteral("-H"), QString::fromUtf8("Referer: " + kReferer),
                QStringLiteral("-A"), QString::fromUtf8(kUserAgent), QStringLiteral("-b"), QString::fromUtf8(kCookie),
                MediaUrl()});
    QVERIFY(curl.waitForStarted());
    const auto pump = [&] { pcap_dispatch(lo.get(), -1, &pcap_dump, reinterpret_cast<u_char*>(dumper)); };
    QTRY_VERIFY_WITH_TIMEOUT((pump(), curl.state() == QProcess::NotRunning), 15000);
    for (int i = 0; i < 10; ++i, QTest::qWait(20))
        pump();
    pcap_dump_close(dumper);
    QCOMPARE(curl.exitCode(), 0);
    QCOMPARE(server_->requests.size(), 1);
    server_->requests.clear();

    StartAria2();
}

void TestDownloadMethods::StartAria2() {
    aria2Port_ = FreePort();
    QVERIFY(QDir(work_.path()).mkpath(QStringLiteral("downloads")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* proxy : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
        environment.remove(QString::fromLatin1(proxy));
    aria2_.setProcessEnvironment(environment);
    aria2_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    aria2_.start(QStringLiteral("aria2c"),
                 {QStringLiteral("--no-conf"), QStringLiteral("--quiet"), QStringLiteral("--enable-rpc"),
                  QStringLiteral("--rpc-listen-all=false"), QStringLiteral("--rpc-listen-port=%1").arg(aria2Port_),
                  QStringLiteral("--rpc-secret=") + secret_, QStringLiteral("--max-tries=1"),
                  QStringLiteral("--dir=") + work_.filePath(QStringLiteral("downloads"))});
    QVERIFY2(aria2_.waitForStarted(), "aria2c did not start; tools/install-deps.sh test installs it");
    QTRY_VERIFY_WITH_TIMEOUT(Listening(aria2Port_), 10000);
}

void TestDownloadMethods::StopAria2() {
    if (aria2_.state() == QProcess::NotRunning)
        return;
    aria2_.terminate(); // SIGTERM to the pid we started
    if (!aria2_.waitForFinished(5000))
        aria2_.kill();
    aria2_.waitForFinished(2000);
}

void TestDownloadMethods::cleanupTestCase() {
    StopAria2();
}

std::unique_ptr<Form1> TestDownloadMethods::OpenWindow(SettingsFolder& folder) {
    auto form = std::make_unique<Form1>(folder.Options());
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get()))
        return nullptr;
    auto* reader = form->findChild<CaptureFileOpener*>();
    QSignalSpy finished(reader, &CaptureFileOpener::Finished);
    if (!reader->Open(CaptureFileOpener::FileArguments({QStringLiteral("velmora"), capture_})) || !finished.wait(10000))
        return nullptr;
    return form;
}

void TestDownloadMethods::DoubleClickRow(Form1& form, int row) {
    QTableView* view = form.LV1();
    const QPoint point = view->visualRect(form.resultModel()->index(row, ResultListModel::AddressColumn)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, point);
}

void TestDownloadMethods::aria2DownloadsTheRowOfACaptureFile() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    std::unique_ptr<Form1> form = OpenWindow(folder);
    QVERIFY(form);
    ResultListModel& rows = *form->resultModel();
    QCOMPARE(rows.rowCount(), 1);
    QCOMPARE(rows.AddressText(0), MediaUrl());
    QCOMPARE(form->Cmd1(0)->text(), QStringLiteral("开始嗅探"));

    // The options as a user sets them; each change is in the file at once.
    auto* methods = form->findChild<DownloadMethodGroup*>();
    QVERIFY(methods && !methods->Aria2Url()->isVisibleTo(methods) && !methods->Command()->isVisibleTo(methods));
    methods->Method()->setCurrentIndex(1);
    QVERIFY(methods->Aria2Url()->isVisibleTo(methods) && !methods->Command()->isVisibleTo(methods));
    methods->Aria2Url()->setText(QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(aria2Port_));
    methods->Aria2Secret()->setText(secret_);
    QCOMPARE(folder.Value(velmora::keys::kDownloadSection, velmora::keys::kMethodKey), "1");
    QCOMPARE(folder.QValue(velmora::keys::kDownloadSection, velmora::keys::kAria2SecretKey), secret_);

    DoubleClickRow(*form, 0);
    QCOMPARE(QGuiApplication::clipboard()->text(), MediaUrl());
    QTRY_VERIFY_WITH_TIMEOUT(form->Status1()->currentMessage().contains(QStringLiteral("gid")), 5000);
    QVERIFY2(form->Status1()->currentMessage().contains(QRegularExpression(QStringLiteral("[0-9a-f]{16}"))),
             qPrintable(form->Status1()->currentMessage()));
    QVERIFY(MessageIsSeen(*form->Status1()));

    const QString downloaded = work_.filePath(QStringLiteral("downloads/clip.mp4"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(downloaded) && !QFile::exists(downloaded + QStringLiteral(".aria2")) &&
                                 QFileInfo(downloaded).size() == body_.size(),
                             15000);
    QFile file(downloaded);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), body_);
    // aria2 asked with the page's context, read from the captured request.
    QCOMPARE(server_->requests.size(), 1);
    QCOMPARE(Header(server_->requests[0], "Referer"), kReferer);
    QCOMPARE(Header(server_->requests[0], "User-Agent"), kUserAgent);
    QCOMPARE(Header(server_->requests[0], "Cookie"), kCookie);
    QCOMPARE(dialogs.Count(), 0);
}

void TestDownloadMethods::aria2FailuresGiveTheBoxAndKeepTheClipboard() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    std::unique_ptr<Form1> form = OpenWindow(folder);
    QVERIFY(form);
    auto* methods = form->findChild<DownloadMethodGroup*>();
    methods->Method()->setCurrentIndex(1);
    server_->requests.clear();
    MediaServer silent({}, true);
    const quint16 nobody = FreePort();
    struct Case {
        QString url;
        QString secret;
        QString reason;
        int withinMs;
    };
    const Case cases[] = {
        {QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(aria2Port_), QStringLiteral("wrong"),
         QStringLiteral("Unauthorized"), 5000},
        {QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(aria2Port_), QString(), QStringLiteral("Unauthorized"),
         5000},
        {QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(nobody), secret_, QStringLiteral("连接被拒绝"), 5000},
        {QStringLiteral("http://127.0.0.1:%1/jsonrpc").arg(silent.serverPort()), secret_,
         QStringLiteral("5 秒内没有回答"), Aria2Client::kTimeoutMs + 3000},
        {QStringLiteral("ftp://127.0.0.1/jsonrpc"), secret_, QStringLiteral("ftp://127.0.0.1/jsonrpc"), 5000},
    };
    for (const Case& c : cases) {
        dialogs.Clear();
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        methods->Aria2Url()->setText(c.url);
        methods->Aria2Secret()->setText(c.secret);
        DoubleClickRow(*form, 0);
        QTRY_VERIFY_WITH_TIMEOUT(dialogs.Count() == 1, c.withinMs);
        QVERIFY2(dialogs.Last().text.contains(c.reason), qPrintable(dialogs.Last().text));
        QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
        QCOMPARE(QGuiApplication::clipboard()->text(), MediaUrl());
    }
    // Nothing reached aria2's downloads.
    QTest::qWait(300);
    QCOMPARE(server_->requests.size(), 0);
}

void TestDownloadMethods::commandGetsEachAddressAsOneArgument() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    std::unique_ptr<Form1> form = OpenWindow(folder);
    QVERIFY(form);
    auto* methods = form->findChild<DownloadMethodGroup*>();
    methods->Method()->setCurrentIndex(2);
    QVERIFY(methods->Command()->isVisibleTo(methods) && !methods->Aria2Url()->isVisibleTo(methods));
    QVERIFY2(QFileInfo(kRecorder).isExecutable(), "build tool_arg_recorder first");
    // A shell would run these; the program is started without one, from this folder.
    QTemporaryDir cwd;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    const QString log = cwd.filePath(QStringLiteral("args"));

    // The captured row: placeholders inside arguments, the request's headers for %r %a %c.
    methods->Command()->setText(
        QStringLiteral("\"%1\" \"%2\" --referer=%r -A %a --cookie \"%c\" -o out%%u.mp4 -- %u").arg(kRecorder, log));
    QCOMPARE(folder.QValue(velmora::keys::kDownloadSection, velmora::keys::kCommandKey), methods->Command()->text());
    DoubleClickRow(*form, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(log), 5000);
    QCOMPARE(RecordedArguments(log), (QList<QByteArray>{"--referer=" + kReferer, "-A", kUserAgent, "--cookie", kCookie,
                                                        "-o", "out%u.mp4", "--", MediaUrl().toUtf8()}));
    QCOMPARE(form->Status1()->currentMessage(), QStringLiteral("已启动 ") + kRecorder);
    QVERIFY(MessageIsSeen(*form->Status1()));

    // Addresses from the network, with no %u in the template: each is the last argument, byte for byte.
    const QStringList addresses{QStringLiteral("http://127.0.0.1/a b.mp4"),
                                QStringLiteral("http://127.0.0.1/$(touch x).mp4"),
                                QStringLiteral("http://127.0.0.1/a;b'c\".mp4"),
                                QStringLiteral("http://127.0.0.1/`touch y`%u%r\n&& touch z.mp4")};
    methods->Command()->setText(QStringLiteral("%1 %2").arg(kRecorder, log));
    ResultListModel& rows = *form->resultModel();
    for (const QString& address : addresses) {
        rows.AddCaptureRow({u"视频", address.toStdU16String(), 1});
        rows.FlushPending();
        QFile::remove(log);
        DoubleClickRow(*form, rows.rowCount() - 1);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(log), 5000);
        QCOMPARE(RecordedArguments(log), QList<QByteArray>{address.toUtf8()});
    }
    QTest::qWait(200);
    QCOMPARE(QDir(cwd.path()).entryList(QDir::Files), QStringList{QStringLiteral("args")});
    QCOMPARE(dialogs.Count(), 0);

    // A program that cannot be started is named in the box; an empty template asks for one.
    methods->Command()->setText(QStringLiteral("/nonexistent/yt-dlp %u"));
    DoubleClickRow(*form, 0);
    QCOMPARE(dialogs.Count(), 1);
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("/nonexistent/yt-dlp")), qPrintable(dialogs.Last().text));
    methods->Command()->setText(QStringLiteral("  "));
    DoubleClickRow(*form, 0);
    QCOMPARE(dialogs.Count(), 2);
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("下载命令")), qPrintable(dialogs.Last().text));
    QCOMPARE(QGuiApplication::clipboard()->text(), MediaUrl());
    QVERIFY(QDir::setCurrent(before));
}

VELMORA_GUI_TEST_MAIN(TestDownloadMethods)
#include "tst_x11_download_methods.moc"
