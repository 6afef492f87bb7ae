#pragma once
// The two hellos of a TLS handshake, read in clear: what the key log is searched by (the client
// random), which protocol version and cipher suite the server chose, and the offered protocols.

#include "tcp/BoundedBuffer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace velmora {

namespace tls {
inline constexpr std::uint8_t kChangeCipherSpec = 20;
inline constexpr std::uint8_t kAlert = 21;
inline constexpr std::uint8_t kHandshake = 22;
inline constexpr std::uint8_t kApplicationData = 23;

inline constexpr std::uint8_t kClientHelloMessage = 1;
inline constexpr std::uint8_t kServerHelloMessage = 2;
inline constexpr std::uint8_t kEndOfEarlyDataMessage = 5;
inline constexpr std::uint8_t kFinishedMessage = 20;
inline constexpr std::uint8_t kKeyUpdateMessage = 24;

inline constexpr std::uint16_t kTls12 = 0x0303;
inline constexpr std::uint16_t kTls13 = 0x0304;

inline constexpr std::size_t kRecordHeaderBytes = 5;
// The longest record any version allows: 2^14 plaintext plus TLS 1.2's expansion.
inline constexpr std::size_t kMaxRecordBody = (1 << 14) + 2048;
inline constexpr std::size_t kMaxHandshakeMessage = 64 << 10;
} // namespace tls

struct ClientHello {
    std::array<std::uint8_t, 32> random{};
    bool offersEarlyData = false;
    std::string alpn; // the offered protocols, comma-separated ("h2,http/1.1")
};

struct ServerHello {
    std::array<std::uint8_t, 32> random{};
    std::uint16_t version = 0; // supported_versions when present, else the legacy version
    std::uint16_t cipherSuite = 0;
    bool helloRetryRequest = false;
    std::string alpn; // TLS 1.2 only: TLS 1.3 sends it encrypted
};

// The body of a handshake message of the given type (after its 4-byte header).
std::optional<ClientHello> ReadClientHello(std::span<const std::uint8_t> body);
std::optional<ServerHello> ReadServerHello(std::span<const std::uint8_t> body);

// Whether a TCP payload begins a TLS handshake record that holds (the start of) a ClientHello.
bool StartsClientHello(std::span<const std::uint8_t> payload);

// Handshake messages out of a run of handshake record fragments, which may split a message or hold
// several. Messages longer than tls::kMaxHandshakeMessage break the stream.
class HandshakeMessages final {
public:
    using Message = std::function<void(std::uint8_t type, std::span<const std::uint8_t> body)>;
    explicit HandshakeMessages(ByteBudget& budget) : pending_(budget) {}
    // False when the stream broke.
    bool Add(std::span<const std::uint8_t> fragment, const Message& message);
    void Clear() { pending_.Clear(); }
    void Release() { pending_.Release(); }

private:
    BoundedBuffer pending_;
};

} // namespace velmora
