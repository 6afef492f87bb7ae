#pragma once
// The parts of a TCP segment that the connection readers need, read once per frame.

#include <cstdint>
#include <span>

namespace velmora {

struct TcpSegment {
    const std::uint8_t* source = nullptr; // the addresses, in the frame: 4 bytes (IPv4) or 16 (IPv6)
    const std::uint8_t* destination = nullptr;
    std::uint8_t addressBytes = 4;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0; // valid when ack is set
    bool syn = false, ack = false, fin = false, rst = false;
    std::span<const std::uint8_t> payload;
    std::uint32_t missing = 0; // payload bytes sent after `payload` but not captured (the frame was cut short)
};

// Reads the segment out of a frame; nothing for frames that are not TCP over IPv4 or IPv6.
bool ReadTcpSegment(std::span<const std::uint8_t> frame, int linkType, TcpSegment& segment);

} // namespace velmora
