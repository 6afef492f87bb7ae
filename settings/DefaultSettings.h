#pragma once
// The settings a new user starts with: the shipped default-setting.ini, copied into place when the
// program finds no settings file, so that common media types are monitored from the first run.

#include "settings/SettingsError.h"

#include <optional>
#include <string>

namespace velmora {

inline constexpr const char* kSettingsCopyFailedMessage = "无法创建设置文件！";

// Copies `defaultPath` to `targetPath` (atomically) unless a file is already there; an existing file is
// never touched. Gives the failure, with both paths and the reason in its detail; nothing on success.
std::optional<SettingsError> EnsureSettingsFile(const std::string& targetPath, const std::string& defaultPath);

} // namespace velmora
