#pragma once
// The settings store: the file named by IniFileName and the three operations every option goes through.
// The file is opened and closed by every operation and never cached, so a value written is what the next
// read sees, even when another program changed the file in between.

#include "settings/SettingsError.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velmora {

class SettingsFile final {
public:
    // The original read values through a 255-byte buffer: at most 254 bytes of a value come back.
    static constexpr std::size_t kValueLimit = 254;
    // A settings file is a few kilobytes; anything beyond this is not one, and is neither read nor rewritten.
    static constexpr std::size_t kFileSizeLimit = 16 * 1024 * 1024;

    SettingsFile() = default;
    explicit SettingsFile(std::string iniFileName, SettingsErrorHandler onError = {});

    const std::string& IniFileName() const { return iniFileName_; }
    void SetIniFileName(std::string path) { iniFileName_ = std::move(path); }
    // Receives the failures of WriteIniString; without one they are only returned.
    void SetErrorHandler(SettingsErrorHandler onError) { onError_ = std::move(onError); }

    // The value (UTF-8) stored under the key, cut to its first 254 bytes in the file's encoding without
    // splitting a character; "" when IniFileName is empty or the file, section or key is missing or unreadable.
    std::string GetIniString(std::string_view section, std::string_view key) const;

    // Stores the value, creating the file, section and key as needed; an empty value is stored as "key=".
    // The file is replaced atomically. A failure ("未指定INI文件！" or "写入失败！") goes to the error
    // handler, once per call, and false is returned.
    bool WriteIniString(std::string_view section, std::string_view key, std::string_view value);

    // Removes every section of that name with all its keys. Reports nothing, whatever happens.
    void DeleteIniSection(std::string_view section);

    // DeleteIniSection followed by WriteIniString for each entry in order, with the same outcome and the same
    // reports (one per entry that fails), but as one replacement of the file: a save that fails part way
    // leaves the old section whole instead of half a new one. Returns true when every entry was written.
    bool ReplaceIniSection(std::string_view section, const std::vector<std::pair<std::string, std::string>>& entries);

    // Why the file, which exists, cannot be read as settings: the system's reason (no permission, a folder,
    // larger than kFileSizeLimit) or that it holds binary data, which no settings file does. Nothing when it
    // reads, or when there is no file. The other operations take such a file as empty.
    std::optional<std::string> ReadProblem() const;

    // One read of the first section of that name: ASCII-lower-cased key -> value as GetIniString gives it.
    // For loading many keys at once (the file-type table) without re-reading the file for each.
    std::unordered_map<std::string, std::string> GetIniSection(std::string_view section) const;

private:
    void Report(const char* message, std::string detail) const;

    std::string iniFileName_;
    SettingsErrorHandler onError_;
};

} // namespace velmora
