#pragma once
// The user's table of monitored file types: extension, type name, state and media types, in order.
// The first row whose extension matches decides whether an http address is listed, and as what; the
// first row that names a server's media type decides for an address answered with it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

inline constexpr std::u16string_view kDisabledState = u"禁用";
inline constexpr std::u16string_view kInUseState = u"使用";

struct FileTypeRow {
    FileTypeRow() = default;
    // Media types may be left out: a row then names none.
    FileTypeRow(std::u16string extension, std::u16string typeName, std::u16string state,
                std::u16string mediaTypes = {})
        : extension(std::move(extension)), typeName(std::move(typeName)), state(std::move(state)),
          mediaTypes(std::move(mediaTypes)) {}

    std::u16string extension; // ".mp4" as the user entered it; compared lower-cased
    std::u16string typeName;  // "视频", "音频", "图片", "其它" or free text
    std::u16string state;     // "禁用" blocks the row; anything else lets it through
    std::u16string mediaTypes; // "video/mp4, video/x-m4v": the Content-Type values that mean this type
};

// The media types a row for this extension names when the settings file gives none.
std::u16string DefaultMediaTypes(std::u16string_view extension);

// Lower-cases ASCII letters only: extensions and schemes are ASCII, and Chinese has no case.
std::u16string AsciiLower(std::u16string_view text);

class FileTypeTable {
public:
    FileTypeTable() = default;
    explicit FileTypeTable(std::vector<FileTypeRow> rows);

    // The deciding row's type name for an address whose extension begins at index `d`, or nothing
    // when the address is not listed (no row matches, or the first match is disabled).
    // The row matches when the address's characters from `d`, as many as the extension has,
    // equal the extension, both lower-cased.
    std::optional<std::u16string> Classify(std::u16string_view address, std::size_t d) const;
    // The type name for an answer with this media type (lower case, no parameters): the first row that
    // names it decides, and a disabled one refuses it. A video or audio type that no row names is listed
    // as "视频" or "音频", so a new format is not missed.
    std::optional<std::u16string> ClassifyMediaType(std::string_view mediaType) const;

    const std::vector<FileTypeRow>& Rows() const { return rows_; }
    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    const FileTypeRow& operator[](std::size_t i) const { return rows_[i]; }

    void Append(FileTypeRow row);
    void Remove(std::size_t index);
    void SetState(std::size_t index, std::u16string state);
    void SetMediaTypes(std::size_t index, std::u16string mediaTypes);
    // Index of the row whose extension equals `extension` (lower-cased), if any.
    std::optional<std::size_t> Find(std::u16string_view extension) const;

private:
    std::vector<FileTypeRow> rows_;
    std::vector<std::u16string> lowerExtensions_;
    std::vector<std::vector<std::string>> mediaTypes_; // of each row, lower case
    std::size_t longestExtension_ = 0; // of the rows ever appended: Remove leaves it, which costs nothing
};

} // namespace velmora
