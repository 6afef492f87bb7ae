#pragma once
// A failure of the settings store, as the user is to see it. The core never shows it: the GUI turns it
// into an error-icon message box, the command line prints it, tests collect it.

#include <functional>
#include <string>

namespace velmora {

inline constexpr const char* kSettingsErrorTitle = "Error";
inline constexpr const char* kNoIniFileMessage = "未指定INI文件！";
inline constexpr const char* kWriteFailedMessage = "写入失败！";

struct SettingsError {
    std::string title;   // box title; always kSettingsErrorTitle for the three operations
    std::string message; // the text the box shows
    std::string detail;  // which file and why (path and OS reason), for a details line

    bool operator==(const SettingsError&) const = default;
};

// Receives every failure of WriteIniString, one call per failing write. Always an error-icon box.
using SettingsErrorHandler = std::function<void(const SettingsError&)>;

} // namespace velmora
