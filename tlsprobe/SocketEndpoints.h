#pragma once
// A TCP socket's two ends, as the kernel side reads them from the socket a TLS call used.

#include <array>
#include <cstdint>

namespace velmora::tlsprobe {

struct SocketEndpoints {
    std::uint16_t family = 0; // AF_INET or AF_INET6
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::array<std::uint8_t, 16> local{}; // network order; IPv4 in the first four bytes
    std::array<std::uint8_t, 16> remote{};

    bool operator==(const SocketEndpoints&) const = default;
};

} // namespace velmora::tlsprobe
