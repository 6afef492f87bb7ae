#pragma once
// Network byte order, for the crafted captures' headers and frames.
#include <cstdint>
#include <vector>

namespace velmora::test {

inline void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void put24(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    put16(out, v);
}
inline void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put16(out, v >> 16);
    put16(out, v);
}

} // namespace velmora::test
