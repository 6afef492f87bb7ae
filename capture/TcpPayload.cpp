#include "capture/TcpPayload.h"

#include <algorithm>

namespace velmora {
namespace {

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;

std::uint16_t be16(std::span<const std::uint8_t> f, std::size_t at) {
    return static_cast<std::uint16_t>(f[at] << 8 | f[at + 1]);
}

using Location = std::optional<TcpSegmentLocation>;

// The transport header at `at`: TCP (its header length) or UDP (8 bytes, its own length).
Location transport(std::span<const std::uint8_t> f, std::uint8_t protocol, std::size_t ipAt, bool ipv6, std::size_t at,
                   std::size_t sentEnd) {
    const std::size_t end = std::min(f.size(), sentEnd);
    if (protocol == kProtocolUdp) {
        const std::size_t length = at + 8 <= end ? be16(f, at + 4) : 0;
        if (length < 8)
            return std::nullopt;
        return TcpSegmentLocation{ipAt, ipv6, at, at + 8, std::min(end, at + length), std::min(sentEnd, at + length)};
    }
    if (at + 20 > end)
        return std::nullopt;
    const std::size_t headerLength = static_cast<std::size_t>(f[at + 12] >> 4) * 4;
    if (headerLength < 20 || at + headerLength > end)
        return std::nullopt;
    return TcpSegmentLocation{ipAt, ipv6, at, at + headerLength, end, sentEnd};
}

Location ipv4(std::span<const std::uint8_t> f, std::uint8_t protocol, std::size_t at) {
    if (at + 20 > f.size() || (f[at] >> 4) != 4)
        return std::nullopt;
    const std::size_t headerLength = static_cast<std::size_t>(f[at] & 0x0F) * 4;
    const std::size_t totalLength = be16(f, at + 2);
    const bool fragment = (be16(f, at + 6) & 0x1FFF) != 0;
    if (headerLength < 20 || fragment || f[at + 9] != protocol || totalLength < headerLength)
        return std::nullopt;
    // Ethernet pads short frames; the IP length says where the segment really ends.
    return transport(f, protocol, at, false, at + headerLength, at + totalLength);
}

Location ipv6(std::span<const std::uint8_t> f, std::uint8_t protocol, std::size_t at) {
    if (at + 40 > f.size() || (f[at] >> 4) != 6)
        return std::nullopt;
    const std::size_t sentEnd = at + 40 + be16(f, at + 4);
    const std::size_t end = std::min(f.size(), sentEnd);
    std::uint8_t next = f[at + 6];
    std::size_t pos = at + 40;
    for (int hops = 0; hops < 8; ++hops) {
        if (next == protocol)
            return transport(f, protocol, at, true, pos, sentEnd);
        if (pos + 8 > end)
            return std::nullopt;
        if (next == 0 || next == 43 || next == 60) { // hop-by-hop, routing, destination options
            const std::size_t length = (std::size_t{f[pos + 1]} + 1) * 8;
            next = f[pos];
            pos += length;
        } else if (next == 44) { // fragment header: only the first fragment holds the transport header
            if ((be16(f, pos + 2) & 0xFFF8) != 0)
                return std::nullopt;
            next = f[pos];
            pos += 8;
        } else {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

Location byEtherType(std::span<const std::uint8_t> f, std::uint8_t protocol, std::uint16_t type, std::size_t at) {
    if (type == kEtherIpv4)
        return ipv4(f, protocol, at);
    if (type == kEtherIpv6)
        return ipv6(f, protocol, at);
    return std::nullopt;
}

Location byVersion(std::span<const std::uint8_t> f, std::uint8_t protocol, std::size_t at) {
    if (at >= f.size())
        return std::nullopt;
    return (f[at] >> 4) == 4 ? ipv4(f, protocol, at) : ipv6(f, protocol, at);
}

Location byAddressFamily(std::span<const std::uint8_t> f, std::uint8_t protocol, std::uint32_t family) {
    if (family == 2)
        return ipv4(f, protocol, 4);
    if (family == 24 || family == 28 || family == 30) // AF_INET6 on the BSDs and macOS
        return ipv6(f, protocol, 4);
    return std::nullopt;
}

Location locate(std::span<const std::uint8_t> f, int linkType, std::uint8_t protocol) {
    switch (linkType) {
    case linktype::kEthernet: {
        if (f.size() < 14)
            return std::nullopt;
        std::size_t at = 12;
        std::uint16_t type = be16(f, at);
        for (int tags = 0; (type == 0x8100 || type == 0x88A8 || type == 0x9100) && tags < 4; ++tags) {
            at += 4;
            if (at + 2 > f.size())
                return std::nullopt;
            type = be16(f, at);
        }
        return byEtherType(f, protocol, type, at + 2);
    }
    case linktype::kLinuxSll:
        if (f.size() < 16)
            return std::nullopt;
        return byEtherType(f, protocol, be16(f, 14), 16);
    case linktype::kLinuxSll2:
        if (f.size() < 20)
            return std::nullopt;
        return byEtherType(f, protocol, be16(f, 0), 20);
    case linktype::kRaw:
    case linktype::kRawAlt:
    case linktype::kIpv4:
    case linktype::kIpv6:
        return byVersion(f, protocol, 0);
    case linktype::kNull:
    case linktype::kLoop: {
        if (f.size() < 4)
            return std::nullopt;
        const std::uint32_t big = std::uint32_t{f[0]} << 24 | f[1] << 16 | f[2] << 8 | f[3];
        const std::uint32_t little = std::uint32_t{f[3]} << 24 | f[2] << 16 | f[1] << 8 | f[0];
        // The loopback header's byte order is the writer's, so accept either.
        auto found = byAddressFamily(f, protocol, big);
        return found ? found : byAddressFamily(f, protocol, little);
    }
    default:
        return std::nullopt;
    }
}

} // namespace

Location LocateTcpSegment(std::span<const std::uint8_t> frame, int linkType) {
    return locate(frame, linkType, kProtocolTcp);
}

Location LocateUdpDatagram(std::span<const std::uint8_t> frame, int linkType) {
    return locate(frame, linkType, kProtocolUdp);
}

std::optional<std::size_t> TcpPayloadOffset(std::span<const std::uint8_t> frame, int linkType) {
    const Location found = LocateTcpSegment(frame, linkType);
    if (!found)
        return std::nullopt;
    return found->payloadAt;
}

} // namespace velmora
