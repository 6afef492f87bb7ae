#pragma once
// What came of the probe's stream since the last reset.

#include <cstdint>

namespace velmora::probe {

struct ProbeStats {
    std::uint64_t records = 0;        // checked and handed on
    std::uint64_t malformed = 0;      // records that broke the stream (reading stops at the first)
    std::uint64_t calls = 0;          // TLS calls whose bytes began to arrive
    std::uint64_t programs = 0;       // processes the helper named
    std::uint64_t connections = 0;    // connections read from their first request
    std::uint64_t droppedAtGaps = 0;  // a call or a chunk of one was lost: the rest was not read
    std::uint64_t droppedCut = 0;     // a call moved more than the helper reports: the rest was not read
    std::uint64_t beganBefore = 0;    // already running when the probe attached: not read
    std::uint64_t notHttp = 0;        // their bytes could not be read as HTTP
    std::uint64_t evicted = 0;        // given up for room, the idlest first
};

} // namespace velmora::probe
