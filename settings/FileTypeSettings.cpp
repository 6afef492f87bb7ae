#include "settings/FileTypeSettings.h"

#include "capture/Gbk.h"
#include "settings/LeadingNumber.h"
#include "settings/SettingsKeys.h"

#include <algorithm>

namespace velmora {
namespace {

std::string RowKey(std::string_view word, std::size_t row) {
    return std::string(word) + std::to_string(row);
}

std::string FoldedRowKey(std::string_view word, std::size_t row) {
    std::string key = RowKey(word, row);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return key;
}

} // namespace

bool FileType(const FileTypeTable& table, SettingsFile& settings) {
    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(2 + 4 * table.size());
    // The section is written anew: the switch that lives in it is carried over.
    if (const std::string byContentType = settings.GetIniString(keys::kFileTypeSection, keys::kByContentTypeKey);
        !byContentType.empty())
        entries.emplace_back(keys::kByContentTypeKey, byContentType);
    entries.emplace_back(keys::kCountKey, std::to_string(table.size()));
    for (std::size_t i = 0; i < table.size(); ++i) {
        const FileTypeRow& row = table[i];
        entries.emplace_back(RowKey(keys::kExtNameKey, i + 1), utf8::FromU16(row.extension));
        entries.emplace_back(RowKey(keys::kTypeKey, i + 1), utf8::FromU16(row.typeName));
        entries.emplace_back(RowKey(keys::kValueKey, i + 1), utf8::FromU16(row.state));
        entries.emplace_back(RowKey(keys::kMimeKey, i + 1), utf8::FromU16(row.mediaTypes));
    }
    return settings.ReplaceIniSection(keys::kFileTypeSection, entries);
}

FileTypeTable LoadFileTypeTable(const SettingsFile& settings) {
    const auto values = settings.GetIniSection(keys::kFileTypeSection);
    auto lookup = [&values](std::string_view word, std::size_t n) -> const std::string* {
        auto it = values.find(FoldedRowKey(word, n));
        return it == values.end() ? nullptr : &it->second;
    };
    std::int64_t count = 0;
    if (auto it = values.find("count"); it != values.end())
        count = std::clamp<std::int64_t>(ParseLeadingNumber(it->second), 0, kMaxFileTypeRows);

    FileTypeTable table;
    for (std::size_t n = 1; n <= static_cast<std::size_t>(count); ++n) {
        const std::string* extension = lookup(keys::kExtNameKey, n);
        const std::string* typeName = lookup(keys::kTypeKey, n);
        const std::string* state = lookup(keys::kValueKey, n);
        if (!extension && !typeName && !state)
            continue;
        auto text = [](const std::string* value) { return value ? utf8::ToU16(*value) : std::u16string(); };
        // A file from before media types gets the usual ones for each extension.
        const std::string* mediaTypes = lookup(keys::kMimeKey, n);
        table.Append(FileTypeRow{text(extension), text(typeName), text(state),
                                 mediaTypes ? utf8::ToU16(*mediaTypes) : DefaultMediaTypes(text(extension))});
    }
    return table;
}

bool WriteFileTypeState(SettingsFile& settings, std::size_t row, std::u16string_view state) {
    return settings.WriteIniString(keys::kFileTypeSection, RowKey(keys::kValueKey, row + 1), utf8::FromU16(state));
}

bool ReadByContentType(const SettingsFile& settings) {
    const std::string value = settings.GetIniString(keys::kFileTypeSection, keys::kByContentTypeKey);
    return value.empty() || ParseLeadingNumber(value) != 0;
}

bool ReadStreams(const SettingsFile& settings) {
    const std::string value = settings.GetIniString(keys::kFileTypeSection, keys::kStreamsKey);
    return value.empty() || ParseLeadingNumber(value) != 0;
}

bool WriteByContentType(SettingsFile& settings, bool on) {
    return settings.WriteIniString(keys::kFileTypeSection, keys::kByContentTypeKey, on ? "1" : "0");
}

std::string ReadMinimumLength(const SettingsFile& settings) {
    return settings.GetIniString(keys::kFiterLongSection, keys::kLongKey);
}

} // namespace velmora
