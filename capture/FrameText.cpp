#include "capture/FrameText.h"

#include "capture/Gbk.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {
namespace {

constexpr char16_t kUpperHex[] = u"0123456789ABCDEF";

// The text of each byte 0x00..0x80: its character, or "·" for control bytes.
struct SingleByteTexts {
    char16_t text[0x81];
    bool plainAscii = true; // 0x20..0x7F are themselves and 0x00..0x1F are "·"
    SingleByteTexts() {
        for (int b = 0; b <= 0x80; ++b) {
            const char16_t c = gbk::SingleByte(static_cast<std::uint8_t>(b));
            text[b] = c < 32 ? kMiddleDot : c;
            if (b < 0x80 && text[b] != (b < 0x20 ? kMiddleDot : static_cast<char16_t>(b)))
                plainAscii = false;
        }
    }
};

const SingleByteTexts& singleByteTable() {
    static const SingleByteTexts table;
    return table;
}

const char16_t* singleByteTexts() {
    return singleByteTable().text;
}

#if defined(__SSE2__)
// Renders the 16 bytes at `in` when none is 0x80 or above: control bytes become "·", the rest
// widen unchanged. Returns false, writing nothing, otherwise.
bool renderAsciiBlock(const std::uint8_t* in, char16_t* out) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    if (_mm_movemask_epi8(v) != 0)
        return false;
    const __m128i control = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    const __m128i shown =
        _mm_or_si128(_mm_andnot_si128(control, v), _mm_and_si128(control, _mm_set1_epi8(static_cast<char>(0xB7))));
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(shown, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(shown, zero));
    return true;
}
#endif

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

// Values of the hexadecimal digits among the ASCII characters, -1 for the others.
constexpr auto kHexValues = [] {
    std::array<std::int8_t, 128> values{};
    for (int c = 0; c < 128; ++c)
        values[c] = static_cast<std::int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                             : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                    : -1);
    return values;
}();

// The byte of the well-formed group "%XX" at w[j], or -1 when none starts there.
int strictGroup(std::u16string_view w, std::size_t j) {
    if (j + 2 >= w.size() || w[j] != u'%' || (w[j + 1] | w[j + 2]) >= 128)
        return -1;
    const int high = kHexValues[w[j + 1]];
    const int low = kHexValues[w[j + 2]];
    return (high | low) < 0 ? -1 : high << 4 | low;
}

// Whether the group at w[j] can be a UTF-8 continuation byte (0x80..0xBF), judged by its first digit
// alone: a quick test that sends most GBK pairs (trail bytes 0xC0 and up) straight to the GBK step.
bool isContinuationGroup(std::u16string_view w, std::size_t j) {
    if (j + 1 >= w.size())
        return false;
    const char16_t d = w[j + 1];
    return d == u'8' || d == u'9' || (d | 0x20) == u'a' || (d | 0x20) == u'b';
}

// Where the run of adjacent groups starting at w[i] ends, when its bytes are strictly valid UTF-8 in
// full and hold a 3- or 4-byte sequence; 0 otherwise. A run of GBK pairs is almost never valid UTF-8
// with a 3-byte sequence, and most fail at their second byte, so GBK escapes still reach the GBK step
// and cost little here. Called only where the first group's byte is 0x81 or more: a run that starts
// with groups below 0x80 decodes the same from its first higher group, where the walk arrives after
// keeping those groups unchanged.
std::size_t utf8RunEnd(std::u16string_view w, std::size_t i) {
    bool wide = false;
    std::size_t j = i;
    for (int b; (b = strictGroup(w, j)) >= 0;) {
        if (b < 0x80) {
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
            return 0;
        }
        for (int k = 1; k <= extra; ++k) {
            const int c = strictGroup(w, j + 3 * static_cast<std::size_t>(k));
            if (c < low || c > high)
                return 0;
            low = 0x80, high = 0xBF;
        }
        j += 3 * static_cast<std::size_t>(extra + 1);
        wide = wide || extra >= 2;
    }
    return wide ? j : 0;
}

// Appends the valid run w[i, end): each multi-byte sequence as its character (a surrogate pair
// beyond the BMP), each group below 0x80 as its three characters.
void appendUtf8Run(std::u16string_view w, std::size_t i, std::size_t end, std::u16string& out) {
    for (std::size_t j = i; j < end;) {
        const auto b = static_cast<std::uint32_t>(strictGroup(w, j));
        if (b < 0x80) {
            out.append(w.substr(j, 3));
            j += 3;
            continue;
        }
        const int extra = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : 1;
        std::uint32_t cp = b & (0x7Fu >> (extra + 1));
        for (int k = 1; k <= extra; ++k)
            cp = cp << 6 | (static_cast<std::uint32_t>(strictGroup(w, j + 3 * static_cast<std::size_t>(k))) & 0x3F);
        j += 3 * static_cast<std::size_t>(extra + 1);
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
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

std::u16string PacketToText(const PacketStore& store, PacketNumber n) {
    return PacketToText(store.PacketData(n));
}

void PacketToTextCn(std::span<const std::uint8_t> frame, std::u16string& out) {
    const SingleByteTexts& table = singleByteTable();
    const char16_t* single = table.text;
    const std::size_t m = frame.size();
    // Room for the longest text; what the last call left is overwritten, not cleared.
    if (out.size() < m * 3)
        out.resize(m * 3);
    char16_t* o = out.data();
    for (std::size_t i = 0; i < m;) {
        // Sixteen plain bytes at once; a block with a high byte goes one character at a time.
        std::size_t blockEnd = m;
#if defined(__SSE2__)
        if (table.plainAscii && i + 16 <= m) {
            if (renderAsciiBlock(frame.data() + i, o)) {
                i += 16;
                o += 16;
                continue;
            }
            blockEnd = i + 16;
        }
#endif
        while (i < blockEnd) {
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
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

std::u16string PacketToTextCn(std::span<const std::uint8_t> frame) {
    std::u16string out;
    PacketToTextCn(frame, out);
    return out;
}

std::u16string PacketToTextCn(const PacketStore& store, PacketNumber n) {
    return PacketToTextCn(store.PacketData(n));
}

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
            const int lead = strictGroup(w, i);
            const bool groupFollows = i + 3 < w.size() && w[i + 3] == u'%';
            if (lead >= 129 && groupFollows) {
                const std::size_t end =
                    lead >= 0xC2 && lead <= 0xF4 && isContinuationGroup(w, i + 3) ? utf8RunEnd(w, i) : 0;
                if (end != 0) {
                    appendUtf8Run(w, i, end, result);
                    next = end;
                } else {
                    // The pair must be real hexadecimal and form a GBK character; otherwise the six
                    // characters stay as they are.
                    const int trail = strictGroup(w, i + 3);
                    const char16_t decoded = trail >= 129 ? gbk::Pair(static_cast<std::uint8_t>(lead),
                                                                      static_cast<std::uint8_t>(trail))
                                                          : 0;
                    if (decoded != 0)
                        result.push_back(decoded);
                    else
                        result.append(slice(w, i, 6));
                    next = i + 6;
                }
            } else if (lead >= 0 || groupValue(slice(w, i + 1, 2)) < 129 || !groupFollows) {
                result.append(slice(w, i, 3));
                next = i + 3;
            } else {
                // Digits that are not plain hexadecimal (spaces around them, other letters) still give
                // the group a value, read as the walk always read it; such a pair is never decoded.
                result.append(slice(w, i, 6));
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
