#pragma once
// Where one direction of a reassembled TCP stream goes: its bytes in order, and in their place the
// gaps the capture left in it, with their exact length.

#include <cstdint>
#include <span>

namespace velmora {

class TcpStreamSink {
public:
    virtual void Bytes(std::span<const std::uint8_t> bytes) = 0;
    // `n` bytes of the stream that were never captured.
    virtual void Lost(std::uint64_t n) = 0;

protected:
    ~TcpStreamSink() = default;
};

} // namespace velmora
