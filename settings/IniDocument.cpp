#include "settings/IniDocument.h"

#include "capture/Gbk.h"

#include <algorithm>
#include <cstdint>

namespace velmora {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string FoldAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// Bytes of the character starting at `i`. A GBK trail byte is never below 0x40, so '=', ';', blanks and
// quotes are found by plain byte search; ']' and ASCII letters can hide inside a GBK pair, which is why
// section headers are scanned character by character and names are compared only after decoding.
std::size_t CharLength(IniEncoding encoding, std::string_view s, std::size_t i) {
    auto b = static_cast<std::uint8_t>(s[i]);
    if (b < 0x80)
        return 1;
    if (encoding == IniEncoding::Gbk) {
        if (b >= 0x81 && b <= 0xFE && i + 1 < s.size()) {
            auto t = static_cast<std::uint8_t>(s[i + 1]);
            if (t >= 0x40 && t <= 0xFE && t != 0x7F)
                return 2;
        }
        return 1;
    }
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (i + n > s.size())
        return 1;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<std::uint8_t>(s[i + k]) & 0xC0) != 0x80)
            return 1;
    return n;
}

std::string_view CutAtCharBoundary(IniEncoding encoding, std::string_view s, std::size_t maxBytes) {
    if (s.size() <= maxBytes)
        return s;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t n = CharLength(encoding, s, i);
        if (i + n > maxBytes)
            break;
        i += n;
    }
    return s.substr(0, i);
}

bool ReadsAsChinese(std::u16string_view text) {
    for (char16_t c : text) {
        if (c < 0x80)
            continue;
        bool chinese = (c >= 0x2000 && c <= 0x206F)     // general punctuation: “ ” … —
                       || (c >= 0x3000 && c <= 0x303F)  // CJK punctuation
                       || (c >= 0x3400 && c <= 0x9FFF)  // CJK ideographs
                       || (c >= 0xFF00 && c <= 0xFFEF)  // full-width forms
                       || (c >= 0xD800 && c <= 0xDFFF); // beyond the BMP: emoji
        if (!chinese)
            return false;
    }
    return true;
}

