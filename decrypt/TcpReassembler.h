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

    // What one kept segment costs besides its bytes: its map node, the node's key and vector, and the
    // allocator's words around both blocks.
    static constexpr std::size_t kSegmentOverhead = 112;
    // Runs of bytes kept apart ahead of gaps. A segment that continues a run joins it, so only a
    // stream with a hole between every few bytes (or sent backwards) comes near it.
    static constexpr std::size_t kMaxHeldSegments = 4096;

    TcpReassembler(ByteBudget& budget, std::size_t limit) : budget_(budget), limit_(limit) {}
    ~TcpReassembler() { clear(); }
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    // The sequence number of the stream's first byte.
    void Start(std::uint32_t sequence);
    bool Started() const { return started_; }

    // One segment's payload. Calls `deliver` for every run of bytes that continues the stream.
    // Returns false when the stream broke: a segment ahead of a gap could not be kept. A segment
    // further ahead than the limit is dropped, as a receiver drops what lies past its window.
    bool Add(std::uint32_t sequence, std::span<const std::uint8_t> payload, const Deliver& deliver);

    // Follows the stream's sequence numbers without keeping or delivering its bytes.
    void Track(std::uint32_t sequence, std::size_t length);
    // Whether `sequence` is where the stream stands now: the next byte expected, or the one after it
    // (a RST after the sender's FIN). A RST or FIN elsewhere is not the peer's.
    bool AtNext(std::uint32_t sequence) const;
    // Whether `sequence` belongs to this stream: within what was delivered, or ahead within the limit.
    bool Within(std::uint32_t sequence) const;
    std::uint32_t NextSequence() const { return nextSequence_; }
    std::uint32_t FirstSequence() const { return firstSequence_; }

    std::uint64_t Delivered() const { return delivered_; }
    std::size_t Held() const { return held_; } // what the kept segments cost
    std::size_t HeldSegments() const { return ahead_.size(); }

private:
    using Segments = std::map<std::uint64_t, std::vector<std::uint8_t>>; // by stream offset

    bool keep(std::uint64_t at, std::span<const std::uint8_t> payload);
    // Appends to a kept run, its charge following its capacity.
    bool grow(std::vector<std::uint8_t>& run, std::span<const std::uint8_t> bytes);
    void drop(Segments::iterator it);
    static std::size_t cost(std::size_t capacity) { return kSegmentOverhead + capacity; }
    void clear();

    ByteBudget& budget_;
    std::size_t limit_;
    bool started_ = false;
    std::uint32_t firstSequence_ = 0;
    std::uint32_t nextSequence_ = 0;
    std::uint64_t delivered_ = 0; // stream offset of nextSequence_
    Segments ahead_;
    std::size_t held_ = 0;
};

} // namespace velmora
