// Seeing HTTPS in the window: the key log option and the browser it starts, and a recorded TLS capture
// decrypted through the window's frame path into LV1 and the data window.
#include "tst_mainwindow_support.h"

#include "mainwindow/HttpsCapture.h"
#include "mainwindow/KeyLogOptions.h"
#include "settings/SettingsKeys.h"

#include <QAbstractButton>
#include <QLineEdit>

#include <sys/stat.h>

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

unsigned Mode(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

class TestMainWindowHttps final : public QObject {
    Q_OBJECT

private slots:
    void keyLogOptionStartsTheBrowserWritingToAPrivateFile();
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
    DialogRecorder dialogs;
    {
        Form1 form(folder.Options());
        KeyLogOptions* options = form.https()->Options();
        QLineEdit* field = form.findChild<QLineEdit*>(QStringLiteral("KeyLogFile"));
        auto* button = form.findChild<QAbstractButton*>(QStringLiteral("LaunchBrowser"));
        QVERIFY(field && button && field == options->KeyLogFile());
        QCOMPARE(field->text(), QString());

        // No browser on PATH: the key log is made all the same, and the message names what was looked for.
        button->click();
        const QString made = runtime + QStringLiteral("/velmora/tls-keys.log");
        QCOMPARE(field->text(), made);
        QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), made);
        QCOMPARE(Mode(made), 0600u);
        QCOMPARE(Mode(runtime + QStringLiteral("/velmora")), 0700u);
        QCOMPARE(dialogs.Count(), 1);
        QCOMPARE(dialogs.Last().title, QStringLiteral("无法启动浏览器"));
        QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
        QVERIFY2(dialogs.Last().text.contains(QStringLiteral("chromium、google-chrome、firefox")),
                 qPrintable(dialogs.Last().text));

        // Firefox reads the variable only; Chromium-family browsers get the switch and are kept off QUIC,
        // and the first of chromium, google-chrome, firefox on PATH is the one started.
        const struct {
            const char* add;
            bool chromium;
        } browsers[] = {{"firefox", false}, {"google-chrome", true}, {"chromium", true}};
        for (const auto& b : browsers) {
            const QString program = QDir(bin).filePath(QString::fromLatin1(b.add));
            WriteStandIn(program);
            dialogs.Clear();
            button->click();
            QCOMPARE(dialogs.Count(), 0);
            const Recorded run = TakeRecorded(program);
            QVERIFY2(run.environment.contains(QStringLiteral("SSLKEYLOGFILE=") + made), b.add);
            const QStringList expected =
                b.chromium ? QStringList{QStringLiteral("--ssl-key-log-file=") + made, QStringLiteral("--disable-quic")}
                           : QStringList{};
            QCOMPARE(run.arguments, expected);
            // The rest of the environment goes along (the browser needs DISPLAY, HOME, ...).
            QVERIFY(run.environment.contains(QStringLiteral("XDG_RUNTIME_DIR=") + runtime));
        }

        // A path the user chose, with shell syntax in it: stored as typed, made private, passed as one
        // argument without a shell ever reading it.
        const QString odd = scratch.filePath(QStringLiteral("密钥 $(touch pwned); 'x'.log"));
        dialogs.AnswerText(odd);
        options->KeyLogFile_Click();
        QCOMPARE(dialogs.Last().kind, DialogRequest::Kind::OpenFile);
        QCOMPARE(dialogs.Last().initial, made);
        QCOMPARE(folder.QValue(keys::kTlsSection, keys::kKeyLogFileKey), odd);
        dialogs.AnswerText(std::nullopt); // cancelled: the path stays
        options->KeyLogFile_Click();
        QCOMPARE(field->text(), odd);
        button->click();
        const Recorded run = TakeRecorded(QDir(bin).filePath(QStringLiteral("chromium")));
        QCOMPARE(run.arguments.value(0), QStringLiteral("--ssl-key-log-file=") + odd);
        QVERIFY(run.environment.contains(QStringLiteral("SSLKEYLOGFILE=") + odd));
        QCOMPARE(Mode(odd), 0600u);
        QVERIFY(!QFile::exists(QStringLiteral("pwned")) && !QFile::exists(scratch.filePath(QStringLiteral("pwned"))));

        // A key log that cannot be made: said, and no browser is started.
        field->setText(scratch.filePath(QStringLiteral("missing-folder/keys.log")));
        dialogs.Clear();
        button->click();
        QCOMPARE(dialogs.Count(), 1);
        QCOMPARE(dialogs.Last().title, QStringLiteral("密钥日志错误"));
        QVERIFY(dialogs.Last().text.contains(QStringLiteral("missing-folder/keys.log")));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(QDir(bin).filePath(QStringLiteral("chromium.env"))));
    }
    // The next start shows the stored path.
    Form1 next(folder.Options());
    QCOMPARE(next.https()->Options()->KeyLogFile()->text(),
             scratch.filePath(QStringLiteral("missing-folder/keys.log")));
    qputenv("PATH", oldPath);
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
}

VELMORA_GUI_TEST_MAIN(TestMainWindowHttps)
#include "tst_mainwindow_https.moc"
