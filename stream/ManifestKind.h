#pragma once
// Whether an answer may be a manifest whose body is worth reading: by the HLS or DASH media types, or,
// when the type is missing or generic, by a path ending in .m3u8 or .mpd. The body then decides
// (LooksLikeHls, LooksLikeDash).

#include <cstddef>
#include <string_view>

namespace velmora {

// The most of a manifest's body that is kept.
inline constexpr std::size_t kMaxManifestBytes = std::size_t{2} << 20;

// `mediaType` lower case without parameters, `address` as requested.
bool MayBeManifest(std::string_view mediaType, std::string_view address);

} // namespace velmora
