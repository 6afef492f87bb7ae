#include "settings/SettingsFile.h"

#include "settings/FileAccess.h"
#include "settings/IniDocument.h"
#include "settings/SettingsKeys.h"

#include <cerrno>
#include <cstring>
#include <optional>

namespace velmora {
namespace {

// A GBK file that an edit would turn into valid, Chinese-looking UTF-8 cannot be marked as GBK.
constexpr const char* kAmbiguousEncoding = "写入后的文件会被误认作UTF-8编码";

std::optional<IniDocument> ReadDocument(const std::string& path) {
    if (path.empty())
        return std::nullopt;
    FileReadResult file = ReadWholeFile(path, SettingsFile::kFileSizeLimit);
    if (file.status != FileReadResult::Status::Ok)
        return std::nullopt;
    return IniDocument::Parse(file.bytes);
}

} // namespace

SettingsFile::SettingsFile(std::string iniFileName, SettingsErrorHandler onError)
    : iniFileName_(std::move(iniFileName)), onError_(std::move(onError)) {}

void SettingsFile::Report(const char* message, std::string detail) const {
    if (onError_)
        onError_(SettingsError{kSettingsErrorTitle, message, std::move(detail)});
}

std::string SettingsFile::GetIniString(std::string_view section, std::string_view key) const {
    std::optional<IniDocument> document = ReadDocument(iniFileName_);
    if (!document)
        return {};
    return document->Value(section, key, kValueLimit).value_or(std::string());
}

std::unordered_map<std::string, std::string> SettingsFile::GetIniSection(std::string_view section) const {
    std::optional<IniDocument> document = ReadDocument(iniFileName_);
    if (!document)
        return {};
    return document->SectionValues(section, kValueLimit);
}

std::optional<std::string> SettingsFile::ReadProblem() const {
    if (iniFileName_.empty())
        return std::nullopt;
    const FileReadResult file = ReadWholeFile(iniFileName_, kFileSizeLimit);
    if (file.status == FileReadResult::Status::Failed)
        return file.errorNumber == EFBIG ? "larger than " + std::to_string(kFileSizeLimit >> 20) + " MiB"
                                         : std::string(std::strerror(file.errorNumber));
    // Text in GBK or UTF-8 holds no NUL; a capture file, a program or a UTF-16 file does. A damaged settings
    // file may too, but it still has one of the program's sections.
    if (file.status != FileReadResult::Status::Ok || file.bytes.find('\0') == std::string::npos)
        return std::nullopt;
    const IniDocument document = IniDocument::Parse(file.bytes);
    for (std::string_view section :
         {keys::kAdaptorsSection, keys::kDownloadPathSection, keys::kFiterLongSection, keys::kFileTypeSection})
        if (document.HasSection(section))
            return std::nullopt;
    return "not a settings file: it holds binary data and none of the program's sections";
}

bool SettingsFile::WriteIniString(std::string_view section, std::string_view key, std::string_view value) {
    if (iniFileName_.empty()) {
        Report(kNoIniFileMessage, "");
        return false;
    }
    // The detail names the entry too: a table save fails key by key.
    const std::string entry = "[" + std::string(section) + "] " + std::string(key) + "：";
    FileReadResult file = ReadWholeFile(iniFileName_, kFileSizeLimit);
    if (file.status == FileReadResult::Status::Failed) {
        // Rewriting a file that cannot be read would throw away whatever it holds.
        Report(kWriteFailedMessage, entry + file.error);
        return false;
    }
    IniDocument document = IniDocument::Parse(file.bytes);
    if (std::optional<std::string> refused = document.SetValue(section, key, value)) {
        Report(kWriteFailedMessage, entry + *refused + "（" + iniFileName_ + "）");
        return false;
    }
    if (!document.PinEncoding()) {
        Report(kWriteFailedMessage, entry + kAmbiguousEncoding + "（" + iniFileName_ + "）");
        return false;
    }
    if (std::optional<std::string> failed = ReplaceFileAtomically(iniFileName_, document.Serialize())) {
        Report(kWriteFailedMessage, entry + *failed);
        return false;
    }
    return true;
}

bool SettingsFile::ReplaceIniSection(std::string_view section,
                                     const std::vector<std::pair<std::string, std::string>>& entries) {
    auto entryName = [section](const std::string& key) { return "[" + std::string(section) + "] " + key + "："; };
    if (iniFileName_.empty()) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            Report(kNoIniFileMessage, "");
        return entries.empty();
    }
    FileReadResult file = ReadWholeFile(iniFileName_, kFileSizeLimit);
    if (file.status == FileReadResult::Status::Failed) {
        for (const auto& [key, value] : entries)
            Report(kWriteFailedMessage, entryName(key) + file.error);
        return entries.empty();
    }
    IniDocument document = IniDocument::Parse(file.bytes);
    document.RemoveSection(section);
    std::vector<const std::string*> applied;
    bool allWritten = true;
    for (const auto& [key, value] : entries) {
        if (std::optional<std::string> refused = document.SetValue(section, key, value)) {
            Report(kWriteFailedMessage, entryName(key) + *refused + "（" + iniFileName_ + "）");
            allWritten = false;
        } else {
            applied.push_back(&key);
        }
    }
    if (!document.PinEncoding()) {
        for (const std::string* key : applied)
            Report(kWriteFailedMessage, entryName(*key) + kAmbiguousEncoding + "（" + iniFileName_ + "）");
        return false;
    }
    if (std::optional<std::string> failed = ReplaceFileAtomically(iniFileName_, document.Serialize())) {
        for (const std::string* key : applied)
            Report(kWriteFailedMessage, entryName(*key) + *failed);
        return false;
    }
    return allWritten;
}

void SettingsFile::DeleteIniSection(std::string_view section) {
    if (iniFileName_.empty())
        return;
    FileReadResult file = ReadWholeFile(iniFileName_, kFileSizeLimit);
    if (file.status != FileReadResult::Status::Ok)
        return;
    IniDocument document = IniDocument::Parse(file.bytes);
    if (document.RemoveSection(section) && document.PinEncoding())
        ReplaceFileAtomically(iniFileName_, document.Serialize());
}

} // namespace velmora
