#include "settings/DownloadSettings.h"

#include "settings/SettingsKeys.h"

namespace velmora {

DownloadSettings ReadDownloadSettings(const SettingsFile& settings) {
    const auto values = settings.GetIniSection(keys::kDownloadSection);
    auto value = [&values](std::string_view key) {
        std::string folded(key);
        for (char& c : folded)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        const auto found = values.find(folded);
        return found == values.end() ? std::string() : found->second;
    };
    DownloadSettings result;
    const std::string method = value(keys::kMethodKey);
    if (method == "1")
        result.method = DownloadMethod::Aria2;
    else if (method == "2")
        result.method = DownloadMethod::Command;
    if (std::string url = value(keys::kAria2UrlKey); !url.empty())
        result.aria2Url = std::move(url);
    result.aria2Secret = value(keys::kAria2SecretKey);
    result.command = value(keys::kCommandKey);
    if (std::string stream = value(keys::kStreamCommandKey); !stream.empty())
        result.streamCommand = std::move(stream);
    return result;
}

} // namespace velmora
