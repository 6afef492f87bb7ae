#pragma once
// Sections and keys of setting.ini, spelled as the original program spells them ("FiterLong" included),
// so that the file moves unchanged between the two.

#include <string_view>

namespace velmora::keys {

inline constexpr std::string_view kAdaptorsSection = "Adaptors";
inline constexpr std::string_view kAdaptorUsedKey = "AdaptorUsed";

inline constexpr std::string_view kDownloadPathSection = "DownloadPath";
inline constexpr std::string_view kPathReadKey = "Path";  // read under this spelling ...
inline constexpr std::string_view kPathWriteKey = "path"; // ... written under this one: the same entry

inline constexpr std::string_view kFiterLongSection = "FiterLong";
inline constexpr std::string_view kLongKey = "Long";

inline constexpr std::string_view kFileTypeSection = "FileType";
inline constexpr std::string_view kCountKey = "Count";
inline constexpr std::string_view kExtNameKey = "ExtName"; // followed by the 1-based row number
inline constexpr std::string_view kTypeKey = "Type";
inline constexpr std::string_view kValueKey = "Value";
inline constexpr std::string_view kMimeKey = "Mime"; // media types of a row, comma-separated
inline constexpr std::string_view kByContentTypeKey = "ByContentType"; // 0: rows only by extension
inline constexpr std::string_view kStreamsKey = "Streams"; // 0: manifests not read, segments listed as the table says

// How an address is handed to a downloader (this program's own section; the original has none).
inline constexpr std::string_view kDownloadSection = "Download";
inline constexpr std::string_view kMethodKey = "Method";
inline constexpr std::string_view kAria2UrlKey = "Aria2Url";
inline constexpr std::string_view kAria2SecretKey = "Aria2Secret";
inline constexpr std::string_view kCommandKey = "Command";
inline constexpr std::string_view kStreamCommandKey = "StreamCommand"; // streams and audio/video pairs, whatever Method says

// The TLS key log the window decrypts HTTPS requests with (also this program's own).
inline constexpr std::string_view kWindowSection = "Window";
inline constexpr std::string_view kDataWindowHeightKey = "DataWindowHeight"; // pixels, as the user dragged it

inline constexpr std::string_view kTlsSection = "Tls";
inline constexpr std::string_view kKeyLogFileKey = "KeyLogFile";
inline constexpr std::string_view kProbeKey = "Probe"; // 1: velmora-tls reads HTTPS while a capture runs

} // namespace velmora::keys
