#include "SocketEndpoints.h"

#include <charconv>
#include <sys/socket.h>

namespace velmora::tlsprobe {
namespace {

std::string_view nextField(std::string_view& line) {
    const auto begin = line.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(begin);
    const auto end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

template <typename Number> bool parseNumber(std::string_view text, Number& out, int base) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
    return error == std::errc() && end == text.data() + text.size();
}

// "0100007F:01BB": the address as the kernel prints its 32-bit words (host order, %08X each), then the port.
bool parseAddress(std::string_view text, std::array<std::uint8_t, 16>& address, std::uint16_t& port, int words) {
    const auto colon = text.find(':');
    if (colon != static_cast<std::size_t>(words) * 8 || !parseNumber(text.substr(colon + 1), port, 16)) {
        return false;
    }
    for (int word = 0; word < words; ++word) {
        std::uint32_t value = 0;
        if (!parseNumber(text.substr(static_cast<std::size_t>(word) * 8, 8), value, 16)) {
            return false;
        }
        // Each word was the address's bytes in memory read as a little-endian number.
        for (int byte = 0; byte < 4; ++byte) {
            address[static_cast<std::size_t>(word * 4 + byte)] = static_cast<std::uint8_t>(value >> (8 * byte));
        }
    }
    return true;
}

} // namespace

std::optional<std::uint64_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) {
        return std::nullopt;
    }
    std::uint64_t inode = 0;
    if (!parseNumber(link.substr(prefix.size(), link.size() - prefix.size() - 1), inode, 10)) {
        return std::nullopt;
    }
    return inode;
}

std::optional<SocketEndpoints> findTcpSocket(std::string_view table, std::uint64_t inode, bool ipv6) {
    while (!table.empty()) {
        const auto newline = table.find('\n');
        std::string_view line = table.substr(0, newline);
        table.remove_prefix(newline == std::string_view::npos ? table.size() : newline + 1);
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode ...
        std::string_view fields[10];
        for (auto& field : fields) {
            field = nextField(line);
        }
        std::uint64_t lineInode = 0;
        if (!parseNumber(fields[9], lineInode, 10) || lineInode != inode) {
            continue;
        }
        SocketEndpoints endpoints;
        endpoints.family = ipv6 ? AF_INET6 : AF_INET;
        const int words = ipv6 ? 4 : 1;
        if (parseAddress(fields[1], endpoints.local, endpoints.localPort, words) &&
            parseAddress(fields[2], endpoints.remote, endpoints.remotePort, words)) {
            return endpoints;
        }
    }
    return std::nullopt;
}

} // namespace velmora::tlsprobe
