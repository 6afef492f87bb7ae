#include "desktop/BrowserLauncher.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace {

bool IsChromiumFamily(const QString& name) {
    return name.startsWith(QLatin1String("chromium")) || name.startsWith(QLatin1String("google-chrome"));
}

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
        if (IsChromiumFamily(name))
            launch.arguments = {QStringLiteral("--ssl-key-log-file=") + keyLogFile, QStringLiteral("--disable-quic")};
        launch.environment = environment;
        launch.environment.insert(QStringLiteral("SSLKEYLOGFILE"), keyLogFile);
        return launch;
    }
    return std::nullopt;
}

std::optional<QString> BrowserLauncher::Start(const QString& keyLogFile) {
    const std::optional<Launch> launch = Plan(keyLogFile, QProcessEnvironment::systemEnvironment());
    if (!launch)
        return NoBrowserMessage();
    QProcess process;
    process.setProgram(launch->program);
    process.setArguments(launch->arguments);
    process.setProcessEnvironment(launch->environment);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        return QStringLiteral("无法启动浏览器 %1：%2").arg(launch->program, process.errorString());
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
        "SSLKEYLOGFILE=$HOME/tls-keys.log chromium --ssl-key-log-file=$HOME/tls-keys.log --disable-quic\n"
        "然后在“TLS 密钥日志”中选择这个文件。\n\n"
        "更好的办法是用 setcap 授权后以普通用户运行 Velmora（见帮助第 2 节），这个按钮就能直接使用。");
}
