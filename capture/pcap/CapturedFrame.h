#pragma once
// One frame as the capture thread hands it to the consumer.

#include <chrono>
#include <cstdint>
#include <vector>

namespace velmora {

// Link types as libpcap reports them on Linux (pcap_datalink), so code outside the capture layer
// can find the network header without including libpcap.
namespace dlt {
inline constexpr int kNull = 0;       // BSD loopback
inline constexpr int kEthernet = 1;   // also the Linux loopback device
inline constexpr int kRaw = 12;       // raw IPv4/IPv6 (files with LINKTYPE_RAW 101 read as this)
inline constexpr int kLoop = 108;     // OpenBSD loopback
inline constexpr int kLinuxSll = 113; // Linux cooked capture ("any" device)
inline constexpr int kIpv4 = 228;
inline constexpr int kIpv6 = 229;
inline constexpr int kLinuxSll2 = 276;
} // namespace dlt

struct CapturedFrame {
    int linkType = dlt::kEthernet;
    std::chrono::microseconds timestamp{}; // since the Unix epoch
    std::uint32_t wireLength = 0;          // the frame's length on the wire; bytes may hold less
    std::vector<std::uint8_t> bytes;       // at most the snap length, never more than 15000
};

} // namespace velmora
