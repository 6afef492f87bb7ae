#include "capture/FileTypeTable.h"

#include <algorithm>

namespace velmora {

std::u16string AsciiLower(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return out;
}

FileTypeTable::FileTypeTable(std::vector<FileTypeRow> rows) {
    for (auto& row : rows)
        Append(std::move(row));
}

std::optional<std::u16string> FileTypeTable::Classify(std::u16string_view address, std::size_t d) const {
    if (d > address.size())
        return std::nullopt; // no slice at all, not even an empty one
    // The address's slice lower-cased once, as long as the longest extension needs.
    constexpr std::size_t kShortSlice = 16;
    char16_t shortSlice[kShortSlice];
    std::u16string longSlice;
    const std::size_t available = std::min(address.size() - d, longestExtension_);
    char16_t* slice = shortSlice;
    if (available > kShortSlice) {
        longSlice.resize(available);
        slice = longSlice.data();
    }
    for (std::size_t k = 0; k < available; ++k) {
        const char16_t c = address[d + k];
        slice[k] = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    }
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const std::u16string& x = lowerExtensions_[r];
        // A slice shorter than the extension cannot be equal.
        if (x.size() > available || !std::equal(x.begin(), x.end(), slice))
            continue;
        if (rows_[r].state == kDisabledState)
            return std::nullopt;
        return rows_[r].typeName;
    }
    return std::nullopt;
}

void FileTypeTable::Append(FileTypeRow row) {
    lowerExtensions_.push_back(AsciiLower(row.extension));
    longestExtension_ = std::max(longestExtension_, lowerExtensions_.back().size());
    rows_.push_back(std::move(row));
}

void FileTypeTable::Remove(std::size_t index) {
    if (index >= rows_.size())
        return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    lowerExtensions_.erase(lowerExtensions_.begin() + static_cast<std::ptrdiff_t>(index));
}

void FileTypeTable::SetState(std::size_t index, std::u16string state) {
    if (index < rows_.size())
        rows_[index].state = std::move(state);
}

std::optional<std::size_t> FileTypeTable::Find(std::u16string_view extension) const {
    const std::u16string lower = AsciiLower(extension);
    for (std::size_t r = 0; r < rows_.size(); ++r)
        if (lowerExtensions_[r] == lower)
            return r;
    return std::nullopt;
}

} // namespace velmora
