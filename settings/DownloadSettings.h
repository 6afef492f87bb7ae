#pragma once
// How the download command hands an address on: to the download manager "影音传送带" through its
// windows, to aria2 over JSON-RPC, or to a command of the user's. Stored in section "Download".

#include "settings/SettingsFile.h"

#include <string>
#include <string_view>

namespace velmora {

enum class DownloadMethod { Downloader = 0, Aria2 = 1, Command = 2 };

inline constexpr std::string_view kDefaultAria2Url = "http://127.0.0.1:6800/jsonrpc";
// A stream (a manifest) or a pair of audio and video files is saved by ffmpeg, which reads manifests
// and muxes; %o is a new file in the download folder, %v the pair's second input.
inline constexpr std::string_view kDefaultStreamCommand =
    "ffmpeg -hide_banner -nostdin -protocol_whitelist file,http,https,tcp,tls,crypto -referer %r -user_agent %a "
    "-headers \"Cookie: %c\" -i %u -c copy %o";

struct DownloadSettings {
    DownloadMethod method = DownloadMethod::Downloader;
    std::string aria2Url{kDefaultAria2Url};
    std::string aria2Secret;
    std::string command;
    std::string streamCommand{kDefaultStreamCommand};
};

// A missing section gives the defaults. A Method other than 0, 1 or 2 (a hand-edited file) is taken
// as 0, the download manager, which is what a file from before the section existed means too; an
// empty Aria2Url is aria2's usual address, an empty StreamCommand the ffmpeg command above.
DownloadSettings ReadDownloadSettings(const SettingsFile& settings);

} // namespace velmora
