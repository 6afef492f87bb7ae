#pragma once
// A TCP socket's two ends as the kernel lists them in /proc/PID/net/tcp and tcp6, found by the socket's
// inode (from the readlink of /proc/PID/fd/FD, "socket:[INODE]").

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::tlsprobe {

struct SocketEndpoints {
    std::uint16_t family = 0; // AF_INET or AF_INET6
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::array<std::uint8_t, 16> local{};  // network order; IPv4 in the first four bytes
    std::array<std::uint8_t, 16> remote{};
};

// "socket:[12345]" -> 12345; anything else (a pipe, a file) -> nothing.
std::optional<std::uint64_t> socketInode(std::string_view link);

// The line of TABLE (the text of /proc/PID/net/tcp, or tcp6 when ipv6) whose inode is INODE.
std::optional<SocketEndpoints> findTcpSocket(std::string_view table, std::uint64_t inode, bool ipv6);

} // namespace velmora::tlsprobe
