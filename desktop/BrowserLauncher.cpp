#include "desktop/BrowserLauncher.h"

#include "desktop/DetachedProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {

// QStandardPaths::findExecutable reads this process's PATH; the plan takes the environment it is given.
QString FindOnPath(const QString& name, const QString& path) {
    for (const QString& folder : path.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QFileInfo candidate(QDir(folder).filePath(name));
        if (candidate.isFile() && candidate.isExecutable())
            return candidate.absoluteFilePath();
    }
    return {};
}

} // namespace

const QStringList& BrowserLauncher::Candidates() {
    // Debian ships Firefox as firefox-esr only.
    static const QStringList names{QStringLiteral("chromium"), QStringLiteral("google-chrome"),
                                   QStringLiteral("firefox"), QStringLiteral("firefox-esr")};
    return names;
}

std::optional<BrowserLauncher::Launch> BrowserLauncher::Plan(const QString& keyLogFile,
                                                             const QProcessEnvironment& environment) {
    const QString path = environment.value(QStringLiteral("PATH"));
    for (const QString& name : Candidates()) {
        const QString program = FindOnPath(name, path);
        if (program.isEmpty())
            continue;
        Launch launch;
        launch.program = program;
        launch.family = BrowserProfile::FamilyOf(name).value_or(BrowserProfile::Family::Firefox);
        if (launch.family == BrowserProfile::Family::Chromium)
            launch.arguments = {QStringLiteral("--ssl-key-log-file=") + keyLogFile};
        launch.environment = environment;
        launch.environment.insert(QStringLiteral("SSLKEYLOGFILE"), keyLogFile);
        launch.profile = BrowserProfile::DefaultFolder(program, environment);
        launch.runningPid = BrowserProfile::RunningIn(launch.family, launch.profile);
        return launch;
    }
    return std::nullopt;
}

BrowserLauncher::Launch BrowserLauncher::WithOwnProfile(const Launch& launch) {
    Launch own = launch;
    own.profile = BrowserProfile::OwnFolder(launch.family, launch.environment);
    own.ownProfile = true;
    own.runningPid = BrowserProfile::RunningIn(launch.family, own.profile);
    QStringList profileArguments = BrowserProfile::ProfileArguments(launch.family, own.profile);
    // A Firefox started earlier with this profile (and the key log) gets the new window: a second process
    // cannot open a profile in use.
    if (own.runningPid && launch.family == BrowserProfile::Family::Firefox)
        profileArguments.removeAll(QStringLiteral("-no-remote"));
    own.arguments = profileArguments + launch.arguments;
    return own;
}

std::optional<QString> BrowserLauncher::Start(const Launch& launch) {
    if (launch.ownProfile) {
        // The profile holds cookies and saved sessions: the user's alone, as the key log is.
        QDir folder;
        if (!folder.mkpath(launch.profile) ||
            !QFile::setPermissions(launch.profile, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            return QStringLiteral("无法创建浏览器的配置文件夹 %1").arg(launch.profile);
    }
    const DetachedProcess browser{launch.program, launch.arguments, {}, launch.environment};
    if (const DetachedProcess::Started started = browser.Start(); !started)
        return QStringLiteral("无法启动浏览器 %1：%2").arg(launch.program, started.error);
    return std::nullopt;
}

QString BrowserLauncher::NoBrowserMessage() {
    return QStringLiteral("没有找到可以启动的浏览器。已在 PATH 中查找：%1。\n\n"
                          "请安装其中一个浏览器，或者自己设置环境变量 SSLKEYLOGFILE 为密钥日志文件的路径后启动浏览器。")
        .arg(Candidates().join(QStringLiteral("、")));
}

QString BrowserLauncher::RootMessage() {
    return QStringLiteral(
        "Velmora 正以 root 身份运行，不能替您启动浏览器：浏览器不应以 root 身份运行（Chromium 会拒绝启动）。\n\n"
        "请以您自己的用户身份在终端中启动浏览器，例如：\n"
        "SSLKEYLOGFILE=$HOME/tls-keys.log chromium --ssl-key-log-file=$HOME/tls-keys.log\n"
        "然后在“TLS 密钥日志”中选择这个文件。\n\n"
        "更好的办法是加入 velmora 组后以普通用户运行 Velmora（见帮助第 2 节），这个按钮就能直接使用。");
}

QString BrowserLauncher::RunningMessage(const Launch& launch) {
    const QString name = QFileInfo(launch.program).fileName();
    return QStringLiteral("%1 已经在运行（进程 %2，配置文件夹 %3）。\n\n"
                          "正在运行的浏览器不会记录 TLS 密钥：现在启动它，只会在原来的进程中再打开一个窗口，"
                          "这个窗口里的 HTTPS 请求无法解密。\n\n"
                          "您可以：\n"
                          "• 关闭这个浏览器的所有窗口，再单击“启动浏览器（记录密钥）”，这样可以保留您的登录状态；\n"
                          "• 或者现在打开一个单独的浏览器，它使用 Velmora 自己的配置文件夹 %4，会记录密钥，"
                          "但没有您的登录信息。")
        .arg(name, QString::number(launch.runningPid.value_or(0)), launch.profile,
             BrowserProfile::OwnFolder(launch.family, launch.environment));
}
