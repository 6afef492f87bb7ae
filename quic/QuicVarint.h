#pragma once
// QUIC's variable-length integers (RFC 9000 section 16): the first byte's two high bits give the
// length, 1, 2, 4 or 8 bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velmora {

// Reads one integer at `at` and moves `at` past it; nothing when the bytes end first.
inline std::optional<std::uint64_t> ReadQuicVarint(std::span<const std::uint8_t> bytes, std::size_t& at) {
    if (at >= bytes.size())
        return std::nullopt;
    const std::size_t length = std::size_t{1} << (bytes[at] >> 6);
    if (bytes.size() - at < length)
        return std::nullopt;
    std::uint64_t value = bytes[at] & 0x3F;
    for (std::size_t i = 1; i < length; ++i)
        value = value << 8 | bytes[at + i];
    at += length;
    return value;
}

} // namespace velmora
