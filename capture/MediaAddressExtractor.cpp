#include "capture/MediaAddressExtractor.h"

#include "capture/RangePiece.h"

#include "capture/ByteSearch.h"
#include "capture/FrameMarkers.h"
#include "capture/FrameText.h"
#include "capture/TcpPayload.h"

#include <algorithm>
#include <array>
#include <string_view>

// The scans follow the rules step by step. The rules count 1-based character positions of the
// frame text; here the scans search the frame's bytes and keep byte indexes, which FrameLayout
// turns into text positions where the rules do arithmetic on them. Only the pieces the rules cut
// out are rendered.

namespace velmora {
namespace {

using Text = std::u16string_view;
constexpr std::size_t npos = FrameLayout::npos;

std::string_view asChars(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The next occurrence of an ASCII pattern in the bytes at or after an index that only grows during
// one scan, so each pattern is searched over the frame at most once per scan.
class Occurrence {
public:
    Occurrence(std::string_view bytes, std::string_view pattern) : bytes_(bytes), pattern_(pattern) {}
    std::size_t at(std::size_t k) {
        if (!searched_ || (found_ != npos && found_ < k) || (found_ == npos && k < searchedFrom_)) {
            found_ = FindBytes(bytes_, k, pattern_);
            searchedFrom_ = k;
            searched_ = true;
        }
        return found_;
    }

private:
    std::string_view bytes_;
    std::string_view pattern_;
    std::size_t found_ = npos;
    std::size_t searchedFrom_ = 0;
    bool searched_ = false;
};

// Like Occurrence, for an ASCII pattern that must follow a "·": the "·GET " and "·Host: " lines.
// Returns the index of the pattern's first byte.
class LineOccurrence {
public:
    LineOccurrence(std::string_view bytes, const FrameLayout& layout, std::string_view pattern)
        : bytes_(bytes), layout_(layout), pattern_(pattern) {}
    std::size_t at(std::size_t k) {
        k = std::max<std::size_t>(k, 1);
        if (!searched_ || (found_ != npos && found_ < k) || (found_ == npos && k < searchedFrom_)) {
            found_ = FindBytes(bytes_, k, pattern_);
            while (found_ != npos && !layout_.IsMiddleDot(found_ - 1))
                found_ = FindBytes(bytes_, found_ + 1, pattern_);
            searchedFrom_ = k;
            searched_ = true;
        }
        return found_;
    }

private:
    std::string_view bytes_;
    const FrameLayout& layout_;
    std::string_view pattern_;
    std::size_t found_ = npos;
    std::size_t searchedFrom_ = 0;
    bool searched_ = false;
};

// The earliest "http://", "rtsp://", "mms://" or "mmst://" starting at or after f; its scheme's
// length goes to `schemeLength`. Every prefix ends in "://", and a later "://" cannot belong to an
// earlier prefix, so the first "://" with a scheme before it decides.
std::size_t nextSchemePrefix(std::string_view bytes, std::size_t f, std::size_t& schemeLength) {
    auto holds = [&](std::size_t at, std::string_view scheme) { return bytes.compare(at, scheme.size(), scheme) == 0; };
    for (std::size_t c = FindBytes(bytes, f + 3, "://"); c != npos; c = FindBytes(bytes, c + 1, "://")) {
        if (c >= f + 4 && (holds(c - 4, "http") || holds(c - 4, "rtsp") || holds(c - 4, "mmst"))) {
            schemeLength = 4;
            return c - 4;
        }
        if (holds(c - 3, "mms")) {
            schemeLength = 3;
            return c - 3;
        }
    }
    return npos;
}

char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// The first byte index in [from, end) where the bytes, lower-cased, hold `scheme` followed by "/1.".
// The pattern is ASCII letters and punctuation, which no six-character group holds, so the bytes
// show it exactly where the text does.
std::size_t findVersionTail(std::string_view bytes, std::size_t from, std::size_t end, std::string_view scheme) {
    bytes = bytes.substr(0, end);
    for (std::size_t c = FindBytes(bytes, from + scheme.size(), "/1."); c != npos; c = FindBytes(bytes, c + 1, "/1.")) {
        std::size_t k = 0;
        while (k < scheme.size() && asciiLower(static_cast<unsigned char>(bytes[c - scheme.size() + k])) == scheme[k])
            ++k;
        if (k == scheme.size())
            return c - scheme.size();
    }
    return npos;
}

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

// DecodeCnEscapes returns a text without "%" unchanged; such a text is used as it is.
Text decoded(const std::u16string& text, std::u16string& storage) {
    if (text.find(u'%') == std::u16string::npos)
        return text;
    storage = DecodeCnEscapes(text);
    return storage;
}

} // namespace

MediaAddressExtractor::MediaAddressExtractor(PacketStore& store, ResultList& results, const FileTypeTable& fileTypes)
    : store_(store), results_(results), fileTypes_(fileTypes) {}

void MediaAddressExtractor::vpacket_PacketReceived(std::span<const std::uint8_t> frame, int linkType,
                                                   const ExtractionOptions& options, const FrameMarkers* knownMarkers) {
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

    // A frame without "://" or "GET " cannot give a row: it is not looked at any further.
    const FrameMarkers markers = knownMarkers ? *knownMarkers : FindFrameMarkers(stored);
    if (!markers.any())
        return;
    layout_.Assign(stored);
    if (options.minimumLength >= static_cast<double>(layout_.TextLength()))
        return;

    std::size_t payloadRequestAt = npos;
    if (markers.get) {
        const auto payload = TcpPayloadOffset(stored, linkType);
        if (payload && *payload + 4 <= stored.size() && asChars(stored).substr(*payload, 4) == "GET ")
            payloadRequestAt = *payload;
    }
    if (markers.scheme)
        schemeScan(stored, packet);
    if (markers.get)
        requestLineScan(stored, payloadRequestAt, packet);
}

std::u16string_view MediaAddressExtractor::render(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to,
                                                  std::u16string& into) const {
    PacketToTextCn(bytes.subspan(from, to - from), into);
    return into;
}

void MediaAddressExtractor::schemeScan(std::span<const std::uint8_t> frame, PacketNumber packet) {
    const std::string_view bytes = asChars(frame);
    const std::size_t n = bytes.size();
    std::size_t dotFound = npos;
    bool dotSearched = false;
    std::array<Occurrence, 6> terminators{Occurrence(bytes, "\""), Occurrence(bytes, "<"),
                                          Occurrence(bytes, "'"),  Occurrence(bytes, "/streamid="),
                                          Occurrence(bytes, ","),  Occurrence(bytes, ";")};
    std::u16string decodedStorage;
    std::size_t f = 0;
    while (true) {
        std::size_t schemeLength = 0;
        const std::size_t p = nextSchemePrefix(bytes, f, schemeLength);
        if (p == npos)
            return;

        // End of the address: the first "·" or other terminator. With none the address runs to
        // the end of the text and keeps its last character.
        if (!dotSearched || (dotFound != npos && dotFound < p)) {
            dotFound = layout_.NextMiddleDot(p);
            dotSearched = true;
        }
        std::size_t e = dotFound;
        for (auto& terminator : terminators)
            e = std::min(e, terminator.at(p));
        const std::size_t end = e == npos ? n : e;
        std::u16string& candidate = candidate_;
        render(frame, p, end, candidate);

        // Drop a protocol-version tail such as " RTSP/1.0" after a request target: the scheme again,
        // from the candidate's character schemeLength + 2 on (all single bytes up to there).
        const std::string_view scheme = bytes.substr(p, schemeLength);
        if (const std::size_t version = findVersionTail(bytes, p + schemeLength + 2, end, scheme); version != npos)
            candidate.resize(layout_.TextIndex(version) - layout_.TextIndex(p));
        // "%" in the text comes from a "%" byte or a six-character group.
        const bool mayHoldPercent =
            bytes.substr(p, end - p).find('%') != npos || layout_.TextIndex(end) - layout_.TextIndex(p) != end - p;

        bool rejected = false;
        const bool http = candidate.size() >= 4 && asciiLower(candidate[0]) == u'h' &&
                          asciiLower(candidate[1]) == u't' && asciiLower(candidate[2]) == u't' &&
                          asciiLower(candidate[3]) == u'p';
        if (http) {
            const std::size_t s = candidate.rfind(u'/');
            const std::size_t d = candidate.rfind(u'.');
            if (d == npos || (s != npos && d < s)) {
                rejected = true; // the last "." lies before the last "/": no file name extension
            } else {
                if (const std::size_t space = candidate.find(u' ', d); space != npos)
                    candidate.resize(space);
                if (const std::size_t escapedSpace = candidate.find(u"%20", d); escapedSpace != npos)
                    candidate.resize(escapedSpace);
            }
        }
        if (!rejected) {
            stripTrailingNonAlnumAndLeadingSpaces(candidate);
            rejected = candidate.size() < 8;
        }
        if (!rejected) {
            const Text address = mayHoldPercent ? decoded(candidate, decodedStorage) : Text(candidate);
            if (http) {
                listHttpAddress(address, packet);
            } else if (!results_.IsDuplicate(address)) {
                std::u16string stream(address.substr(0, address.find(u' ')));
                if (stream.size() < address.size()) {
                    while (!stream.empty() && stream.back() == u' ')
                        stream.pop_back();
                }
                // A stream address needs a host of at least one character followed by a path.
                const std::size_t c = stream.find(u"://");
                if (c != npos && stream.find(u'/', c + 4) != npos)
                    results_.AddCaptureRow({std::u16string(kVideoType), std::move(stream), packet});
            }
        }

        // The next search starts at the terminator, unless it was the text's last character.
        if (e != npos && e + 1 < n)
            f = e;
        else
            return;
    }
}

void MediaAddressExtractor::listHttpAddress(Text address, PacketNumber packet) {
    if (results_.IsDuplicate(address))
        return;
    // With no "." left (cleaning can strip the last one) only a row with an empty extension matches.
    const std::size_t d2 = address.rfind(u'.');
    const std::size_t extensionAt = d2 == npos ? address.size() : d2;
    if (auto type = fileTypes_.Classify(address, extensionAt); type && !(claim_ && claim_->Claims(address)))
        results_.AddCaptureRow({std::move(*type), std::u16string(address), packet});
}

void MediaAddressExtractor::requestLineScan(std::span<const std::uint8_t> frame, std::size_t payloadRequestAt,
                                            PacketNumber packet) {
    const std::string_view bytes = asChars(frame);
    // A request's position g is the text position of the "·" before its "GET", which equals the
    // 0-based text index of the "G". The request that starts the TCP payload counts as if a "·"
    // stood before its "GET".
    const std::size_t payloadG = payloadRequestAt == npos ? 0 : layout_.TextIndex(payloadRequestAt);
    bool payloadTaken = payloadG == 0;
    LineOccurrence requestLines(bytes, layout_, "GET ");
    LineOccurrence hostLines(bytes, layout_, "Host: ");
    std::size_t gAt = npos; // byte index of the current request's "G"
    auto nextRequest = [&](std::size_t from) {
        gAt = requestLines.at(layout_.BoundaryAtOrAfterText(from));
        std::size_t g = gAt == npos ? 0 : layout_.TextIndex(gAt);
        if (!payloadTaken && payloadG >= from && (g == 0 || payloadG < g)) {
            g = payloadG;
            gAt = payloadRequestAt;
        }
        if (g == payloadG)
            payloadTaken = true;
        return g;
    };

    std::u16string decodedStorage;
    std::size_t g = nextRequest(1);
    while (g >= 1) {
        // The target runs from after "GET " to the first space after its first character, else to
        // the first "·".
        const std::size_t targetAt = gAt + 4;
        const std::size_t second = layout_.BoundaryAtOrAfterText(g + 5);
        std::size_t h = second >= bytes.size() ? npos : bytes.find(' ', second);
        if (h == npos)
            h = layout_.NextMiddleDot(second);
        if (h == npos)
            return; // the target runs to the end of the frame: the rest of the request is elsewhere
        std::u16string& target = target_;
        render(frame, targetAt, h, target);
        if (target.find(u"http://") == std::u16string::npos) {
            if (const std::size_t o = hostLines.at(gAt); o != npos) {
                const std::size_t t = layout_.NextMiddleDot(o + 6);
                if (t == npos)
                    return; // the Host line is cut off at the end of the frame
                target.insert(0, render(frame, o + 6, t, host_));
                target.insert(0, u"http://");
            }
        }
        std::size_t targetLength = target.size();
        if (target.size() >= 8) {
            const Text address = decoded(target, decodedStorage);
            targetLength = address.size();
            listRequestTarget(address, targetLength, packet);
        }
        g = nextRequest(g + targetLength);
    }
}

const ResultRow* MediaAddressExtractor::listRequestTarget(Text target, std::size_t extensionScope,
                                                          PacketNumber packet) {
    if (results_.IsDuplicate(target))
        return nullptr;
    const Text scope = target.substr(0, extensionScope);
    const std::size_t s = scope.rfind(u'/');
    const std::size_t d = scope.rfind(u'.');
    if (d == npos || (s != npos && d < s))
        return nullptr;
    auto type = fileTypes_.Classify(target, d);
    if (!type || (claim_ && claim_->Claims(target)))
        return nullptr;
    results_.AddCaptureRow({std::move(*type), std::u16string(target), packet});
    return &results_.Rows().back();
}

const ResultRow* MediaAddressExtractor::ListDecryptedRequest(Text address, PacketNumber packet) {
    const std::u16string target = DecodeCnEscapes(address);
    // "clip.mp4?exp=1.5" is an ".mp4": the query and fragment do not name the file.
    const std::size_t scope = std::min(target.find(u'?'), target.find(u'#'));
    const std::size_t extensionScope = scope == std::u16string::npos ? target.size() : scope;
    return listRequestTarget(target, extensionScope, packet);
}

const ResultRow* MediaAddressExtractor::ListAnsweredRequest(Text address, const HttpResponseHead& response,
                                                            bool listByType) {
    std::u16string decoded = DecodeCnEscapes(address);
    std::optional<std::uint64_t> size = response.ResourceSize();
    bool atLeast = false;
    bool inPieces = response.status == 206;
    // The pieces of one file, its range in the query string: one row, the file's.
    if (auto piece = ReadRangePiece(decoded)) {
        decoded = std::move(piece->address);
        atLeast = !piece->length;
        size = piece->length ? piece->length : std::optional<std::uint64_t>(piece->end);
        inPieces = true;
    }
    if (const auto row = results_.FindCaptureRow(decoded)) {
        if (response.Success())
            results_.SetAnswer(*row, response.contentType, size, atLeast, inPieces);
        return nullptr;
    }
    if (!listByType || !response.Success())
        return nullptr;
    auto type = fileTypes_.ClassifyMediaType(response.contentType);
    if (!type || (claim_ && claim_->Claims(decoded)))
        return nullptr;
    ResultRow row{std::move(*type), std::move(decoded), response.packet, response.contentType, size};
    row.sizeAtLeast = atLeast;
    row.pieces = inPieces ? 1 : 0;
    results_.AddCaptureRow(std::move(row));
    return &results_.Rows().back();
}

} // namespace velmora
