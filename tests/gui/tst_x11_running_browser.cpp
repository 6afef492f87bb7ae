// The key log button and a browser that already runs: real Chromium and Firefox, started first as an
// ordinary user on the test's X server with that user's default profiles, are found through their
// profile locks; the button then asks before starting anything, and offers a browser of Velmora's own.
#include "tst_mainwindow_support.h"

#include "desktop/BrowserLauncher.h"
#include "desktop/BrowserProfile.h"
#include "mainwindow/HttpsCapture.h"
#include "mainwindow/KeyLogOptions.h"

#include <QProcess>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr uid_t kUser = 65534; // nobody: the browsers must not run as root

// A stand-in browser on PATH: records its arguments (one a line) beside itself, then ends.
void WriteStandIn(const QString& path) {
    QFile script(path);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.part\" && /bin/mv \"$0.part\" "
                 "\"$0.argv\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

const QStringList kNotStarted{QStringLiteral("(not started)")};

// What the stand-in at PATH was started with; kNotStarted when it was not started within `ms`.
QStringList TakeArguments(const QString& path, int ms = 10000) {
    const QString argv = path + QStringLiteral(".argv");
    if (!QTest::qWaitFor([&] { return QFile::exists(argv); }, ms))
        return kNotStarted;
    QFile file(argv);
    if (!file.open(QIODevice::ReadOnly))
        return kNotStarted;
    const QStringList arguments = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    file.remove();
    return arguments;
}

// Starts a real browser as kUser with HOME as given, on this test's X server.
void StartAsUser(QProcess& browser, const QString& program, const QStringList& arguments, const QString& home) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    environment.insert(QStringLiteral("DISPLAY"), qEnvironmentVariable("DISPLAY"));
    browser.setProcessEnvironment(environment);
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    browser.setChildProcessModifier([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUser) != 0 || ::setuid(kUser) != 0)
            ::_exit(120);
    });
    browser.start(program, arguments);
}

void Stop(QProcess& browser) {
    if (browser.state() == QProcess::NotRunning)
        return;
    browser.terminate(); // by the pid we started
    if (!browser.waitForFinished(10000)) {
        browser.kill();
        browser.waitForFinished(5000);
    }
}

} // namespace

class TestRunningBrowser final : public QObject {
    Q_OBJECT

private slots:
    void buttonAsksBeforeStartingABrowserThatAlreadyRuns();
};

