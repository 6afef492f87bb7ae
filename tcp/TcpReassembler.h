#pragma once
// One direction of a TCP connection put back in order: segments arrive as captured (out of order,
// repeated, overlapping) and the stream's bytes leave once, in order. Segments ahead of a gap are
// kept until the gap fills, within the connection's limit and the shared budget.
//
// Bytes the capture never had are a known gap, handed on in their place with their exact length, so
// a reader that was passing over them anyway stays in step: the tail of a frame cut short (its IP
// length says how much), and a hole that the peer's acknowledgement shows it received, that the
// limit will not wait for any longer, or that the stream's end leaves unfilled.
//
// Our own rather than libtins' stream follower: that one parses every frame into a PDU tree and
// follows every TCP connection in both directions, keeping the server's media bodies too, which
// would slow the frame path for all traffic. Here only connections that begin with a ClientHello
// are followed, and of the server only its first bytes, up to its hello.

#include "tcp/ByteBudget.h"
#include "tcp/TcpStreamSink.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace velmora {

class TcpReassembler final {
public:

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

    // One segment's payload, with `missing` bytes after it that were sent but not captured. Hands the
    // sink every run of bytes that continues the stream and every gap it settles. A segment ahead of a
    // gap is kept until the gap fills; when it cannot be kept, the gap is settled as lost and the
    // stream goes on. A segment further ahead than the limit is dropped, as a receiver drops what
    // lies past its window.
    void Add(std::uint32_t sequence, std::span<const std::uint8_t> payload, TcpStreamSink& sink,
             std::uint32_t missing = 0);
    // The peer acknowledged every byte before `acknowledgement`: what of them never came is lost.
    void Acknowledged(std::uint32_t acknowledgement, TcpStreamSink& sink);
    // The stream ends (the connection closes, the capture stops): the runs kept ahead of gaps are
    // delivered, the gaps before them settled as lost.
    void Flush(TcpStreamSink& sink);
    // Runs are kept ahead of a gap.
    bool Holding() const { return !ahead_.empty(); }
    std::uint64_t LostBytes() const { return lost_; }

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
    // Delivers the kept runs the stream has reached.
    void deliverKept(TcpStreamSink& sink);
    // Moves the stream to offset `to`: kept runs on the way are delivered, the holes between settled as lost.
    void settleTo(std::uint64_t to, TcpStreamSink& sink);
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
    std::uint64_t lost_ = 0;
};

} // namespace velmora
