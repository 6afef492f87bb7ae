#include "capture/FrameText.h"

#include "capture/Gbk.h"

namespace velmora {
namespace {

constexpr char16_t kUpperHex[] = u"0123456789ABCDEF";

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool isHexDigit(char16_t c) { return hexDigit(c) >= 0; }

// The text of each byte 0x00..0x80: its character, or "·" for control bytes.
struct SingleByteTexts {
    char16_t text[0x81];
    SingleByteTexts() {
        for (int b = 0; b <= 0x80; ++b) {
            const char16_t c = gbk::SingleByte(static_cast<std::uint8_t>(b));
            text[b] = c < 32 ? kMiddleDot : c;
        }
    }
};

const char16_t* singleByteTexts() {
    static const SingleByteTexts table;
    return table.text;
}

std::u16string_view trimSpaces(std::u16string_view s) {
    while (!s.empty() && s.front() == u' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == u' ')
        s.remove_suffix(1);
    return s;
}

// Characters [from, from + count) of w, cut at its end.
std::u16string_view slice(std::u16string_view w, std::size_t from, std::size_t count) {
    if (from >= w.size())
        return {};
    return w.substr(from, count);
}

// The value of a two-digit group, non-hex digits counting as 0; -1 when the trimmed digits are fewer than 2.
int groupValue(std::u16string_view digits) {
    digits = trimSpaces(digits);
    if (digits.size() < 2)
        return -1;
    return 16 * HexToCed(digits.substr(0, 1)) + HexToCed(digits.substr(digits.size() - 1, 1));
}

// The byte of the well-formed group "%XX" at w[j], or -1 when none starts there.
int strictGroup(std::u16string_view w, std::size_t j) {
    if (j + 2 >= w.size() || w[j] != u'%')
        return -1;
    const int high = hexDigit(w[j + 1]);
    const int low = hexDigit(w[j + 2]);
    return (high | low) < 0 ? -1 : high << 4 | low;
}

// The run of adjacent groups starting at w[i], read as UTF-8: when its bytes are strictly valid in
// full and hold a 3- or 4-byte sequence, appends the run decoded (groups below 0x80 stay as their
// three characters) and gives the position after it. Otherwise leaves `out` as it was and gives 0.
// A run of GBK pairs is almost never valid UTF-8 with a 3-byte sequence, so GBK escapes still fall
// through to the GBK step. Only a run whose first byte can lead a multi-byte sequence is read: one
// that starts with groups below 0x80 decodes the same from its first higher group, where the walk
// arrives after keeping those groups unchanged.
std::size_t decodeUtf8Run(std::u16string_view w, std::size_t i, std::u16string& out) {
    if (const int first = strictGroup(w, i); first < 0xC2 || first > 0xF4)
        return 0;
    const std::size_t mark = out.size();
    bool wide = false;
    std::size_t j = i;
    for (int b; (b = strictGroup(w, j)) >= 0;) {
        if (b < 0x80) {
            out.append(w.substr(j, 3));
            j += 3;
            continue;
        }
        int extra;
        int low = 0x80, high = 0xBF; // range of the second byte: excludes overlong forms, surrogates, > U+10FFFF
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            low = b == 0xE0 ? 0xA0 : 0x80;
            high = b == 0xED ? 0x9F : 0xBF;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            low = b == 0xF0 ? 0x90 : 0x80;
            high = b == 0xF4 ? 0x8F : 0xBF;
        } else {
            break;
        }
        std::uint32_t cp = static_cast<std::uint32_t>(b) & (0x7F >> (extra + 1));
        for (int k = 1; k <= extra; ++k) {
            const int c = strictGroup(w, j + 3 * static_cast<std::size_t>(k));
            if (c < low || c > high) {
                out.resize(mark);
                return 0;
            }
            cp = cp << 6 | (static_cast<std::uint32_t>(c) & 0x3F);
            low = 0x80, high = 0xBF;
        }
        j += 3 * static_cast<std::size_t>(extra + 1);
        wide = wide || extra >= 2;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    // Stopped on a byte that cannot start a sequence, inside the run: not valid in full.
    if (!wide || strictGroup(w, j) >= 0) {
        out.resize(mark);
        return 0;
    }
    return j;
}

// Every "%20" becomes a space, in one pass.
void decodeEscapedSpaces(std::u16string& s) {
    if (s.find(u"%20") == std::u16string::npos)
        return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < s.size(); ++out) {
        if (s[i] == u'%' && i + 2 < s.size() && s[i + 1] == u'2' && s[i + 2] == u'0') {
            s[out] = u' ';
            i += 3;
        } else {
            s[out] = s[i++];
        }
    }
    s.resize(out);
}

} // namespace

std::u16string PacketToText(std::span<const std::uint8_t> frame) {
    const char16_t* single = singleByteTexts();
    std::u16string out(frame.size(), u'\0');
    for (std::size_t i = 0; i < frame.size(); ++i)
        out[i] = frame[i] <= 0x80 ? single[frame[i]] : kNoSingleByteCharacter;
    return out;
}

std::u16string PacketToText(const PacketStore& store, PacketNumber n) { return PacketToText(store.PacketData(n)); }

void PacketToTextCn(std::span<const std::uint8_t> frame, std::u16string& out) {
    const char16_t* single = singleByteTexts();
    out.clear();
    const std::size_t m = frame.size();
    out.resize(m * 3);
    char16_t* o = out.data();
    for (std::size_t i = 0; i < m;) {
        const std::uint8_t b = frame[i];
        if (b > 0x80) {
            if (i + 1 < m && frame[i + 1] > 0x80) {
                const std::uint8_t b2 = frame[i + 1];
                *o++ = u'%';
                *o++ = kUpperHex[b >> 4];
                *o++ = kUpperHex[b & 15];
                *o++ = u'%';
                *o++ = kUpperHex[b2 >> 4];
                *o++ = kUpperHex[b2 & 15];
                i += 2;
            } else {
                *o++ = kMiddleDot;
                ++i;
            }
        } else {
            *o++ = single[b];
            ++i;
        }
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

std::u16string PacketToTextCn(std::span<const std::uint8_t> frame) {
    std::u16string out;
    PacketToTextCn(frame, out);
    return out;
}

std::u16string PacketToTextCn(const PacketStore& store, PacketNumber n) { return PacketToTextCn(store.PacketData(n)); }

std::u16string DecodeCnEscapes(std::u16string_view text) {
    const std::size_t firstPercent = text.find(u'%');
    if (firstPercent == std::u16string_view::npos)
        return std::u16string(text);

    std::u16string result(text.substr(0, firstPercent));
    const std::u16string_view w = text.substr(firstPercent);
    std::size_t i = 0; // 0-based position in w
    while (true) {
        std::size_t next;
        if (w[i] == u'%') {
            const int lead = groupValue(slice(w, i + 1, 2));
            if (lead < 129 || i + 3 >= w.size() || w[i + 3] != u'%') {
                result.append(slice(w, i, 3));
                next = i + 3;
            } else if (const std::size_t after = decodeUtf8Run(w, i, result); after != 0) {
                next = after;
            } else {
                const int trail = groupValue(slice(w, i + 4, 2));
                const std::u16string_view group = slice(w, i, 6);
                char16_t decoded = 0;
                // Both groups must be real hexadecimal and form a GBK character; otherwise the six
                // characters stay as they are.
                if (trail >= 129 && isHexDigit(w[i + 1]) && isHexDigit(w[i + 2]) && isHexDigit(w[i + 4]) &&
                    isHexDigit(w[i + 5]))
                    decoded = gbk::Pair(static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(trail));
                if (decoded != 0)
                    result.push_back(decoded);
                else
                    result.append(group);
                next = i + 6;
            }
        } else {
            const std::size_t k = w.find(u'%', i);
            if (k == std::u16string_view::npos) {
                result.append(w.substr(i));
                return result;
            }
            result.append(w.substr(i, k - i));
            next = k;
        }
        if (next >= w.size()) {
            decodeEscapedSpaces(result);
            return result;
        }
        i = next;
    }
}

int HexToCed(std::u16string_view hexStr) {
    if (hexStr.size() != 1)
        return 0;
    const char16_t c = hexStr[0];
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return 0;
}

int HexToCed1(std::u16string_view hexStr) {
    if (hexStr.size() == 1)
        return HexToCed(hexStr);
    if (hexStr.size() == 2)
        return 16 * HexToCed(hexStr.substr(0, 1)) + HexToCed(hexStr.substr(1, 1));
    return 0;
}

} // namespace velmora
