#pragma once
// One direction of a TCP connection put back in order: segments arrive as captured (out of order,
// repeated, overlapping) and the stream's bytes leave once, in order. Segments ahead of a gap are
// kept until the gap fills, within the connection's limit and the shared budget; a gap that does
// not fill within them breaks the stream.
//
// Our own rather than libtins' stream follower: that one parses every frame into a PDU tree and
// follows every TCP connection in both directions, keeping the server's media bodies too, which
// would slow the frame path for all traffic. Here only connections that begin with a ClientHello
// are followed, and of the server only its first bytes, up to its hello.

#include "decrypt/ByteBudget.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

namespace velmora {

class TcpReassembler final {
public:
    using Deliver = std::function<void(std::span<const std::uint8_t>)>;

    TcpReassembler(ByteBudget& budget, std::size_t limit) : budget_(budget), limit_(limit) {}
    ~TcpReassembler() { clear(); }
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    // The sequence number of the stream's first byte.
    void Start(std::uint32_t sequence);
    bool Started() const { return started_; }

    // One segment's payload. Calls `deliver` for every run of bytes that continues the stream.
    // Returns false when the stream broke: a segment ahead of a gap could not be kept.
    bool Add(std::uint32_t sequence, std::span<const std::uint8_t> payload, const Deliver& deliver);

    std::uint64_t Delivered() const { return delivered_; }
    std::size_t Held() const { return held_; }

private:
    void clear();

    ByteBudget& budget_;
    std::size_t limit_;
    bool started_ = false;
    std::uint32_t nextSequence_ = 0;
    std::uint64_t delivered_ = 0;                              // stream offset of nextSequence_
    std::map<std::uint64_t, std::vector<std::uint8_t>> ahead_; // by stream offset
    std::size_t held_ = 0;
};

} // namespace velmora
