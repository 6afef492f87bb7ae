#include "stream/HlsPlaylist.h"

#include "capture/HeaderText.h"
#include "stream/UriReference.h"

#include <charconv>

namespace velmora {

namespace {

// The attributes of a tag (RFC 8216 section 4.2): NAME=VALUE pairs, values quoted or not.
class AttributeList {
public:
    explicit AttributeList(std::string_view text) : text_(text) {}

    std::string_view Get(std::string_view wanted) const {
        std::string_view rest = text_;
        while (!rest.empty()) {
            const std::size_t equals = rest.find('=');
            if (equals == std::string_view::npos)
                return {};
            const std::string_view name = TrimHeaderSpace(rest.substr(0, equals));
            rest.remove_prefix(equals + 1);
            std::string_view value;
            if (!rest.empty() && rest.front() == '"') {
                const std::size_t close = rest.find('"', 1);
                value = rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1);
                rest.remove_prefix(close == std::string_view::npos ? rest.size() : close + 1);
                const std::size_t comma = rest.find(',');
                rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            } else {
                const std::size_t comma = rest.find(',');
                value = TrimHeaderSpace(rest.substr(0, comma));
                rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            }
            if (name == wanted)
                return value;
        }
        return {};
    }

private:
    std::string_view text_;
};

std::uint64_t integer(std::string_view text) {
    std::uint64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

double decimal(std::string_view text) {
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value >= 0 && value < 1e9 ? value : 0;
}

std::optional<HlsByteRange> byteRange(std::string_view text) {
    // "length[@offset]"
    if (text.empty())
        return std::nullopt;
    HlsByteRange range;
    const std::size_t at = text.find('@');
    range.length = integer(text.substr(0, at));
    if (at != std::string_view::npos)
        range.offset = integer(text.substr(at + 1));
    return range;
}

bool startsWithTag(std::string_view line, std::string_view tag, std::string_view& rest) {
    if (!line.starts_with(tag))
        return false;
    rest = line.substr(tag.size());
    if (!rest.empty() && rest.front() == ':')
        rest.remove_prefix(1);
    else if (!rest.empty())
        return false; // a longer tag that begins the same
    return true;
}

} // namespace

bool LooksLikeHls(std::string_view body) {
    if (body.starts_with("\xEF\xBB\xBF"))
        body.remove_prefix(3);
    return TrimHeaderSpace(body.substr(0, 16)).starts_with("#EXTM3U") && body.find("#EXT-X-") != std::string_view::npos;
}

std::optional<HlsPlaylist> ParseHlsPlaylist(std::string_view text, std::string_view address, const HlsLimits& limits) {
    if (!LooksLikeHls(text) || !ResolveUri(address, address))
        return std::nullopt;
    const std::string self = *ResolveUri(address, address);
    const UriResolver resolver(address);
    auto resolve = [&](std::string_view reference) -> std::string {
        // An address that names the playlist itself would fold the playlist into itself.
        auto resolved = resolver.Resolve(reference);
        return resolved && *resolved != self ? std::move(*resolved) : std::string();
    };
    HlsPlaylist playlist;
    std::optional<HlsVariant> pendingVariant;
    double pendingDuration = 0;
    std::optional<HlsByteRange> pendingRange;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        if (line.size() > limits.lineBytes)
            continue; // nothing real is that long
        line = TrimHeaderSpace(line);
        if (line.empty())
            continue;
        std::string_view rest;
        if (line.front() != '#') {
            // An address: of the variant announced before it, or a segment.
            std::string resolved = resolve(line);
            if (pendingVariant) {
                if (!resolved.empty()) {
                    if (playlist.variants.size() < limits.variants) {
                        pendingVariant->address = std::move(resolved);
                        playlist.variants.push_back(std::move(*pendingVariant));
                    } else {
                        playlist.cut = true;
                    }
                }
                pendingVariant.reset();
            } else if (!resolved.empty()) {
                if (playlist.segments.size() < limits.segments) {
                    playlist.segments.push_back({std::move(resolved), pendingDuration, pendingRange});
                    playlist.duration += pendingDuration;
                } else {
                    playlist.cut = true;
                }
            }
            pendingDuration = 0;
            pendingRange.reset();
        } else if (startsWithTag(line, "#EXT-X-STREAM-INF", rest)) {
            const AttributeList attributes(rest);
            playlist.master = true;
            HlsVariant variant;
            variant.bandwidth = integer(attributes.Get("BANDWIDTH"));
            variant.resolution = attributes.Get("RESOLUTION");
            variant.frameRate = decimal(attributes.Get("FRAME-RATE"));
            variant.codecs = attributes.Get("CODECS");
            variant.audioGroup = attributes.Get("AUDIO");
            pendingVariant = std::move(variant);
        } else if (startsWithTag(line, "#EXT-X-MEDIA", rest)) {
            const AttributeList attributes(rest);
            playlist.master = true;
            if (playlist.renditions.size() >= limits.renditions) {
                playlist.cut = true;
                continue;
            }
            HlsRendition rendition;
            rendition.type = attributes.Get("TYPE");
            rendition.groupId = attributes.Get("GROUP-ID");
            rendition.name = attributes.Get("NAME");
            rendition.language = attributes.Get("LANGUAGE");
            if (const std::string_view uri = attributes.Get("URI"); !uri.empty())
                rendition.address = resolve(uri);
            playlist.renditions.push_back(std::move(rendition));
        } else if (startsWithTag(line, "#EXTINF", rest)) {
            pendingDuration = decimal(rest.substr(0, rest.find(',')));
        } else if (startsWithTag(line, "#EXT-X-BYTERANGE", rest)) {
            pendingRange = byteRange(rest);
        } else if (startsWithTag(line, "#EXT-X-MAP", rest)) {
            if (const std::string resolved = resolve(AttributeList(rest).Get("URI")); !resolved.empty() &&
                playlist.initialisation.size() < limits.segments)
                playlist.initialisation.push_back(resolved);
        } else if (startsWithTag(line, "#EXT-X-PART", rest) || startsWithTag(line, "#EXT-X-PRELOAD-HINT", rest)) {
            if (const std::string resolved = resolve(AttributeList(rest).Get("URI")); !resolved.empty()) {
                if (playlist.parts.size() < limits.segments)
                    playlist.parts.push_back(resolved);
                else
                    playlist.cut = true;
            }
        } else if (startsWithTag(line, "#EXT-X-KEY", rest) || startsWithTag(line, "#EXT-X-SESSION-KEY", rest)) {
            const AttributeList attributes(rest);
            const std::string_view method = attributes.Get("METHOD");
            const std::string_view format = attributes.Get("KEYFORMAT");
            const bool identity = format.empty() || format == "identity";
            HlsProtection protection = HlsProtection::None;
            if (method == "AES-128" || (method == "SAMPLE-AES" && identity))
                protection = HlsProtection::Encrypted;
            else if (!method.empty() && method != "NONE")
                protection = HlsProtection::Drm;
            if (protection > playlist.protection)
                playlist.protection = protection;
        } else if (startsWithTag(line, "#EXT-X-ENDLIST", rest)) {
            playlist.endList = true;
        }
    }
    return playlist;
}

} // namespace velmora
