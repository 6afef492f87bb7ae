#pragma once
// One frame as the capture thread hands it to the consumer.

#include "capture/FrameMarkers.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace velmora {

struct CapturedFrame {
    int linkType = 1;                      // libpcap link type (DLT_*), see velmora::linktype
    std::chrono::microseconds timestamp{}; // since the Unix epoch
    std::uint32_t wireLength = 0;          // the frame's length on the wire; bytes may hold less
    std::vector<std::uint8_t> bytes;       // at most the snap length, never more than 15000
    FrameMarkers markers;                  // of `bytes`, found on the capture thread while they are hot
};

} // namespace velmora
