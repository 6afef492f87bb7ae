#pragma once
// The bytes of one QUIC stream (or one level's CRYPTO stream) in order, from frames that carry them
// at offsets, possibly out of order, repeated or overlapping. What has arrived in order waits in
// Bytes() for its reader; pieces ahead of it wait until the gap fills. Everything held is taken
// from the connection's budget, and a piece too far ahead is refused.

#include "tcp/BoundedBuffer.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace velmora {

class QuicStreamAssembler final {
public:
    static constexpr std::uint64_t kMaxAhead = 256 << 10; // how far past the gap a piece may start
    static constexpr std::size_t kMaxPieces = 64;

    explicit QuicStreamAssembler(ByteBudget& budget) : budget_(budget), ready_(budget) {}
    ~QuicStreamAssembler() { dropPieces(); }
    QuicStreamAssembler(const QuicStreamAssembler&) = delete;
    QuicStreamAssembler& operator=(const QuicStreamAssembler&) = delete;

    // False when the bytes cannot be kept (the budget, or a piece too far ahead).
    bool Add(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    std::span<const std::uint8_t> Bytes() const { return ready_.Bytes(); }
    void Consume(std::size_t n) { ready_.Consume(n); }
    // The stream offset of Bytes()' first byte.
    std::uint64_t ReadOffset() const { return end_ - ready_.size(); }
    // Nothing is read from here on: what is held is given back, and Add ignores what comes.
    void Stop();
    bool Stopped() const { return stopped_; }

private:
    bool append(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    void dropPieces();

    ByteBudget& budget_;
    BoundedBuffer ready_;
    std::uint64_t end_ = 0; // offset just past the bytes that arrived in order
    std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;
    bool stopped_ = false;
};

} // namespace velmora
