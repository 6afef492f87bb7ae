#include "tcp/TcpSegment.h"

#include "capture/TcpPayload.h"

namespace velmora {

namespace {
constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kAck = 0x10;
} // namespace

bool ReadTcpSegment(std::span<const std::uint8_t> frame, int linkType, TcpSegment& segment) {
    const auto at = LocateTcpSegment(frame, linkType);
    if (!at)
        return false;
    segment.addressBytes = at->ipv6 ? 16 : 4;
    segment.source = frame.data() + at->ipAt + (at->ipv6 ? 8 : 12);
    segment.destination = segment.source + segment.addressBytes;
    const std::uint8_t* tcp = frame.data() + at->tcpAt;
    segment.sourcePort = static_cast<std::uint16_t>(tcp[0] << 8 | tcp[1]);
    segment.destinationPort = static_cast<std::uint16_t>(tcp[2] << 8 | tcp[3]);
    segment.sequence = std::uint32_t{tcp[4]} << 24 | tcp[5] << 16 | tcp[6] << 8 | tcp[7];
    segment.acknowledgement = std::uint32_t{tcp[8]} << 24 | tcp[9] << 16 | tcp[10] << 8 | tcp[11];
    segment.ack = tcp[13] & kAck;
    segment.fin = tcp[13] & kFin;
    segment.syn = tcp[13] & kSyn;
    segment.rst = tcp[13] & kRst;
    segment.payload = frame.subspan(at->payloadAt, at->end - at->payloadAt);
    segment.missing = static_cast<std::uint32_t>(at->sentEnd - at->end);
    return true;
}

} // namespace velmora
