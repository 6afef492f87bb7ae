#include "tls/TlsHello.h"

#include "tls/ByteReader.h"

#include <cstring>

namespace velmora {
namespace {

constexpr std::uint16_t kAlpnExtension = 16;
constexpr std::uint16_t kEarlyDataExtension = 42;
constexpr std::uint16_t kSupportedVersionsExtension = 43;

// SHA-256 of "HelloRetryRequest": the random of a ServerHello that asks for another ClientHello.
constexpr std::array<std::uint8_t, 32> kHelloRetryRandom{
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

std::string readAlpn(ByteReader data) {
    ByteReader list = data.Vector(2);
    std::string out;
    while (list.ok() && !list.AtEnd() && out.size() < 256) {
        const std::uint8_t length = list.U8();
        const auto name = list.Bytes(length);
        if (!list.ok())
            break;
        if (!out.empty())
            out += ',';
        out.append(reinterpret_cast<const char*>(name.data()), name.size());
    }
    return out;
}

} // namespace

std::optional<ClientHello> ReadClientHello(std::span<const std::uint8_t> body) {
    ByteReader r(body);
    ClientHello hello;
    r.U16(); // legacy version
    const auto random = r.Bytes(32);
    r.Vector(1); // session id
    r.Vector(2); // cipher suites
    r.Vector(1); // compression methods
    if (!r.ok())
        return std::nullopt;
    std::memcpy(hello.random.data(), random.data(), 32);
    if (r.AtEnd())
        return hello; // no extensions
    ByteReader extensions = r.Vector(2);
    while (r.ok() && extensions.ok() && !extensions.AtEnd()) {
        const std::uint16_t type = extensions.U16();
        ByteReader data = extensions.Vector(2);
        if (type == kEarlyDataExtension)
            hello.offersEarlyData = true;
        else if (type == kAlpnExtension)
            hello.alpn = readAlpn(data);
    }
    return hello;
}

std::optional<ServerHello> ReadServerHello(std::span<const std::uint8_t> body) {
    ByteReader r(body);
    ServerHello hello;
    hello.version = r.U16();
    const auto random = r.Bytes(32);
    r.Vector(1); // session id
    hello.cipherSuite = r.U16();
    r.U8(); // compression method
    if (!r.ok())
        return std::nullopt;
    std::memcpy(hello.random.data(), random.data(), 32);
    hello.helloRetryRequest = hello.random == kHelloRetryRandom;
    if (r.AtEnd())
        return hello;
    ByteReader extensions = r.Vector(2);
    while (r.ok() && extensions.ok() && !extensions.AtEnd()) {
        const std::uint16_t type = extensions.U16();
        ByteReader data = extensions.Vector(2);
        if (type == kSupportedVersionsExtension) {
            const std::uint16_t chosen = data.U16();
            if (data.ok())
                hello.version = chosen;
        } else if (type == kAlpnExtension) {
            hello.alpn = readAlpn(data);
        }
    }
    return hello;
}

bool StartsClientHello(std::span<const std::uint8_t> p) {
    // Record: handshake, version 3.x, length; message: ClientHello.
    return p.size() >= 6 && p[0] == tls::kHandshake && p[1] == 3 && p[2] <= 4 && p[5] == tls::kClientHelloMessage;
}

bool HandshakeMessages::Add(std::span<const std::uint8_t> fragment, const Message& message) {
    auto each = [&](std::span<const std::uint8_t> bytes) -> std::size_t {
        std::size_t used = 0;
        while (bytes.size() - used >= 4) {
            const std::size_t length = std::size_t{bytes[used + 1]} << 16 | bytes[used + 2] << 8 | bytes[used + 3];
            if (length > tls::kMaxHandshakeMessage)
                return static_cast<std::size_t>(-1);
            if (bytes.size() - used - 4 < length)
                break;
            message(bytes[used], bytes.subspan(used + 4, length));
            used += 4 + length;
        }
        return used;
    };
    if (pending_.empty()) {
        const std::size_t used = each(fragment);
        if (used == static_cast<std::size_t>(-1))
            return false;
        return pending_.Append(fragment.subspan(used));
    }
    if (!pending_.Append(fragment))
        return false;
    const std::size_t used = each(pending_.Bytes());
    if (used == static_cast<std::size_t>(-1))
        return false;
    pending_.Consume(used);
    return true;
}

} // namespace velmora
