#pragma once
// The user's table of monitored file types: extension, type name and state, in order.
// The first row whose extension matches decides whether an http address is listed, and as what.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

inline constexpr std::u16string_view kDisabledState = u"禁用";
inline constexpr std::u16string_view kInUseState = u"使用";

struct FileTypeRow {
    std::u16string extension; // ".mp4" as the user entered it; compared lower-cased
    std::u16string typeName;  // "视频", "音频", "图片", "其它" or free text
    std::u16string state;     // "禁用" blocks the row; anything else lets it through
};

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

    const std::vector<FileTypeRow>& Rows() const { return rows_; }
    std::size_t size() const { return rows_.size(); }
    bool empty() const { return rows_.empty(); }
    const FileTypeRow& operator[](std::size_t i) const { return rows_[i]; }

    void Append(FileTypeRow row);
    void Remove(std::size_t index);
    void SetState(std::size_t index, std::u16string state);
    // Index of the row whose extension equals `extension` (lower-cased), if any.
    std::optional<std::size_t> Find(std::u16string_view extension) const;

private:
    std::vector<FileTypeRow> rows_;
    std::vector<std::u16string> lowerExtensions_;
    std::size_t longestExtension_ = 0; // of the rows ever appended: Remove leaves it, which costs nothing
};

} // namespace velmora
