#include "LiteralFrameWalk.h"

#include "capture/FrameText.h"
#include "capture/Gbk.h"
#include "capture/PacketStore.h"
#include "capture/TcpPayload.h"

#include <algorithm>

namespace velmora::literal {
namespace {

using Text = std::u16string;
using View = std::u16string_view;

constexpr char16_t kDot = u'\u00B7';

// The string functions the rules are written in, 1-based, 0 meaning "not found".
std::size_t InStr(std::size_t start, View s, View pattern) {
    for (std::size_t at = std::max<std::size_t>(start, 1); at + pattern.size() <= s.size() + 1; ++at)
        if (s.substr(at - 1, pattern.size()) == pattern)
            return at;
    return 0;
}

std::size_t InStrRev(View s, View pattern) {
    std::size_t found = 0;
    for (std::size_t at = 1; at + pattern.size() <= s.size() + 1; ++at)
        if (s.substr(at - 1, pattern.size()) == pattern)
            found = at;
    return found;
}

Text Mid(View s, std::size_t start, std::size_t length = View::npos) {
    if (start > s.size())
        return {};
    return Text(s.substr(start - 1, length));
}

Text Left(View s, std::size_t length) {
    return Text(s.substr(0, std::min(length, s.size())));
}

Text Right(View s, std::size_t length) {
    return Text(s.substr(s.size() - std::min(length, s.size())));
}

Text Trim(View s) {
    while (!s.empty() && s.front() == u' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == u' ')
        s.remove_suffix(1);
    return Text(s);
}

Text LCase(View s) {
    Text out(s);
    for (char16_t& c : out)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c + 32);
    return out;
}

Text Replace(View s, View find, View with) {
    Text out;
    for (std::size_t at = 1; at <= s.size();) {
        if (Mid(s, at, find.size()) == find) {
            out += with;
            at += find.size();
        } else {
            out += s[at - 1];
            ++at;
        }
    }
    return out;
}

int HexValue(View digit) {
    if (digit.size() != 1)
        return 0;
    const char16_t c = digit[0];
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return 0;
}

bool IsHex(View digits) {
    for (char16_t c : digits)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}

Text Hex2(std::uint8_t b) {
    constexpr char16_t digits[] = u"0123456789ABCDEF";
    return {digits[b >> 4], digits[b & 15]};
}

// The rule for UTF-8 escapes, tried at every "%" of the walk: the maximal run of groups "%XX"
// starting at i, if its bytes are valid UTF-8 in full with a 3- or 4-byte sequence, is appended with
// each multi-byte sequence as its character and each single byte as its three characters. Gives the
// position after the run, or 0 when the rule does not apply.
std::size_t Utf8Run(View w, std::size_t i, Text& result) {
    std::string bytes;
    std::size_t j = i;
    while (Mid(w, j, 1) == u"%" && Mid(w, j + 1, 2).size() == 2 && IsHex(Mid(w, j + 1, 2))) {
        bytes.push_back(static_cast<char>(16 * HexValue(Mid(w, j + 1, 1)) + HexValue(Mid(w, j + 2, 1))));
        j += 3;
    }
    const bool wide =
        std::any_of(bytes.begin(), bytes.end(), [](char b) { return static_cast<std::uint8_t>(b) >= 0xE0; });
    if (bytes.empty() || !utf8::IsValid(bytes) || !wide)
        return 0;
    for (std::size_t k = 0; k < bytes.size();) {
        const auto b = static_cast<std::uint8_t>(bytes[k]);
        const std::size_t length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        result += length == 1 ? Mid(w, i + 3 * k, 3) : utf8::ToU16(bytes.substr(k, length));
        k += length;
    }
    return j;
}

bool IsAlnum(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The file-type test: the first row whose extension equals the slice of the address at d (1-based).
std::optional<Text> FileType(View address, std::size_t d, const FileTypeTable& fileTypes) {
    for (const FileTypeRow& row : fileTypes.Rows()) {
        const Text x = LCase(row.extension);
        if (LCase(Mid(address, d, x.size())) != x)
            continue;
        if (row.state == kDisabledState)
            return std::nullopt;
        return row.typeName;
    }
    return std::nullopt;
}

struct Walk {
    const FileTypeTable& fileTypes;
    std::vector<std::u16string> listed;
    PacketNumber packet;
    std::vector<ResultRow> rows;

    bool isDuplicate(View address) const { return std::find(listed.begin(), listed.end(), address) != listed.end(); }

    void add(Text type, Text address) {
        listed.push_back(address);
        rows.push_back({std::move(type), std::move(address), packet});
    }

    void schemeScan(View text) {
        const std::size_t L = text.size();
        std::size_t f = 1;
        while (true) {
            std::size_t p = InStr(f, text, u"http://");
            if (p == 0)
                p = L;
            for (View scheme : {u"rtsp://", u"mms://", u"mmst://"}) {
                const std::size_t q = InStr(f, text, scheme);
                if (q > 0 && q < p)
                    p = q;
            }
            if (L <= p)
                return;
            // A terminator that is not there counts as found past the end: the address keeps its last character.
            std::size_t e = L + 1;
            for (View terminator : {u"\u00B7", u"\"", u"<", u"'", u"/streamid=", u",", u";"}) {
                const std::size_t q = InStr(p, text, terminator);
                if (q > 0 && q < e)
                    e = q;
            }
            Text candidate = Mid(text, p, e - p);

            const std::size_t c = InStr(1, candidate, u"://");
            const Text scheme = c > 0 ? Left(candidate, c - 1) : candidate;
            const std::size_t v = InStr(scheme.size() + 3, LCase(candidate), scheme + u"/1.");
            if (v > 0)
                candidate = Left(candidate, v - 1);

            bool rejected = false;
            const bool http = LCase(Left(candidate, 4)) == u"http";
            if (http) {
                const std::size_t s = InStrRev(candidate, u"/");
                const std::size_t d = InStrRev(candidate, u".");
                if (d < s) {
                    rejected = true;
                } else {
                    if (const std::size_t space = InStr(d, candidate, u" "); space > 0)
                        candidate = Left(candidate, space - 1);
                    if (const std::size_t escaped = InStr(d, candidate, u"%20"); escaped > 0)
                        candidate = Left(candidate, escaped - 1);
                }
            }
            if (!rejected) {
                while (!candidate.empty() && !IsAlnum(candidate.back()))
                    candidate = Left(candidate, candidate.size() - 1);
                while (Left(candidate, 1) == u" ")
                    candidate = Mid(candidate, 2);
                rejected = candidate.size() < 8;
            }
            if (!rejected) {
                Text decoded = DecodeCnEscapes(candidate);
                if (http) {
                    if (!isDuplicate(decoded)) {
                        const std::size_t d2 = InStrRev(decoded, u".");
                        if (auto type = FileType(decoded, d2 == 0 ? decoded.size() + 1 : d2, fileTypes))
                            add(*type, decoded);
                    }
                } else if (!isDuplicate(decoded)) {
                    if (const std::size_t space = InStr(1, decoded, u" "); space > 0) {
                        decoded = Left(decoded, space - 1);
                        while (Right(decoded, 1) == u" ")
                            decoded = Left(decoded, decoded.size() - 1);
                    }
                    const std::size_t c2 = InStr(1, decoded, u"://");
                    if (c2 > 0 && InStr(c2 + 4, decoded, u"/") > 0)
                        add(Text(kVideoType), decoded);
                }
            }
            if (L > p && e > 0 && L > e)
                f = e;
            else
                return;
        }
    }

    // `payloadG` is the position just before the "G" of a request that starts the TCP payload, or 0:
    // that request counts as if a "·" stood before it.
    void requestLineScan(View text, std::size_t payloadG) {
        auto nextRequest = [&](std::size_t from) {
            std::size_t g = InStr(from, text, u"\u00B7GET ");
            if (payloadG >= 1 && payloadG >= from && (g == 0 || payloadG < g))
                g = payloadG;
            return g;
        };
        std::size_t g = nextRequest(1);
        while (g >= 1) {
            std::size_t h = InStr(g + 6, text, u" ");
            if (h == 0)
                h = InStr(g + 6, text, u"\u00B7");
            if (h == 0)
                return;
            Text target = Mid(text, g + 5, h - (g + 5));
            if (InStr(1, target, u"http://") == 0) {
                if (const std::size_t o = InStr(g, text, u"\u00B7Host: "); o > 0) {
                    const std::size_t t = InStr(o + 7, text, u"\u00B7");
                    if (t == 0)
                        return;
                    target = u"http://" + Mid(text, o + 7, t - (o + 7)) + target;
                }
            }
            if (target.size() >= 8) {
                target = DecodeCnEscapes(target);
                if (!isDuplicate(target)) {
                    const std::size_t s = InStrRev(target, u"/");
                    const std::size_t d = InStrRev(target, u".");
                    if (d >= s && d > 0)
                        if (auto type = FileType(target, d, fileTypes))
                            add(*type, target);
                }
            }
            g = nextRequest(g + target.size());
        }
    }
};

} // namespace

std::u16string PacketToText(std::span<const std::uint8_t> frame) {
    Text out;
    for (std::uint8_t b : frame) {
        const char16_t c = b <= 0x80 ? gbk::SingleByte(b) : kNoSingleByteCharacter;
        out += c < 32 ? kDot : c;
    }
    return out;
}

std::u16string PacketToTextCn(std::span<const std::uint8_t> frame) {
    const std::size_t m = frame.size();
    Text out;
    std::size_t i = 1;
    while (i <= m) {
        const std::uint8_t b = frame[i - 1];
        if (b > 128) {
            if (i < m && frame[i] > 128) {
                out += u"%" + Hex2(b) + u"%" + Hex2(frame[i]);
                i += 2;
            } else {
                out += kDot;
                i += 1;
            }
        } else {
            const char16_t c = gbk::SingleByte(b);
            out += c < 32 ? kDot : c;
            i += 1;
        }
    }
    return out;
}

std::u16string DecodeCnEscapes(std::u16string_view text) {
    const std::size_t first = InStr(1, text, u"%");
    if (first == 0)
        return Text(text);
    Text result = Left(text, first - 1);
    const Text w = Mid(text, first);
    std::size_t i = 1;
    while (true) {
        std::size_t next;
        std::size_t afterRun = 0;
        if (Mid(w, i, 1) == u"%")
            afterRun = Utf8Run(w, i, result);
        if (afterRun > 0) {
            next = afterRun;
        } else if (Mid(w, i, 1) == u"%") {
            const Text d1 = Trim(Mid(w, i + 1, 2));
            const int lead = 16 * HexValue(Left(d1, 1)) + HexValue(Right(d1, 1));
            if (Mid(w, i + 3, 1) != u"%" || d1.size() < 2 || lead < 129) {
                result += Mid(w, i, 3);
                next = i + 3;
            } else {
                const Text d2 = Trim(Mid(w, i + 4, 2));
                const int trail = 16 * HexValue(Left(d2, 1)) + HexValue(Right(d2, 1));
                char16_t c = 0;
                // Digits that are not hexadecimal keep the six characters as they are.
                if (d2.size() == 2 && trail >= 129 && IsHex(Mid(w, i + 1, 2)) && IsHex(Mid(w, i + 4, 2)))
                    c = gbk::Pair(static_cast<std::uint8_t>(lead), static_cast<std::uint8_t>(trail));
                result += c != 0 ? Text(1, c) : Mid(w, i, 6);
                next = i + 6;
            }
        } else {
            const std::size_t k = InStr(i, w, u"%");
            if (k == 0)
                return result + Mid(w, i);
            result += Mid(w, i, k - i);
            next = k;
        }
        if (next > w.size())
            return Replace(result, u"%20", u" ");
        i = next;
    }
}

std::vector<ResultRow> FrameRows(std::span<const std::uint8_t> frame, int linkType, const ExtractionOptions& options,
                                 const FileTypeTable& fileTypes, const std::vector<std::u16string>& listed,
                                 PacketNumber packet) {
    Walk walk{fileTypes, listed, packet, {}};
    frame = frame.first(std::min(frame.size(), PacketStore::kMaxFrameBytes));
    if (frame.empty())
        return {};
    if (options.allPacketsValue == 1) {
        walk.add(Text(), PacketToText(frame));
        return walk.rows;
    }
    if (options.allPacketsValue != 0)
        return {};
    const Text text = PacketToTextCn(frame);
    const double L = static_cast<double>(text.size());
    if (text.empty() || options.minimumLength >= L)
        return {};
    walk.schemeScan(text);

    std::size_t payloadG = 0;
    const auto payload = TcpPayloadOffset(frame, linkType);
    if (payload && *payload + 4 <= frame.size() && frame[*payload] == 'G' && frame[*payload + 1] == 'E' &&
        frame[*payload + 2] == 'T' && frame[*payload + 3] == ' ')
        payloadG = PacketToTextCn(frame.first(*payload)).size(); // the text before the "G" of the payload
    walk.requestLineScan(text, payloadG);
    return walk.rows;
}

} // namespace velmora::literal
