#pragma once
// Whether a frame can hold an address at all. Every address needs "://" and every request line
// "GET ", all ASCII, which the text rendering keeps as it is: a frame without either cannot give a
// row, so it need not be rendered. Most frames hold neither, so this one pass over the bytes decides
// the cost of the frames that give nothing.

#include <cstdint>
#include <span>

namespace velmora {

struct FrameMarkers {
    bool scheme = false; // "://"
    bool get = false;    // "GET "
    bool any() const { return scheme || get; }
};

FrameMarkers FindFrameMarkers(std::span<const std::uint8_t> bytes);

} // namespace velmora
