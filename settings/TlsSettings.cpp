#include "settings/TlsSettings.h"

#include "settings/SettingsKeys.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace velmora {
namespace {

KeyLogFileError Failure(const std::string& what, const std::string& path, int error) {
    return {what + " " + path + "：" + std::strerror(error)};
}

} // namespace

std::string TlsSettings::KeyLogFile() const {
    return settings_.GetIniString(keys::kTlsSection, keys::kKeyLogFileKey);
}

std::string TlsSettings::SessionKeyLogFile() {
    const char* value = std::getenv("SSLKEYLOGFILE");
    return value && value[0] == '/' ? std::string(value) : std::string();
}

std::string TlsSettings::KeyLogFileInUse() const {
    std::string stored = KeyLogFile();
    return stored.empty() ? SessionKeyLogFile() : stored;
}

bool TlsSettings::SetKeyLogFile(std::string_view path) {
    return settings_.WriteIniString(keys::kTlsSection, keys::kKeyLogFileKey, path);
}

bool TlsSettings::Probe() const {
    return settings_.GetIniString(keys::kTlsSection, keys::kProbeKey) == "1";
}

bool TlsSettings::SetProbe(bool on) {
    return settings_.WriteIniString(keys::kTlsSection, keys::kProbeKey, on ? "1" : "0");
}

std::variant<std::string, KeyLogFileError> TlsSettings::EnsureKeyLogFile(const std::string& base) {
    std::string stored = KeyLogFileInUse();
    if (!stored.empty()) {
        // A path the user typed may name a file the browser has yet to make: make it private first.
        const int fd = ::open(stored.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            ::close(fd);
        else if (errno != EEXIST)
            return Failure("无法创建密钥日志文件", stored, errno);
        return stored;
    }
    auto made = CreatePrivateKeyLogFile(base);
    if (const std::string* path = std::get_if<std::string>(&made)) {
        if (!SetKeyLogFile(*path))
            return KeyLogFileError{"无法把密钥日志文件的路径 " + *path + " 写入设置文件 " + settings_.IniFileName()};
    }
    return made;
}

std::variant<std::string, KeyLogFileError> TlsSettings::CreatePrivateKeyLogFile(const std::string& base) {
    if (base.empty() || base.front() != '/')
        return KeyLogFileError{"没有可以存放密钥日志文件的文件夹（" + (base.empty() ? std::string("未指定") : base) +
                               "）"};
    const std::string folder = (base.back() == '/' ? base : base + "/") + std::string(kFolderName);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        // The cache folder itself may not exist yet on a fresh account.
        if (errno != ENOENT || ::mkdir(base.c_str(), 0700) != 0 || ::mkdir(folder.c_str(), 0700) != 0)
            return Failure("无法创建文件夹", folder, errno);
    }
    // The folder must be a real folder of ours, not a link someone planted to see the secrets.
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0)
        return Failure("无法访问文件夹", folder, errno);
    if (!S_ISDIR(info.st_mode))
        return Failure("无法使用文件夹", folder, ENOTDIR);
    if (info.st_uid != ::geteuid())
        return Failure("无法使用文件夹", folder, EPERM);
    if ((info.st_mode & 07777) != 0700 && ::chmod(folder.c_str(), 0700) != 0)
        return Failure("无法设置文件夹的权限", folder, errno);

    const std::string file = folder + "/" + std::string(kFileName);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return Failure("无法创建密钥日志文件", file, errno);
    // The umask can only narrow 0600; a file that was already there may be wider.
    const int modeResult = ::fchmod(fd, 0600);
    const int modeError = errno;
    ::close(fd);
    if (modeResult != 0)
        return Failure("无法设置密钥日志文件的权限", file, modeError);
    return file;
}

} // namespace velmora
