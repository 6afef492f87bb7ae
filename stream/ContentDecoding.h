#pragma once
// A manifest's body as its server encoded it (Content-Encoding gzip, deflate, br or zstd), decoded
// within a bound: at most `maxBytes` out, and at most `maxRatio` times what went in, so a small
// compressed bomb costs no more than a real manifest. zlib, brotli and zstd do the decoding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

struct ContentDecodingLimits {
    std::size_t maxBytes = std::size_t{2} << 20;
    std::size_t maxRatio = 200;
};

// Nothing for an unknown coding, damaged data, or a result past the bounds. "identity" or none gives
// the body as it is (within maxBytes).
std::optional<std::string> DecodeContent(std::string_view coding, std::span<const std::uint8_t> body,
                                         const ContentDecodingLimits& limits = {});

} // namespace velmora
