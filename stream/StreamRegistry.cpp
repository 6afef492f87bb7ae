#include "stream/StreamRegistry.h"

#include "capture/Gbk.h"

#include <algorithm>
#include <charconv>

namespace velmora {

namespace {

// "host[:port]" of an address, as it stands.
template <typename Char>
std::basic_string_view<Char> hostPart(std::basic_string_view<Char> address) {
    const std::size_t scheme = address.find(Char(':'));
    if (scheme == std::basic_string_view<Char>::npos || address.substr(scheme, 3).size() < 3 ||
        address[scheme + 1] != Char('/') || address[scheme + 2] != Char('/'))
        return {};
    const std::basic_string_view<Char> rest = address.substr(scheme + 3);
    std::size_t end = 0;
    while (end < rest.size() && rest[end] != Char('/') && rest[end] != Char('?') && rest[end] != Char('#'))
        ++end;
    return rest.substr(0, end);
}

std::u16string hostKey(std::string_view address) {
    const std::string_view host = hostPart(address);
    return std::u16string(host.begin(), host.end()); // hosts are ASCII (IDNs travel as punycode)
}

std::string hlsLabel(const HlsVariant& variant) {
    if (const std::size_t x = variant.resolution.find('x'); x != std::string::npos)
        return variant.resolution.substr(x + 1) + "p";
    return std::to_string(variant.bandwidth / 1000) + "k";
}

std::string dashLabel(const DashRepresentation& r) {
    if (r.kind == "audio")
        return "音频 " + std::to_string(r.bandwidth / 1000) + "k";
    if (r.height > 0)
        return std::to_string(r.height) + "p";
    return std::to_string(r.bandwidth / 1000) + "k";
}

// A row's note is written again at every segment fetched: built in UTF-16 as it goes, the ASCII
// widened as it is, only names from the manifest converted.
void append(std::u16string& text, std::string_view utf8Text) {
    if (std::any_of(utf8Text.begin(), utf8Text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        text += utf8::ToU16(utf8Text);
    else
        text.append(utf8Text.begin(), utf8Text.end());
}

void appendNumber(std::u16string& text, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

// As printf's "%.1f MB" and "%.0f KB" write it.
void appendSize(std::u16string& text, std::uint64_t bytes) {
    char digits[48];
    const bool mega = bytes >= 1000 * 1000;
    const auto end = std::to_chars(digits, digits + sizeof digits, static_cast<double>(bytes) / (mega ? 1e6 : 1e3),
                                   std::chars_format::fixed, mega ? 1 : 0).ptr;
    text.append(digits, end);
    text += mega ? u" MB" : u" KB";
}

} // namespace

void StreamRegistry::Reset() {
    streams_.clear();
    addresses_.clear();
    patterns_.clear();
    hosts_.clear();
    lastHost_.clear();
}

bool StreamRegistry::MayOwn(std::u16string_view address) const {
    return !hosts_.empty() && hosts_.contains(hostPart(address));
}

StreamInfo* StreamRegistry::find(std::uint64_t serial) {
    for (auto& [s, stream] : streams_)
        if (s == serial)
            return &stream;
    return nullptr;
}

const StreamRegistry::Place* StreamRegistry::placeOf(std::string_view address) const {
    if (const auto it = addresses_.find(address); it != addresses_.end())
        return &it->second;
    for (const Pattern& p : patterns_)
        if (p.pattern.Matches(address))
            return &p.place;
    return nullptr;
}

void StreamRegistry::index(std::string address, Place place) {
    if (addresses_.size() >= limits_.addresses && !addresses_.count(address))
        return; // past the bound the rest goes unfolded, as without a manifest
    if (const std::string_view host = hostPart(std::string_view(address)); host != lastHost_ && hosts_.size() < limits_.addresses) {
        hosts_.insert(hostKey(address));
        lastHost_ = host;
    }
    addresses_.try_emplace(std::move(address), place);
}

void StreamRegistry::dropOldest() {
    const std::uint64_t serial = streams_.front().first;
    streams_.pop_front();
    std::erase_if(addresses_, [serial](const auto& entry) { return entry.second.stream == serial; });
    std::erase_if(patterns_, [serial](const Pattern& p) { return p.place.stream == serial; });
}

StreamInfo& StreamRegistry::start(std::string_view address, StreamInfo::Kind kind) {
    if (streams_.size() >= limits_.streams)
        dropOldest();
    const std::uint64_t serial = nextSerial_++;
    StreamInfo& stream = streams_.emplace_back(serial, StreamInfo{}).second;
    stream.kind = kind;
    stream.address = address;
    index(std::string(address), {serial, -1, Role::Manifest});
    return stream;
}

const StreamInfo* StreamRegistry::HlsRead(std::string_view address, const HlsPlaylist& playlist) {
    const Place* known = placeOf(address);
    if (known && known->role != Role::Manifest && known->role != Role::Playlist)
        return nullptr; // a segment that reads like a playlist names nothing
    std::uint64_t s = known ? known->stream : 0;
    StreamInfo* stream = s ? find(s) : nullptr;
    if (!stream) {
        stream = &start(address, StreamInfo::Kind::Hls);
        s = streams_.back().first;
    }
    if (playlist.master) {
        for (const HlsVariant& variant : playlist.variants) {
            const int rendition = static_cast<int>(stream->renditions.size());
            stream->renditions.push_back({hlsLabel(variant), variant.address, variant.bandwidth, false, false,
                                          variant.resolution, variant.codecs, {}, {}});
            index(variant.address, {s, rendition, Role::Playlist});
        }
        for (const HlsRendition& media : playlist.renditions) {
            if (media.address.empty())
                continue;
            const int rendition = static_cast<int>(stream->renditions.size());
            const bool audio = media.type == "AUDIO";
            stream->renditions.push_back({(audio ? "音频 " : "") + (media.language.empty() ? media.name : media.language),
                                          media.address, 0, audio, false, {}, {}, media.name, media.language});
            index(media.address, {s, rendition, Role::Playlist});
        }
        return stream;
    }
    // A media playlist: of a rendition the master named, or a stream of its own.
    const int rendition = known && known->role == Role::Playlist ? known->rendition : -1;
    for (const HlsSegment& segment : playlist.segments)
        index(segment.address, {s, rendition, Role::Segment});
    for (const std::string& part : playlist.parts)
        index(part, {s, rendition, Role::Segment});
    for (const std::string& init : playlist.initialisation)
        index(init, {s, rendition, Role::Init});
    if (rendition < 0 || !stream->renditions[static_cast<std::size_t>(rendition)].audio)
        stream->duration = std::max(stream->duration, playlist.duration);
    stream->live = stream->live || !playlist.endList;
    stream->encrypted = stream->encrypted || playlist.protection == HlsProtection::Encrypted;
    stream->drm = stream->drm || playlist.protection == HlsProtection::Drm;
    return stream;
}

const StreamInfo* StreamRegistry::DashRead(std::string_view address, const DashManifest& manifest) {
    if (const Place* known = placeOf(address); known && known->role != Role::Manifest)
        return nullptr;
    if (const Place* known = placeOf(address))
        if (StreamInfo* old = find(known->stream))
            return old; // read again (a live MPD is fetched over and over): its addresses are known
    StreamInfo& stream = start(address, StreamInfo::Kind::Dash);
    const std::uint64_t s = streams_.back().first;
    stream.live = manifest.live;
    stream.duration = manifest.duration;
    stream.drm = manifest.drm;
    for (const DashAdaptationSet& set : manifest.sets) {
        for (const DashRepresentation& r : set.representations) {
            const int rendition = static_cast<int>(stream.renditions.size());
            stream.renditions.push_back({dashLabel(r), {}, r.bandwidth, r.kind == "audio", false,
                                         r.width > 0 ? std::to_string(r.width) + "x" + std::to_string(r.height) : "",
                                         r.codecs, r.id, {}});
            for (const std::string& a : r.addresses)
                index(a, {s, rendition, Role::Segment});
            for (const std::string& a : r.initialisation)
                index(a, {s, rendition, Role::Init});
            for (const AddressPattern& pattern : r.patterns)
                if (patterns_.size() < limits_.addresses) {
                    hosts_.insert(hostKey(pattern.Prefix()));
                    patterns_.push_back({pattern, {s, rendition, Role::Segment}});
                }
            for (const AddressPattern& pattern : r.initPatterns)
                if (patterns_.size() < limits_.addresses) {
                    hosts_.insert(hostKey(pattern.Prefix()));
                    patterns_.push_back({pattern, {s, rendition, Role::Init}});
                }
        }
    }
    return &stream;
}

const StreamInfo* StreamRegistry::Owner(std::string_view address) const {
    const Place* place = placeOf(address);
    if (!place)
        return nullptr;
    for (const auto& [s, stream] : streams_)
        if (s == place->stream)
            return &stream;
    return nullptr;
}

const StreamInfo* StreamRegistry::Fetched(std::string_view address, std::optional<std::uint64_t> bytes) {
    const Place* place = placeOf(address);
    if (!place)
        return nullptr;
    StreamInfo* stream = find(place->stream);
    if (!stream)
        return nullptr;
    if (place->role != Role::Manifest && stream->folded.size() < StreamInfo::kMaxFoldedShown)
        stream->folded.emplace_back(address);
    if (place->role == Role::Segment) {
        ++stream->segments;
        stream->segmentBytes += bytes.value_or(0);
        if (place->rendition >= 0)
            stream->renditions[static_cast<std::size_t>(place->rendition)].played = true;
    }
    return stream;
}

std::u16string StreamRegistry::Describe(const StreamInfo& stream) {
    std::u16string text = stream.kind == StreamInfo::Kind::Hls ? u"HLS" : u"DASH";
    text.reserve(128);
    const auto video = std::count_if(stream.renditions.begin(), stream.renditions.end(),
                                     [](const StreamRendition& r) { return !r.audio; });
    if (video > 0) {
        text += u" · ";
        appendNumber(text, static_cast<std::uint64_t>(video));
        text += u" 档 (";
        bool first = true;
        for (const StreamRendition& r : stream.renditions)
            if (!r.audio) {
                text += first ? u"" : u"/";
                append(text, r.label);
                first = false;
            }
        text += u")";
    }
    bool first = true;
    for (const StreamRendition& r : stream.renditions)
        if (r.played) {
            text += first ? u" · 已播 " : u"/";
            append(text, r.label);
            first = false;
        }
    if (stream.live) {
        text += u" · 直播";
    } else if (stream.duration > 0) {
        text += u" · ";
        appendNumber(text, static_cast<std::uint64_t>(static_cast<long long>(stream.duration + 0.5)));
        text += u" 秒";
    }
    if (stream.segments > 0) {
        text += u" · ";
        appendNumber(text, stream.segments);
        text += u" 段 ";
        appendSize(text, stream.segmentBytes);
    }
    if (stream.drm)
        text += u" · DRM";
    else if (stream.encrypted)
        text += u" · 加密";
    return text;
}

} // namespace velmora
