#pragma once
// An HLS playlist (RFC 8216) read into values: a master playlist's variants and renditions, or a media
// playlist's segments, init section, parts, key method, end and duration. Line-based and hand-written;
// every address is resolved against the playlist's own, and only http(s) addresses are kept. Bounded:
// an overlong line is passed over, and past the limits the rest is dropped (the playlist says so).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

struct HlsVariant { // EXT-X-STREAM-INF
    std::string address;
    std::uint64_t bandwidth = 0;
    std::string resolution; // "1280x720"
    double frameRate = 0;
    std::string codecs;
    std::string audioGroup;
};

struct HlsRendition { // EXT-X-MEDIA
    std::string type;    // AUDIO, VIDEO, SUBTITLES, CLOSED-CAPTIONS
    std::string groupId;
    std::string name;
    std::string language;
    std::string address; // empty when the rendition is carried in the variants themselves
};

struct HlsByteRange {
    std::uint64_t length = 0;
    std::optional<std::uint64_t> offset; // absent: right after the previous range of the same address
};

struct HlsSegment {
    std::string address;
    double duration = 0;
    std::optional<HlsByteRange> range;
};

// How a media playlist's segments are protected, the strongest seen.
enum class HlsProtection {
    None,
    Encrypted, // AES-128, or SAMPLE-AES with the identity key format: ffmpeg fetches the key and plays it
    Drm,       // another key format or method: no plain download plays
};

struct HlsPlaylist {
    bool master = false;
    std::vector<HlsVariant> variants;
    std::vector<HlsRendition> renditions;
    std::vector<HlsSegment> segments;
    std::vector<std::string> parts;      // LL-HLS parts and preload hints: folded like segments
    std::vector<std::string> initialisation; // EXT-X-MAP sections
    HlsProtection protection = HlsProtection::None;
    bool endList = false; // on demand; without it the playlist is live
    double duration = 0;  // of the segments
    bool cut = false;     // a limit was reached and the rest dropped
};

struct HlsLimits {
    std::size_t lineBytes = 64 << 10;
    std::size_t variants = 1024;
    std::size_t renditions = 1024;
    std::size_t segments = 65536;
};

// "#EXTM3U" and then an "#EXT-X-" tag: a plain radio playlist (.m3u) is no stream.
bool LooksLikeHls(std::string_view body);

// Nothing when the text is no HLS playlist or the address it came from is not http(s).
std::optional<HlsPlaylist> ParseHlsPlaylist(std::string_view text, std::string_view address,
                                            const HlsLimits& limits = {});

} // namespace velmora
