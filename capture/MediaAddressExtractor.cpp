#include "capture/MediaAddressExtractor.h"

#include "capture/FrameMarkers.h"
#include "capture/FrameText.h"
#include "capture/TcpPayload.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

// Positions below are 1-based character positions, 0 meaning "not found", so the scans read as
// the rules they implement.

namespace velmora {
namespace {

using Text = std::u16string_view;

// The first occurrence of `pattern` starting at or after position k, or 0.
std::size_t instr(Text text, std::size_t k, Text pattern) {
    if (k < 1)
        k = 1;
    if (k > text.size())
        return 0;
    const std::size_t at = text.find(pattern, k - 1);
    return at == Text::npos ? 0 : at + 1;
}

std::size_t instrRev(Text text, char16_t c) {
    const std::size_t at = text.rfind(c);
    return at == Text::npos ? 0 : at + 1;
}

// Characters from position `from` up to position `to` - 1.
std::u16string between(Text text, std::size_t from, std::size_t to) {
    if (to <= from || from > text.size())
        return {};
    return std::u16string(text.substr(from - 1, to - from));
}

// The next occurrence of a pattern at or after a position that only grows during one scan, so
// each pattern is searched over the text at most once per scan.
// A pattern known to be absent (from the frame's bytes) is never searched for.
class Occurrence {
public:
    Occurrence(Text text, Text pattern, bool present = true) : text_(text), pattern_(pattern), present_(present) {}
    std::size_t at(std::size_t k) {
        if (!present_)
            return 0;
        if (!searched_ || (found_ != 0 && found_ < k) || (found_ == 0 && k < searchedFrom_)) {
            found_ = instr(text_, k, pattern_);
            searchedFrom_ = k;
            searched_ = true;
        }
        return found_;
    }

private:
    Text text_;
    Text pattern_;
    bool present_;
    std::size_t found_ = 0;
    std::size_t searchedFrom_ = 0;
    bool searched_ = false;
};

bool isAsciiAlnum(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

void stripTrailingNonAlnumAndLeadingSpaces(std::u16string& s) {
    while (!s.empty() && !isAsciiAlnum(s.back()))
        s.pop_back();
    std::size_t lead = 0;
    while (lead < s.size() && s[lead] == u' ')
        ++lead;
    s.erase(0, lead);
}

// Whether the frame's bytes hold an ASCII pattern. The text rendering keeps ASCII as it is and only
// adds "%", upper-case hex digits and "·", so a pattern made of other characters that is absent from
// the bytes is absent from the text too.
bool containsBytes(std::span<const std::uint8_t> bytes, std::string_view pattern) {
    const auto* p = reinterpret_cast<const char*>(bytes.data());
    const char* end = p + bytes.size();
    while (static_cast<std::size_t>(end - p) >= pattern.size()) {
        p = static_cast<const char*>(std::memchr(p, pattern[0], static_cast<std::size_t>(end - p) - pattern.size() + 1));
        if (!p)
            return false;
        if (std::memcmp(p, pattern.data(), pattern.size()) == 0)
            return true;
        ++p;
    }
    return false;
}


constexpr Text kMiddleDotText = u"\u00B7";
constexpr Text kRequestLine = u"\u00B7GET ";
constexpr Text kHostLine = u"\u00B7Host: ";

} // namespace

MediaAddressExtractor::MediaAddressExtractor(PacketStore& store, ResultList& results, const FileTypeTable& fileTypes)
    : store_(store), results_(results), fileTypes_(fileTypes) {}

void MediaAddressExtractor::vpacket_PacketReceived(std::span<const std::uint8_t> frame, int linkType,
                                                   const ExtractionOptions& options,
                                                   const FrameMarkers* knownMarkers) {
    const PacketNumber packet = store_.Store(frame);
    // The frame as stored (cut to the store's limit), read from the caller's buffer: the store may
    // keep no bytes at all.
    const std::span<const std::uint8_t> stored = frame.first(static_cast<std::size_t>(store_.PacketLength(packet)));
    if (stored.empty())
        return;
    if (options.allPacketsValue == 1) {
        results_.AddCaptureRow({std::u16string(), PacketToText(stored), packet});
        return;
    }
    if (options.allPacketsValue != 0)
        return;

    // A frame without "://" or "GET " cannot give a row: it is not rendered at all.
    const auto* bytes = reinterpret_cast<const char*>(stored.data());
    const FrameMarkers markers = knownMarkers ? *knownMarkers : FindFrameMarkers(stored);
    const bool hasScheme = markers.scheme;
    const bool hasGet = markers.get;
    if (!hasScheme && !hasGet)
        return;
    PatternPresence presence;
    if (hasScheme) {
        presence.http = containsBytes(stored, "http://");
        presence.rtsp = containsBytes(stored, "rtsp://");
        presence.mms = containsBytes(stored, "mms://");
        presence.mmst = containsBytes(stored, "mmst://");
        presence.quote = containsBytes(stored, "\"");
        presence.lessThan = containsBytes(stored, "<");
        presence.apostrophe = containsBytes(stored, "'");
        presence.streamId = containsBytes(stored, "/streamid=");
        presence.comma = containsBytes(stored, ",");
        presence.semicolon = containsBytes(stored, ";");
    } else {
        presence.http = presence.rtsp = presence.mms = presence.mmst = false;
    }

    PacketToTextCn(stored, text_);
    const double length = static_cast<double>(text_.size());
    if (text_.empty() || options.minimumLength >= length)
        return;

    std::size_t payloadRequestAt = kNoPayloadRequest;
    if (hasGet) {
        const auto payload = TcpPayloadOffset(stored, linkType);
        if (payload && *payload + 4 <= stored.size() && std::memcmp(bytes + *payload, "GET ", 4) == 0) {
            // Text index of the payload's first byte: every byte before it renders as one
            // character except pairs of high bytes, which render as six.
            std::size_t at = 0;
            for (std::size_t i = 0; i < *payload;) {
                if (stored[i] > 0x80 && i + 1 < stored.size() && stored[i + 1] > 0x80) {
                    at += 6;
                    i += 2;
                } else {
                    at += 1;
                    i += 1;
                }
            }
            payloadRequestAt = at;
        }
    }
    if (hasScheme)
        schemeScan(text_, packet, presence);
    if (hasGet)
        requestLineScan(text_, payloadRequestAt, packet);
}

void MediaAddressExtractor::schemeScan(Text text, PacketNumber packet, const PatternPresence& presence) {
    const std::size_t L = text.size();
    std::array<Occurrence, 4> prefixes{
        Occurrence(text, u"http://", presence.http), Occurrence(text, u"rtsp://", presence.rtsp),
        Occurrence(text, u"mms://", presence.mms), Occurrence(text, u"mmst://", presence.mmst)};
    std::array<Occurrence, 7> terminators{
        Occurrence(text, kMiddleDotText),           Occurrence(text, u"\"", presence.quote),
        Occurrence(text, u"<", presence.lessThan),  Occurrence(text, u"'", presence.apostrophe),
        Occurrence(text, u"/streamid=", presence.streamId), Occurrence(text, u",", presence.comma),
        Occurrence(text, u";", presence.semicolon)};
    std::size_t f = 1;
    while (true) {
        std::size_t p = prefixes[0].at(f);
        if (p == 0)
            p = L;
        for (std::size_t k = 1; k < prefixes.size(); ++k) {
            const std::size_t q = prefixes[k].at(f);
            if (q > 0 && q < p)
                p = q;
        }
        if (L <= p)
            return;

        // A terminator that does not occur counts as found just past the end, so an address that
        // runs to the end of the text keeps its last character.
        std::size_t e = L + 1;
        for (auto& terminator : terminators) {
            const std::size_t q = terminator.at(p);
            if (q > 0 && q < e)
                e = q;
        }
        std::u16string candidate = between(text, p, e);

        // Drop a protocol-version tail such as " RTSP/1.0" after a request target.
        const std::size_t schemeEnd = candidate.find(u"://");
        const std::u16string scheme = candidate.substr(0, schemeEnd);
        const std::size_t version = instr(AsciiLower(candidate), scheme.size() + 3, scheme + u"/1.");
        if (version > 0)
            candidate.resize(version - 1);

        bool rejected = false;
        const bool http = AsciiLower(Text(candidate).substr(0, 4)) == u"http";
        if (http) {
            const std::size_t s = instrRev(candidate, u'/');
            const std::size_t d = instrRev(candidate, u'.');
            if (d < s) {
                rejected = true;
            } else {
                if (const std::size_t space = instr(candidate, d, u" "); space > 0)
                    candidate.resize(space - 1);
                if (const std::size_t escapedSpace = instr(candidate, d, u"%20"); escapedSpace > 0)
                    candidate.resize(escapedSpace - 1);
            }
        }
        if (!rejected) {
            stripTrailingNonAlnumAndLeadingSpaces(candidate);
            rejected = candidate.size() < 8;
        }
        if (!rejected) {
            std::u16string decoded = DecodeCnEscapes(candidate);
            if (http) {
                listHttpAddress(std::move(decoded), packet);
            } else if (!results_.IsDuplicate(decoded)) {
                if (const std::size_t space = decoded.find(u' '); space != std::u16string::npos) {
                    decoded.resize(space);
                    while (!decoded.empty() && decoded.back() == u' ')
                        decoded.pop_back();
                }
                // A stream address needs a host of at least one character followed by a path.
                const std::size_t c = instr(decoded, 1, u"://");
                if (c > 0 && instr(decoded, c + 4, u"/") > 0)
                    results_.AddCaptureRow({std::u16string(kVideoType), std::move(decoded), packet});
            }
        }

        if (L > p && e > 0 && L > e)
            f = e;
        else
            return;
    }
}

void MediaAddressExtractor::listHttpAddress(std::u16string address, PacketNumber packet) {
    if (results_.IsDuplicate(address))
        return;
    // With no "." left (cleaning can strip the last one) only a row with an empty extension matches.
    const std::size_t d2 = instrRev(address, u'.');
    const std::size_t extensionAt = d2 == 0 ? address.size() : d2 - 1;
    if (auto type = fileTypes_.Classify(address, extensionAt))
        results_.AddCaptureRow({std::move(*type), std::move(address), packet});
}

void MediaAddressExtractor::requestLineScan(Text text, std::size_t payloadRequestAt, PacketNumber packet) {
    // The request that starts the TCP payload counts as if a "·" stood before its "GET".
    const std::size_t payloadG = payloadRequestAt == kNoPayloadRequest ? 0 : payloadRequestAt; // 1-based: before "G"
    bool payloadTaken = payloadG == 0;
    Occurrence requestLines(text, kRequestLine);
    Occurrence hostLines(text, kHostLine);
    auto nextRequest = [&](std::size_t from) {
        std::size_t g = requestLines.at(from);
        if (!payloadTaken && payloadG >= from && (g == 0 || payloadG < g))
            g = payloadG;
        if (g == payloadG)
            payloadTaken = true;
        return g;
    };

    std::size_t g = nextRequest(1);
    while (g >= 1) {
        std::size_t h = instr(text, g + 6, u" ");
        if (h == 0)
            h = instr(text, g + 6, kMiddleDotText);
        if (h == 0)
            return; // the target runs to the end of the frame: the rest of the request is elsewhere
        std::u16string target = between(text, g + 5, h);
        if (target.find(u"http://") == std::u16string::npos) {
            if (const std::size_t o = hostLines.at(g); o > 0) {
                const std::size_t t = instr(text, o + 7, kMiddleDotText);
                if (t == 0)
                    return; // the Host line is cut off at the end of the frame
                target = u"http://" + between(text, o + 7, t) + target;
            }
        }
        std::size_t targetLength = target.size();
        if (target.size() >= 8) {
            target = DecodeCnEscapes(target);
            targetLength = target.size();
            listRequestTarget(std::move(target), targetLength, packet);
        }
        g = nextRequest(g + targetLength);
    }
}

const ResultRow* MediaAddressExtractor::listRequestTarget(std::u16string target, std::size_t extensionScope,
                                                          PacketNumber packet) {
    if (results_.IsDuplicate(target))
        return nullptr;
    const Text scope = Text(target).substr(0, extensionScope);
    const std::size_t s = instrRev(scope, u'/');
    const std::size_t d = instrRev(scope, u'.');
    if (d < s || d == 0)
        return nullptr;
    auto type = fileTypes_.Classify(target, d - 1);
    if (!type)
        return nullptr;
    results_.AddCaptureRow({std::move(*type), std::move(target), packet});
    return &results_.Rows().back();
}

const ResultRow* MediaAddressExtractor::ListDecryptedRequest(std::u16string_view address, PacketNumber packet) {
    std::u16string target = DecodeCnEscapes(address);
    // "clip.mp4?exp=1.5" is an ".mp4": the query and fragment do not name the file.
    const std::size_t scope = std::min(target.find(u'?'), target.find(u'#'));
    const std::size_t extensionScope = scope == std::u16string::npos ? target.size() : scope;
    return listRequestTarget(std::move(target), extensionScope, packet);
}

} // namespace velmora
