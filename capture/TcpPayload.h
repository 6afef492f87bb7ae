#pragma once
// Where a frame's TCP payload begins. The request-line search needs it because the byte before a
// request's "GET" is the last byte of the TCP header: on today's clients a random timestamp byte,
// which renders as "·" only by chance.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velmora {

// libpcap link types the locator understands (values as libpcap reports them on Linux).
namespace linktype {
inline constexpr int kNull = 0;         // BSD loopback, family in host byte order
inline constexpr int kEthernet = 1;     // with 802.1Q / 802.1ad tags
inline constexpr int kRaw = 12;         // raw IPv4 or IPv6
inline constexpr int kRawAlt = 14;      // raw IP as some systems number it
inline constexpr int kLoop = 108;       // OpenBSD loopback, family in network byte order
inline constexpr int kLinuxSll = 113;   // Linux cooked capture v1
inline constexpr int kIpv4 = 228;
inline constexpr int kIpv6 = 229;
inline constexpr int kLinuxSll2 = 276;  // Linux cooked capture v2
} // namespace linktype

// Where the IP header, the TCP header and the TCP payload of a segment lie in a frame.
struct TcpSegmentLocation {
    std::size_t ipAt = 0; // IPv4 or IPv6 header
    bool ipv6 = false;
    std::size_t tcpAt = 0;     // TCP header
    std::size_t payloadAt = 0; // TCP payload
    std::size_t end = 0;       // end of the payload as the IP length says (never past the frame)
    std::size_t sentEnd = 0;   // where the IP length says it ends: past `end` when the frame was cut short
};

std::optional<TcpSegmentLocation> LocateTcpSegment(std::span<const std::uint8_t> frame, int linkType);

// The same for a UDP datagram: tcpAt is then the UDP header, end the end of the datagram as its own
// length says.
std::optional<TcpSegmentLocation> LocateUdpDatagram(std::span<const std::uint8_t> frame, int linkType);

// Byte offset of the TCP payload of an unfragmented IPv4 or IPv6 TCP segment, or nothing when the
// frame is not one (or is cut short before the payload).
std::optional<std::size_t> TcpPayloadOffset(std::span<const std::uint8_t> frame, int linkType);

} // namespace velmora
