#pragma once
// The file-type table's copy in setting.ini: section "FileType" with "Count" and, per row n (from 1),
// "ExtName"n, "Type"n, "Value"n and "Mime"n (media types, comma-separated; a row without the key gets the
// usual ones for its extension), and the switch "ByContentType". Also the other values start-up reads straight into the window.

#include "capture/FileTypeTable.h"
#include "settings/SettingsFile.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// The original kept the count in a 16-bit integer; more rows than that are not a table the user made.
inline constexpr std::size_t kMaxFileTypeRows = 32767;

// Writes the whole table: deletes the section, writes "Count", then the three keys of each row in row
// order. A failing key is reported once through the settings file's error handler and the save goes on
// with the next key. The file is replaced once for the whole save (one flush to disk instead of one per
// key), so a save that fails leaves the old table whole. True when every key was written.
bool FileType(const FileTypeTable& table, SettingsFile& settings);

// Loads the table as start-up does. "Count" is taken as a number (ParseLeadingNumber): missing, empty,
// negative or not a number gives an empty table, and it is capped at kMaxFileTypeRows. A row none of whose
// three keys is in the file is skipped rather than invented: an invented row has an empty extension,
// which would match, and list, every address. A key that is present but empty gives an empty column.
FileTypeTable LoadFileTypeTable(const SettingsFile& settings);

// Writes only the state of one row (0-based `row`, stored under "Value"row+1), as enabling or disabling a
// row does. True when written.
bool WriteFileTypeState(SettingsFile& settings, std::size_t row, std::u16string_view state);

// "[FileType] ByContentType": whether an address is also listed by the media type of its answer. Missing or
// empty is on; a number is on unless it is 0.
bool ReadByContentType(const SettingsFile& settings);
// "[FileType] Streams": manifests are read and their segments folded into one row (default on).
bool ReadStreams(const SettingsFile& settings);
bool WriteByContentType(SettingsFile& settings, bool on);

// The minimum packet length as text, as start-up puts it in its box: "" when the key is missing.
// The frame handler takes its number with ParseLeadingNumber.
std::string ReadMinimumLength(const SettingsFile& settings);

} // namespace velmora
