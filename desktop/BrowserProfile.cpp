#include "desktop/BrowserProfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString InHome(const QProcessEnvironment& environment, const QString& relative) {
    return QDir::cleanPath(environment.value(QStringLiteral("HOME"), QDir::homePath()) + QLatin1Char('/') + relative);
}

// An absolute folder from the variable, else `fallback` in HOME.
QString BaseFolder(const QProcessEnvironment& environment, const QString& variable, const QString& fallback) {
    const QString value = environment.value(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return InHome(environment, fallback);
}

QString ConfigFolder(const QProcessEnvironment& environment) {
    return BaseFolder(environment, QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral(".config"));
}

// profiles.ini: the profile this installation starts with (an [Install...] section's Default), else the
// [Profile...] marked Default=1, else the only profile there is. Paths are relative to the file's folder
// unless absolute.
QString FirefoxDefaultProfile(const QString& root) {
    QFile file(QDir(root).filePath(QStringLiteral("profiles.ini")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QString section;
    QString installDefault;
    QString markedDefault;
    QStringList profiles;
    QString path;
    bool isDefault = false;
    auto endSection = [&] {
        if (!section.startsWith(QLatin1String("Profile")) || path.isEmpty())
            return;
        profiles << path;
        if (isDefault && markedDefault.isEmpty())
            markedDefault = path;
    };
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            endSection();
            section = line.mid(1, line.size() - 2);
            path.clear();
            isDefault = false;
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (section.startsWith(QLatin1String("Install")) && key == QLatin1String("Default") && installDefault.isEmpty())
            installDefault = value;
        else if (key == QLatin1String("Path"))
            path = value;
        else if (key == QLatin1String("Default"))
            isDefault = value == QLatin1String("1");
    }
    endSection();
    QString chosen = !installDefault.isEmpty() ? installDefault : markedDefault;
    if (chosen.isEmpty() && profiles.size() == 1)
        chosen = profiles.front();
    if (chosen.isEmpty())
        return {};
    return QDir::cleanPath(QDir::isAbsolutePath(chosen) ? chosen : QDir(root).filePath(chosen));
}

bool ProcessAlive(qint64 pid) {
    // EPERM: it runs, as another user.
    return pid > 0 && pid <= INT_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// Chromium's SingletonLock names the host and the browser's process: "host-pid" (the host may hold dashes).
std::optional<qint64> ChromiumLockHolder(const QString& folder) {
    const QByteArray lock = QFile::encodeName(QDir(folder).filePath(QStringLiteral("SingletonLock")));
    char target[512];
    const ssize_t n = ::readlink(lock.constData(), target, sizeof target - 1);
    if (n <= 0)
        return std::nullopt;
    const QString text = QString::fromUtf8(target, n);
    const qsizetype dash = text.lastIndexOf(QLatin1Char('-'));
    if (dash <= 0)
        return std::nullopt;
    bool number = false;
    const qint64 pid = text.mid(dash + 1).toLongLong(&number);
    char host[256] = {};
    if (!number || ::gethostname(host, sizeof host - 1) != 0 || text.left(dash) != QString::fromUtf8(host))
        return std::nullopt;
    if (!ProcessAlive(pid))
        return std::nullopt;
    return pid;
}

// Firefox holds a POSIX write lock on .parentlock while it runs; one that ended holds none, whatever files
// it left behind.
std::optional<qint64> FirefoxLockHolder(const QString& folder) {
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(QStringLiteral(".parentlock")));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool asked = ::fcntl(fd, F_GETLK, &probe) == 0;
    ::close(fd);
    if (!asked || probe.l_type == F_UNLCK)
        return std::nullopt;
    return static_cast<qint64>(probe.l_pid);
}

} // namespace

std::optional<BrowserProfile::Family> BrowserProfile::FamilyOf(const QString& program) {
    const QString name = QFileInfo(program).fileName();
    if (name.startsWith(QLatin1String("chromium")) || name.startsWith(QLatin1String("google-chrome")))
        return Family::Chromium;
    if (name.startsWith(QLatin1String("firefox")))
        return Family::Firefox;
    return std::nullopt;
}

QString BrowserProfile::DefaultFolder(const QString& program, const QProcessEnvironment& environment) {
    const std::optional<Family> family = FamilyOf(program);
    if (!family)
        return {};
    const QString name = QFileInfo(program).fileName();
    if (*family == Family::Chromium) {
        // Chrome's channels each have their own folder, named as the program; CHROME_CONFIG_HOME moves them all.
        const QString config =
            environment.contains(QStringLiteral("CHROME_CONFIG_HOME"))
                ? BaseFolder(environment, QStringLiteral("CHROME_CONFIG_HOME"), QStringLiteral(".config"))
                : ConfigFolder(environment);
        return QDir(config).filePath(name.startsWith(QLatin1String("google-chrome")) ? name
                                                                                     : QStringLiteral("chromium"));
    }
    // Firefox keeps ~/.mozilla where it has one, else its profiles are under the configuration folder.
    const QString legacy = InHome(environment, QStringLiteral(".mozilla/firefox"));
    if (QFileInfo::exists(QDir(legacy).filePath(QStringLiteral("profiles.ini"))))
        return FirefoxDefaultProfile(legacy);
    return FirefoxDefaultProfile(QDir(ConfigFolder(environment)).filePath(QStringLiteral("mozilla/firefox")));
}

std::optional<qint64> BrowserProfile::RunningIn(Family family, const QString& folder) {
    if (folder.isEmpty())
        return std::nullopt;
    return family == Family::Chromium ? ChromiumLockHolder(folder) : FirefoxLockHolder(folder);
}

QString BrowserProfile::OwnFolder(Family family, const QProcessEnvironment& environment) {
    const QString data = BaseFolder(environment, QStringLiteral("XDG_DATA_HOME"), QStringLiteral(".local/share"));
    return QDir(data).filePath(family == Family::Chromium ? QStringLiteral("velmora/chromium")
                                                          : QStringLiteral("velmora/firefox"));
}

QStringList BrowserProfile::ProfileArguments(Family family, const QString& folder) {
    if (family == Family::Chromium)
        return {QStringLiteral("--user-data-dir=") + folder};
    return {QStringLiteral("-profile"), folder, QStringLiteral("-no-remote")};
}
