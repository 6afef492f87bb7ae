#include "mainwindow/SettingsLocation.h"

#include "settings/ShippedFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {
const QString kFileName = QStringLiteral("setting.ini");

velmora::ShippedFiles Shipped() {
    return velmora::ShippedFiles::Find(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
}
} // namespace

QString SettingsLocation::IniFileName(const QString& explicitPath) {
    QString path = explicitPath;
    if (path.isEmpty())
        path = qEnvironmentVariable("VELMORA_SETTINGS");
    if (!path.isEmpty()) {
        if (QFileInfo(path).isDir())
            path = QDir(path).filePath(kFileName);
        return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    }
    const QString exeFolder = QCoreApplication::applicationDirPath();
    if (!Shipped().installed && IsWritableFolder(exeFolder))
        return QDir(exeFolder).filePath(kFileName);
    return FallbackIniFileName();
}

QString SettingsLocation::FallbackIniFileName() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::home().filePath(QStringLiteral(".config"));
    return QDir(config).filePath(QStringLiteral("velmora/") + kFileName);
}

QString SettingsLocation::DefaultSettingsFile() {
    const QString candidate = ShippedFile(QStringLiteral("default-setting.ini"));
    return QFileInfo::exists(candidate) ? candidate : QString();
}

QString SettingsLocation::ShippedFile(const QString& name) {
    return QFile::decodeName(Shipped().File(QFile::encodeName(name).toStdString()).c_str());
}

bool SettingsLocation::IsWritableFolder(const QString& folder) {
    // access() asks the kernel, so read-only mounts and root's rights are judged correctly.
    return !folder.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}
