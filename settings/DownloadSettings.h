#pragma once
// How the download command hands an address on: to the download manager "影音传送带" through its
// windows, to aria2 over JSON-RPC, or to a command of the user's. Stored in section "Download".

#include "settings/SettingsFile.h"

#include <string>
#include <string_view>

namespace velmora {

enum class DownloadMethod { Downloader = 0, Aria2 = 1, Command = 2 };

inline constexpr std::string_view kDefaultAria2Url = "http://127.0.0.1:6800/jsonrpc";

struct DownloadSettings {
    DownloadMethod method = DownloadMethod::Downloader;
    std::string aria2Url{kDefaultAria2Url};
    std::string aria2Secret;
    std::string command;
};

// A missing section gives the defaults. A Method other than 0, 1 or 2 (a hand-edited file) is taken
// as 0, the download manager, which is what a file from before the section existed means too; an
// empty Aria2Url is aria2's usual address.
DownloadSettings ReadDownloadSettings(const SettingsFile& settings);

} // namespace velmora
