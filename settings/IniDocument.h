#pragma once
// The text of one profile-string file, held line by line so that a change rewrites only the line it
// touches: comments, blank lines, unknown sections and line endings stay as the user left them.
//
// Reading follows the Windows profile functions: names match without regard to (ASCII) case, names and
// values are trimmed of surrounding blanks, a value wholly enclosed in a pair of quotes loses them, ';'
// lines are comments, keys before the first section and lines without '=' are ignored, and only the
// first section of a name and the first key of a name in it count. A damaged file is read as far as it
// makes sense: a "[name" without ']' still opens the section the user evidently meant.
//
// The API is UTF-8; the file keeps its own encoding: GBK, or UTF-8 when it starts with a byte order
// mark or is valid UTF-8 holding non-ASCII bytes that GBK cannot read, or that read as Chinese in UTF-8
// (a file edited in a Linux editor).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora {

enum class IniEncoding { Gbk, Utf8 };

class IniDocument final {
public:
    static constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

    IniDocument() = default; // an empty file, GBK, as a new settings file is written
    static IniDocument Parse(std::string_view bytes);

    IniEncoding Encoding() const { return encoding_; }
    bool HasByteOrderMark() const { return byteOrderMark_; }

    // The value of the key in the first section of that name, cut to at most `maxBytes` bytes of the
    // file's encoding without splitting a character, then given as UTF-8. Nothing when the section or
    // the key is missing. A value holding a NUL ends there, as the C string the original reader saw.
    std::optional<std::string> Value(std::string_view section, std::string_view key,
                                     std::size_t maxBytes = kNoLimit) const;

    bool HasSection(std::string_view section) const;

    // All keys of the first section of that name: ASCII-lower-cased key -> value as Value gives it.
    std::unordered_map<std::string, std::string> SectionValues(std::string_view section,
                                                               std::size_t maxBytes = kNoLimit) const;

    // Stores the value, replacing the first key of that name in the first section of that name, or adding
    // the key at the end of that section, or adding the section at the end of the file. Gives the reason
    // when the text cannot be stored: a character the file's encoding lacks, a line break, or a name that
    // would read back as something else. The document is unchanged then.
    std::optional<std::string> SetValue(std::string_view section, std::string_view key, std::string_view value);

    // Removes every section of that name with all its lines. Tells whether there was one.
    bool RemoveSection(std::string_view section);

    // Makes sure the serialized text reads back in the document's own encoding, which an edit can upset
    // (a UTF-8 file whose last Chinese value is replaced by "é" would read as GBK). A UTF-8 file is then given
    // a byte order mark; a GBK file cannot be marked, so false is returned and it must not be written.
    bool PinEncoding();

    std::string Serialize() const;

private:
    enum class LineKind { Other, Section, Key };
    struct Line {
        std::string text;   // the bytes, without the line ending
        std::string ending; // "\r\n", "\n", or "" for a last line without one
        LineKind kind = LineKind::Other;
        std::string name;          // section or key name, decoded and ASCII-lower-cased
        std::size_t nameBegin = 0; // the name's bytes in `text`, as written
        std::size_t nameEnd = 0;
        std::size_t valueBegin = 0; // the value's bytes in `text`, trimmed
        std::size_t valueEnd = 0;
    };

    void Classify(Line& line) const;
    Line MakeLine(std::string text, std::string ending) const;
    std::string DecodeToUtf8(std::string_view bytes) const;
    std::optional<std::string> Encode(std::string_view utf8) const;
    std::string ValueOf(const Line& line, std::size_t maxBytes) const;
    // Index of the first section header of that name, or lines_.size().
    std::size_t FindSection(std::string_view foldedName) const;
    std::size_t SectionEnd(std::size_t header) const;
    std::string NewLineEnding() const;

    IniEncoding encoding_ = IniEncoding::Gbk;
    bool byteOrderMark_ = false;
    std::vector<Line> lines_;
};

} // namespace velmora
