#include "capture/FileTypeTable.h"

#include <algorithm>
#include <array>

namespace velmora {

namespace {

inline constexpr std::u16string_view kAudioType = u"音频";

// What servers send for the shipped extensions (IANA names first, then the common unregistered ones).
constexpr std::array<std::pair<std::u16string_view, std::u16string_view>, 35> kDefaultMediaTypes{{
    {u".flv", u"video/x-flv"},
    {u".f4v", u"video/x-f4v"},
    {u".mp4", u"video/mp4"},
    {u".m4v", u"video/x-m4v"},
    {u".m3u8", u"application/vnd.apple.mpegurl, application/x-mpegurl, audio/mpegurl, audio/x-mpegurl"},
    {u".mpd", u"application/dash+xml"},
    {u".ts", u"video/mp2t"},
    {u".m4s", u"video/iso.segment"},
    {u".webm", u"video/webm"},
    {u".mkv", u"video/x-matroska"},
    {u".mov", u"video/quicktime"},
    {u".avif", u"image/avif"},
    {u".avi", u"video/x-msvideo, video/avi"},
    {u".wmv", u"video/x-ms-wmv"},
    {u".asf", u"video/x-ms-asf"},
    {u".rmvb", u"application/vnd.rn-realmedia-vbr"},
    {u".rm", u"application/vnd.rn-realmedia"},
    {u".3gp", u"video/3gpp"},
    {u".mpg", u"video/mpeg"},
    {u".mpeg", u"video/mpeg"},
    {u".mp3", u"audio/mpeg"},
    {u".m4a", u"audio/mp4, audio/x-m4a"},
    {u".aac", u"audio/aac, audio/aacp"},
    {u".wma", u"audio/x-ms-wma"},
    {u".ogg", u"audio/ogg"},
    {u".flac", u"audio/flac, audio/x-flac"},
    {u".wav", u"audio/wav, audio/x-wav, audio/wave"},
    {u".ape", u"audio/ape, audio/x-ape"},
    {u".jpg", u"image/jpeg"},
    {u".jpeg", u"image/jpeg"},
    {u".png", u"image/png"},
    {u".gif", u"image/gif"},
    {u".webp", u"image/webp"},
    {u".bmp", u"image/bmp"},
    {u".swf", u"application/x-shockwave-flash"},
}};

// "Video/MP4, audio/x-m4a" as lower-case ASCII entries; an entry that is not plain ASCII is skipped.
std::vector<std::string> splitMediaTypes(std::u16string_view text) {
    std::vector<std::string> types;
    std::string current;
    bool plain = true;
    auto flush = [&] {
        while (!current.empty() && current.back() == ' ')
            current.pop_back();
        if (plain && !current.empty())
            types.push_back(current);
        current.clear();
        plain = true;
    };
    for (char16_t c : text) {
        if (c == u',' || c == u';' || c == u'，') {
            flush();
        } else if ((c == u' ' || c == u'\t') && current.empty()) {
            continue;
        } else if (c > 0x20 && c < 0x7F) {
            current.push_back(static_cast<char>(c >= u'A' && c <= u'Z' ? c + 32 : c));
        } else if (c != u' ') {
            plain = false;
        } else {
            current.push_back(' ');
        }
    }
    flush();
    return types;
}

} // namespace

std::u16string DefaultMediaTypes(std::u16string_view extension) {
    const std::u16string lower = AsciiLower(extension);
    for (const auto& [ext, types] : kDefaultMediaTypes)
        if (ext == lower)
            return std::u16string(types);
    return {};
}

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

std::optional<std::u16string> FileTypeTable::ClassifyMediaType(std::string_view mediaType) const {
    if (mediaType.empty())
        return std::nullopt;
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        if (std::find(mediaTypes_[r].begin(), mediaTypes_[r].end(), mediaType) == mediaTypes_[r].end())
            continue;
        if (rows_[r].state == kDisabledState)
            return std::nullopt;
        return rows_[r].typeName;
    }
    if (mediaType.starts_with("video/"))
        return std::u16string(u"视频");
    if (mediaType.starts_with("audio/"))
        return std::u16string(kAudioType);
    return std::nullopt;
}

void FileTypeTable::Append(FileTypeRow row) {
    mediaTypes_.push_back(splitMediaTypes(row.mediaTypes));
    lowerExtensions_.push_back(AsciiLower(row.extension));
    longestExtension_ = std::max(longestExtension_, lowerExtensions_.back().size());
    rows_.push_back(std::move(row));
}

void FileTypeTable::Remove(std::size_t index) {
    if (index >= rows_.size())
        return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    lowerExtensions_.erase(lowerExtensions_.begin() + static_cast<std::ptrdiff_t>(index));
    mediaTypes_.erase(mediaTypes_.begin() + static_cast<std::ptrdiff_t>(index));
}

void FileTypeTable::SetState(std::size_t index, std::u16string state) {
    if (index < rows_.size())
        rows_[index].state = std::move(state);
}

void FileTypeTable::SetMediaTypes(std::size_t index, std::u16string mediaTypes) {
    if (index >= rows_.size())
        return;
    mediaTypes_[index] = splitMediaTypes(mediaTypes);
    rows_[index].mediaTypes = std::move(mediaTypes);
}

std::optional<std::size_t> FileTypeTable::Find(std::u16string_view extension) const {
    const std::u16string lower = AsciiLower(extension);
    for (std::size_t r = 0; r < rows_.size(); ++r)
        if (lowerExtensions_[r] == lower)
            return r;
    return std::nullopt;
}

} // namespace velmora
