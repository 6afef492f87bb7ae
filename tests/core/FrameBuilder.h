#pragma once
// Builds frames for the tests: Ethernet (optionally VLAN-tagged), Linux cooked, raw IP and BSD
// loopback framings of an IPv4 or IPv6 TCP segment carrying a given payload.

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::test {

enum class Framing { Ethernet, EthernetVlan, LinuxSll, LinuxSll2, RawIp, BsdLoopback };

inline void put16(std::vector<std::uint8_t>& f, std::uint16_t v) {
    f.push_back(static_cast<std::uint8_t>(v >> 8));
    f.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

// `lastTcpHeaderByte` is the byte just before the payload (a TCP timestamp byte on real clients).
inline std::vector<std::uint8_t> TcpFrame(const std::string& payload, Framing framing = Framing::Ethernet,
                                          bool ipv6 = false, std::uint8_t lastTcpHeaderByte = 0x5A) {
    std::vector<std::uint8_t> f;
    const std::uint16_t etherType = ipv6 ? 0x86DD : 0x0800;
    switch (framing) {
    case Framing::Ethernet:
    case Framing::EthernetVlan:
        f.insert(f.end(), {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2});
        if (framing == Framing::EthernetVlan) {
            put16(f, 0x88A8), put16(f, 10);
            put16(f, 0x8100), put16(f, 20);
        }
        put16(f, etherType);
        break;
    case Framing::LinuxSll:
        f.insert(f.end(), {0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1, 0, 0});
        put16(f, etherType);
        break;
    case Framing::LinuxSll2:
        put16(f, etherType);
        f.insert(f.end(), {0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 6, 2, 0, 0, 0, 0, 1});
        break;
    case Framing::RawIp:
        break;
    case Framing::BsdLoopback:
        f.insert(f.end(), {static_cast<std::uint8_t>(ipv6 ? 30 : 2), 0, 0, 0});
        break;
    }
    const std::size_t tcpLength = 32 + payload.size();
    if (ipv6) {
        f.insert(f.end(), {0x60, 0, 0, 0});
        put16(f, static_cast<std::uint16_t>(tcpLength));
        f.push_back(6), f.push_back(64);
        for (int i = 0; i < 32; ++i)
            f.push_back(i == 15 || i == 31 ? 1 : 0);
    } else {
        f.insert(f.end(), {0x45, 0});
        put16(f, static_cast<std::uint16_t>(20 + tcpLength));
        f.insert(f.end(), {0, 1, 0x40, 0, 64, 6, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1});
    }
    // TCP: ports, sequence, ack, data offset 8 words (timestamps), flags, window, checksum, urgent,
    // then the 12 option bytes ending with the timestamp's last byte.
    f.insert(f.end(), {0xC0, 0x01, 0x00, 0x50, 0, 0, 0, 1, 0, 0, 0, 1, 0x80, 0x18, 0x01, 0xF6, 0, 0, 0, 0});
    f.insert(f.end(), {1, 1, 8, 10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, lastTcpHeaderByte});
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

inline std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

} // namespace velmora::test