// Valid UTF-8 is no proof: a short GBK text can happen to be valid UTF-8 too ("茅抹" in GBK reads as "éĨ").
// When both readings are clean, UTF-8 wins only if it reads as Chinese text.
IniEncoding DetectEncoding(std::string_view bytes) {
    bool nonAscii = std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
    if (!nonAscii || !utf8::IsValid(bytes))
        return IniEncoding::Gbk;
    bool cleanGbk = false;
    gbk::Decode(bytes, &cleanGbk);
    if (!cleanGbk)
        return IniEncoding::Utf8;
    return ReadsAsChinese(utf8::ToU16(bytes)) ? IniEncoding::Utf8 : IniEncoding::Gbk;
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace

IniDocument IniDocument::Parse(std::string_view bytes) {
    IniDocument doc;
    if (bytes.starts_with(kByteOrderMark)) {
        doc.byteOrderMark_ = true;
        doc.encoding_ = IniEncoding::Utf8;
        bytes.remove_prefix(kByteOrderMark.size());
    } else {
        doc.encoding_ = DetectEncoding(bytes);
    }
    while (!bytes.empty()) {
        Line line;
        std::size_t lf = bytes.find('\n');
        if (lf == std::string_view::npos) {
            line.text = bytes;
            bytes = {};
        } else {
            std::string_view text = bytes.substr(0, lf);
            if (text.ends_with('\r')) {
                text.remove_suffix(1);
                line.ending = "\r\n";
            } else {
                line.ending = "\n";
            }
            line.text = text;
            bytes.remove_prefix(lf + 1);
        }
        doc.Classify(line);
        doc.lines_.push_back(std::move(line));
    }
    return doc;
}

void IniDocument::Classify(Line& line) const {
    line.kind = LineKind::Other;
    std::string_view text = line.text;
    std::size_t p = 0;
    while (p < text.size() && IsBlank(text[p]))
        ++p;
    if (p == text.size() || text[p] == ';')
        return;
    if (text[p] == '[') {
        std::size_t close = std::string_view::npos;
        for (std::size_t i = p + 1; i < text.size(); i += CharLength(encoding_, text, i))
            if (text[i] == ']')
                close = i;
        std::size_t begin = p + 1;
        std::size_t end = close == std::string_view::npos ? text.size() : close;
        while (begin < end && IsBlank(text[begin]))
            ++begin;
        while (end > begin && IsBlank(text[end - 1]))
            --end;
        line.kind = LineKind::Section;
        line.nameBegin = begin;
        line.nameEnd = end;
        line.name = FoldAscii(DecodeToUtf8(text.substr(begin, end - begin)));
        return;
    }
    std::size_t equals = text.find('=', p);
    if (equals == std::string_view::npos)
        return;
    std::size_t nameEnd = equals;
    while (nameEnd > p && IsBlank(text[nameEnd - 1]))
        --nameEnd;
    if (nameEnd == p)
        return;
    std::size_t valueBegin = equals + 1;
    std::size_t valueEnd = text.size();
    while (valueBegin < valueEnd && IsBlank(text[valueBegin]))
        ++valueBegin;
    while (valueEnd > valueBegin && IsBlank(text[valueEnd - 1]))
        --valueEnd;
    line.kind = LineKind::Key;
    line.nameBegin = p;
    line.nameEnd = nameEnd;
    line.valueBegin = valueBegin;
    line.valueEnd = valueEnd;
    line.name = FoldAscii(DecodeToUtf8(text.substr(p, nameEnd - p)));
}

IniDocument::Line IniDocument::MakeLine(std::string text, std::string ending) const {
    Line line;
    line.text = std::move(text);
    line.ending = std::move(ending);
    Classify(line);
    return line;
}

std::string IniDocument::DecodeToUtf8(std::string_view bytes) const {
    // ASCII reads the same in both: most names need no tables (building GBK's costs a millisecond).
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(bytes);
    if (encoding_ == IniEncoding::Gbk)
        return utf8::FromU16(gbk::Decode(bytes));
    if (utf8::IsValid(bytes))
        return std::string(bytes);
    return utf8::FromU16(utf8::ToU16(bytes));
}

std::optional<std::string> IniDocument::Encode(std::string_view text) const {
    if (!utf8::IsValid(text))
        return std::nullopt;
    if (encoding_ == IniEncoding::Utf8)
        return std::string(text);
    return gbk::Encode(utf8::ToU16(text));
}

std::string IniDocument::ValueOf(const Line& line, std::size_t maxBytes) const {
    std::string_view value = std::string_view(line.text).substr(line.valueBegin, line.valueEnd - line.valueBegin);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    if (std::size_t nul = value.find('\0'); nul != std::string_view::npos)
        value = value.substr(0, nul);
    return DecodeToUtf8(CutAtCharBoundary(encoding_, value, maxBytes));
}

std::size_t IniDocument::FindSection(std::string_view foldedName) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == LineKind::Section && lines_[i].name == foldedName)
            return i;
    return lines_.size();
}

std::size_t IniDocument::SectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != LineKind::Section)
        ++i;
    return i;
}

std::optional<std::string> IniDocument::Value(std::string_view section, std::string_view key,
                                              std::size_t maxBytes) const {
    std::size_t header = FindSection(FoldAscii(Trim(section)));
    if (header == lines_.size())
        return std::nullopt;
    const std::string foldedKey = FoldAscii(Trim(key));
    for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i)
        if (lines_[i].kind == LineKind::Key && lines_[i].name == foldedKey)
            return ValueOf(lines_[i], maxBytes);
    return std::nullopt;
}

bool IniDocument::HasSection(std::string_view section) const {
    return FindSection(FoldAscii(Trim(section))) != lines_.size();
}

