#pragma once
// The streams that the manifests read so far describe, and the requests they take in. The manifest a
// player started from (an HLS master, a media playlist fetched without one, a DASH MPD) is one stream;
// its media playlists, init sections, segments and parts are folded into it and never listed alone.
// Exact addresses are indexed; DASH templates are patterns tested against later requests, so a live
// stream costs no more as it runs. Bounded: the oldest streams give way.

#include "stream/AddressPattern.h"
#include "stream/DashManifest.h"
#include "stream/HlsPlaylist.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace velmora {

struct StreamRendition {
    std::string label;     // "720p", "800k", "音频 en"
    std::string address;   // its media playlist (HLS), or empty
    std::uint64_t bandwidth = 0;
    bool audio = false;
    bool played = false;   // a segment of it was fetched
    std::string resolution; // "1280x720", when the manifest says
    std::string codecs;
    std::string name;       // of an audio rendition
    std::string language;
};

struct StreamInfo {
    enum class Kind { Hls, Dash };
    Kind kind = Kind::Hls;
    std::string address; // the manifest the player started from: its row
    std::vector<StreamRendition> renditions;
    std::uint64_t segments = 0;
    std::uint64_t segmentBytes = 0;
    double duration = 0;
    bool live = false;
    bool encrypted = false;
    bool drm = false;
    std::vector<std::string> folded; // the first requests taken in, for the data window
    static constexpr std::size_t kMaxFoldedShown = 64;
};

class StreamRegistry final {
public:
    struct Limits {
        std::size_t streams = 4096;
        std::size_t addresses = 65536;
    };

    StreamRegistry() : StreamRegistry(Limits{}) {}
    explicit StreamRegistry(Limits limits) : limits_(limits) {}

    // A manifest's body, read from the answer to `address`. Returns the stream it started or filled in.
    const StreamInfo* HlsRead(std::string_view address, const HlsPlaylist& playlist);
    const StreamInfo* DashRead(std::string_view address, const DashManifest& manifest);

    // The stream a manifest names `address` in, when one does (the stream's own manifest included).
    const StreamInfo* Owner(std::string_view address) const;
    // Whether any stream names an address on the host of `address` (as frame text): most addresses'
    // hosts serve no stream, and this tells so without converting or looking up the whole address.
    bool MayOwn(std::u16string_view address) const;
    // A fetch of an address a stream takes in, with the answer's size when known: its rendition is
    // marked played and its segments counted. Returns the stream, or nothing when no stream takes it.
    const StreamInfo* Fetched(std::string_view address, std::optional<std::uint64_t> bytes);

    // What a stream's row says of it ("说明").
    static std::u16string Describe(const StreamInfo& stream);

    void Reset();
    std::size_t size() const { return streams_.size(); }

private:
    enum class Role : std::uint8_t { Manifest, Playlist, Init, Segment };
    struct Place {
        std::uint64_t stream = 0; // serial of the stream
        int rendition = -1;
        Role role = Role::Segment;
    };
    struct Pattern {
        AddressPattern pattern;
        Place place;
    };

    StreamInfo* find(std::uint64_t serial);
    const Place* placeOf(std::string_view address) const;
    StreamInfo& start(std::string_view address, StreamInfo::Kind kind);
    void index(std::string address, Place place);
    void dropOldest();

    // Looked up by views of the addresses: a segment fetched costs no copy of its address.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
        std::size_t operator()(std::u16string_view text) const { return std::hash<std::u16string_view>{}(text); }
    };

    Limits limits_;
    std::deque<std::pair<std::uint64_t, StreamInfo>> streams_; // oldest first
    std::uint64_t nextSerial_ = 1;
    std::unordered_map<std::string, Place, TextHash, std::equal_to<>> addresses_;
    std::unordered_set<std::u16string, TextHash, std::equal_to<>> hosts_; // of every address and pattern indexed (never shrinks until Reset)
    std::string lastHost_; // the host indexed last: a playlist's segments share one
    std::vector<Pattern> patterns_;
};

} // namespace velmora