void TestRunningBrowser::buttonAsksBeforeStartingABrowserThatAlreadyRuns() {
    if (::geteuid() != 0)
        QSKIP("needs root, to start the browsers as another user");
    const bool haveChromium = QFile::exists(QStringLiteral("/usr/bin/chromium"));
    const bool haveFirefox = QFile::exists(QStringLiteral("/usr/bin/firefox-esr"));
    if (!haveChromium || !haveFirefox)
        QSKIP("chromium and firefox-esr are not installed (tools/install-deps.sh)");
    QTemporaryDir scratch;
    const QString home = scratch.filePath(QStringLiteral("home"));
    const QString bin = scratch.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(bin));
    QVERIFY(::chmod(QFile::encodeName(scratch.path()).constData(), 0755) == 0);
    QVERIFY(::chown(QFile::encodeName(home).constData(), kUser, kUser) == 0);
    const QString keyLog = scratch.filePath(QStringLiteral("keys.log"));
    // The environment the button plans with: the user's HOME, and stand-ins on PATH that record how they
    // were started (the real browsers started below hold the profiles).
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("PATH"), bin);
    const QString ownData = home + QStringLiteral("/.local/share/velmora");

    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    KeyLogOptions* options = form.https()->Options();

    // Chromium, already open with the user's profile.
    QProcess chromium;
    StartAsUser(chromium, QStringLiteral("/usr/bin/chromium"),
                {QStringLiteral("--no-sandbox"), QStringLiteral("--no-first-run"),
                 QStringLiteral("--password-store=basic"), QStringLiteral("about:blank")},
                home);
    QVERIFY(chromium.waitForStarted());
    auto stopChromium = qScopeGuard([&chromium] { Stop(chromium); });
    const QString chromiumProfile = home + QStringLiteral("/.config/chromium");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(chromiumProfile + QStringLiteral("/SingletonLock")).isSymLink(), 60000);
    const QString standIn = QDir(bin).filePath(QStringLiteral("chromium"));
    WriteStandIn(standIn);
    const std::optional<BrowserLauncher::Launch> plan = BrowserLauncher::Plan(keyLog, environment);
    QVERIFY(plan);
    QCOMPARE(plan->profile, chromiumProfile);
    QCOMPARE(plan->runningPid, std::optional<qint64>(chromium.processId()));

    // The box says why, and the way the user chooses: nothing is started when they close it first ...
    dialogs.answers.push_back({QMessageBox::Cancel, {}});
    options->StartBrowser(keyLog, environment);
    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().title, QStringLiteral("浏览器已在运行"));
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("不会记录 TLS 密钥")) &&
                 dialogs.Last().text.contains(QString::number(chromium.processId())) &&
                 dialogs.Last().text.contains(ownData + QStringLiteral("/chromium")),
             qPrintable(dialogs.Last().text));
    QCOMPARE(dialogs.Last().buttonTexts,
             (QStringList{QStringLiteral("打开单独的浏览器"), QStringLiteral("我先关闭浏览器")}));
    QCOMPARE(dialogs.Last().buttons, QMessageBox::Open | QMessageBox::Cancel);
    QCOMPARE(TakeArguments(standIn, 500), kNotStarted);
    // ... and a separate browser with Velmora's own profile, private, records keys.
    dialogs.answers.push_back({QMessageBox::Open, {}});
    options->StartBrowser(keyLog, environment);
    QCOMPARE(dialogs.Count(), 2);
    QCOMPARE(TakeArguments(standIn),
             (QStringList{QStringLiteral("--user-data-dir=") + ownData + QStringLiteral("/chromium"),
                          QStringLiteral("--ssl-key-log-file=") + keyLog}));
    QFileInfo own(ownData + QStringLiteral("/chromium"));
    QVERIFY(own.isDir());
    QCOMPARE(own.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), QFile::Permissions());

    // Once Chromium has ended, the lock it may leave behind names a process that is gone (or another
    // machine sharing the folder): the user's own profile is started, without a box.
    Stop(chromium);
    const QString lock = chromiumProfile + QStringLiteral("/SingletonLock");
    char host[256] = {};
    QVERIFY(::gethostname(host, sizeof host - 1) == 0);
    for (const QString& target : {QString::fromUtf8(host) + QStringLiteral("-%1").arg(chromium.processId()),
                                  QStringLiteral("elsewhere-%1").arg(::getpid())}) {
        QFile::remove(lock);
        QVERIFY(QFile::link(target, lock));
        dialogs.Clear();
        options->StartBrowser(keyLog, environment);
        QCOMPARE(dialogs.Count(), 0);
        QCOMPARE(TakeArguments(standIn), (QStringList{QStringLiteral("--ssl-key-log-file=") + keyLog}));
    }
    QFile::remove(standIn);

    // Firefox, already open with the default profile it made for the user (profiles.ini, .parentlock).
    QProcess firefox;
    StartAsUser(firefox, QStringLiteral("/usr/bin/firefox-esr"), {QStringLiteral("about:blank")}, home);
    QVERIFY(firefox.waitForStarted());
    auto stopFirefox = qScopeGuard([&firefox] { Stop(firefox); });
    const QString firefoxStandIn = QDir(bin).filePath(QStringLiteral("firefox"));
    WriteStandIn(firefoxStandIn);
    std::optional<BrowserLauncher::Launch> firefoxPlan;
    QTRY_VERIFY_WITH_TIMEOUT((firefoxPlan = BrowserLauncher::Plan(keyLog, environment)) && firefoxPlan->runningPid,
                             60000);
    QCOMPARE(firefoxPlan->runningPid, std::optional<qint64>(firefox.processId()));
    QVERIFY2(firefoxPlan->profile.startsWith(home + QStringLiteral("/.config/mozilla/firefox/")) ||
                 firefoxPlan->profile.startsWith(home + QStringLiteral("/.mozilla/firefox/")),
             qPrintable(firefoxPlan->profile));
    dialogs.Clear();
    dialogs.answers.push_back({QMessageBox::Open, {}});
    options->StartBrowser(keyLog, environment);
    QCOMPARE(dialogs.Count(), 1);
    QVERIFY2(dialogs.Last().text.contains(firefoxPlan->profile), qPrintable(dialogs.Last().text));
    QCOMPARE(
        TakeArguments(firefoxStandIn),
        (QStringList{QStringLiteral("-profile"), ownData + QStringLiteral("/firefox"), QStringLiteral("-no-remote")}));
    Stop(firefox);
    QTRY_VERIFY_WITH_TIMEOUT(!BrowserLauncher::Plan(keyLog, environment)->runningPid, 10000);
    dialogs.Clear();
    options->StartBrowser(keyLog, environment);
    QCOMPARE(dialogs.Count(), 0);
    QCOMPARE(TakeArguments(firefoxStandIn), QStringList());
}

VELMORA_GUI_TEST_MAIN(TestRunningBrowser)
#include "tst_x11_running_browser.moc"