std::unordered_map<std::string, std::string> IniDocument::SectionValues(std::string_view section,
                                                                        std::size_t maxBytes) const {
    std::unordered_map<std::string, std::string> values;
    std::size_t header = FindSection(FoldAscii(Trim(section)));
    if (header == lines_.size())
        return values;
    for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i)
        if (lines_[i].kind == LineKind::Key && !values.contains(lines_[i].name))
            values.emplace(lines_[i].name, ValueOf(lines_[i], maxBytes));
    return values;
}

std::string IniDocument::NewLineEnding() const {
    // A file that uses bare LF throughout (edited on Linux) stays that way; everything else gets CRLF.
    bool sawLf = false;
    for (const Line& line : lines_) {
        if (line.ending == "\r\n")
            return "\r\n";
        sawLf = sawLf || line.ending == "\n";
    }
    return sawLf ? "\n" : "\r\n";
}

std::optional<std::string> IniDocument::SetValue(std::string_view section, std::string_view key,
                                                 std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty())
        return "节名为空";
    if (key.empty())
        return "键名为空";
    if (HasLineBreakOrNul(section) || HasLineBreakOrNul(key) || HasLineBreakOrNul(value))
        return "节名、键名或值中含有换行符或NUL字符";
    if (key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';')
        return "键名“" + std::string(key) + "”含有“=”或以“[”“;”开头";
    const char* encodingName = encoding_ == IniEncoding::Gbk ? "GBK" : "UTF-8";
    auto encodedSection = Encode(section);
    auto encodedKey = Encode(key);
    auto encodedValue = Encode(value);
    if (!encodedSection)
        return "节名“" + std::string(section) + "”含有" + encodingName + "编码无法表示的字符";
    if (!encodedKey)
        return "键名“" + std::string(key) + "”含有" + encodingName + "编码无法表示的字符";
    if (!encodedValue)
        return "值“" + std::string(value) + "”含有" + encodingName + "编码无法表示的字符";

    const std::string ending = NewLineEnding();
    std::size_t header = FindSection(FoldAscii(section));
    if (header < lines_.size()) {
        const std::string foldedKey = FoldAscii(key);
        std::size_t lastKey = header;
        for (std::size_t i = header + 1, end = SectionEnd(header); i < end; ++i) {
            if (lines_[i].kind != LineKind::Key)
                continue;
            if (lines_[i].name == foldedKey) {
                Line& line = lines_[i];
                line.text = line.text.substr(0, line.nameEnd) + "=" + *encodedValue;
                Classify(line);
                return std::nullopt;
            }
            lastKey = i;
        }
        if (lines_[lastKey].ending.empty())
            lines_[lastKey].ending = ending;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(lastKey + 1),
                      MakeLine(*encodedKey + "=" + *encodedValue, ending));
        return std::nullopt;
    }

    if (!lines_.empty()) {
        if (lines_.back().ending.empty())
            lines_.back().ending = ending;
        if (!Trim(lines_.back().text).empty())
            lines_.push_back(MakeLine({}, ending));
    }
    lines_.push_back(MakeLine("[" + *encodedSection + "]", ending));
    lines_.push_back(MakeLine(*encodedKey + "=" + *encodedValue, ending));
    return std::nullopt;
}

bool IniDocument::RemoveSection(std::string_view section) {
    const std::string folded = FoldAscii(Trim(section));
    std::vector<Line> kept;
    kept.reserve(lines_.size());
    bool removing = false;
    bool removed = false;
    for (Line& line : lines_) {
        if (line.kind == LineKind::Section)
            removing = line.name == folded;
        if (removing)
            removed = true;
        else
            kept.push_back(std::move(line));
    }
    lines_ = std::move(kept);
    return removed;
}

bool IniDocument::PinEncoding() {
    if (byteOrderMark_)
        return true;
    if (DetectEncoding(Serialize()) == encoding_)
        return true;
    if (encoding_ == IniEncoding::Gbk)
        return false;
    byteOrderMark_ = true;
    return true;
}

std::string IniDocument::Serialize() const {
    std::string out;
    if (byteOrderMark_)
        out += kByteOrderMark;
    for (const Line& line : lines_) {
        out += line.text;
        out += line.ending;
    }
    return out;
}

} // namespace velmora
