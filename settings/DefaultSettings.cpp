#include "settings/DefaultSettings.h"

#include "settings/FileAccess.h"
#include "settings/SettingsFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace velmora {
namespace {

SettingsError CopyFailed(std::string detail) {
    return SettingsError{kSettingsErrorTitle, kSettingsCopyFailedMessage, std::move(detail)};
}

} // namespace

std::optional<SettingsError> EnsureSettingsFile(const std::string& targetPath, const std::string& defaultPath) {
    struct stat info {};
    if (::stat(targetPath.c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode))
            return std::nullopt;
        return CopyFailed(targetPath + "：" + std::strerror(S_ISDIR(info.st_mode) ? EISDIR : EINVAL));
    }
    if (errno != ENOENT)
        return CopyFailed(targetPath + "：" + std::strerror(errno));
    FileReadResult source = ReadWholeFile(defaultPath, SettingsFile::kFileSizeLimit);
    if (source.status == FileReadResult::Status::Missing)
        return CopyFailed("找不到默认设置文件 " + defaultPath);
    if (source.status == FileReadResult::Status::Failed)
        return CopyFailed(source.error);
    if (std::optional<std::string> failed = ReplaceFileAtomically(targetPath, source.bytes))
        return CopyFailed(*failed);
    return std::nullopt;
}

} // namespace velmora
