// The HLS playlist parser and the MPD reader on any text, under the address of a manifest and under
// bounds small enough that the fuzzer reaches them: nothing read may break the bounds, name a
// non-http(s) address, or name the manifest itself. The content decoders may not pass their bounds
// whatever they are fed. The first byte picks the reader.
#include "stream/ContentDecoding.h"
#include "stream/DashManifest.h"
#include "stream/HlsPlaylist.h"

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string_view>

namespace {

constexpr std::string_view kAddress = "https://cdn.example/v/title/master.m3u8?token=1";

void check(bool holds) {
    if (!holds)
        std::abort();
}

bool web(std::string_view address) {
    return (address.starts_with("http://") || address.starts_with("https://")) && address != kAddress;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 2) {
        static constexpr const char* kCodings[] = {"gzip", "deflate", "br", "zstd", "identity"};
        velmora::ContentDecodingLimits limits;
        limits.maxBytes = 1 << 16;
        limits.maxRatio = 50;
        const auto body = std::span(data + 1, size - 1);
        if (const auto decoded = velmora::DecodeContent(kCodings[(data[0] >> 2) % 5], body, limits))
            check(decoded->size() <= limits.maxBytes && decoded->size() <= std::max<std::size_t>(body.size(), 1) * 50);
        return 0;
    }
    if (data[0] & 1) {
        velmora::HlsLimits limits;
        limits.lineBytes = 512;
        limits.variants = limits.renditions = 8;
        limits.segments = 32;
        const auto playlist = velmora::ParseHlsPlaylist(text, kAddress, limits);
        if (!playlist)
            return 0;
        check(playlist->variants.size() <= 8 && playlist->renditions.size() <= 8 && playlist->segments.size() <= 32 &&
              playlist->parts.size() <= 32);
        for (const auto& variant : playlist->variants)
            check(web(variant.address));
        for (const auto& segment : playlist->segments)
            check(web(segment.address));
        for (const auto& rendition : playlist->renditions)
            check(rendition.address.empty() || web(rendition.address));
    } else {
        velmora::DashLimits limits;
        limits.representations = 8;
        limits.addresses = 32;
        const auto manifest = velmora::ReadDashManifest(text, kAddress, limits);
        if (!manifest)
            return 0;
        std::size_t representations = 0, addresses = 0;
        for (const auto& set : manifest->sets) {
            for (const auto& representation : set.representations) {
                ++representations;
                addresses += representation.addresses.size() + representation.initialisation.size();
                for (const auto& address : representation.addresses)
                    check(web(address));
                for (const auto& address : representation.initialisation)
                    check(web(address));
                for (const auto& pattern : representation.patterns)
                    check(pattern.Prefix().starts_with("http://") || pattern.Prefix().starts_with("https://"));
            }
        }
        check(representations <= 8 && addresses <= 32);
    }
    return 0;
}
