#pragma once
// Crafted HTTPS captures: IPv4 TCP frames over Ethernet, a classic pcap writer, and the client side
// of TLS 1.3 (TLS_AES_128_GCM_SHA256) sealed with secrets the test chooses, with the key log lines
// that open it. The server sends only its hello, as the request reader needs.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

using Bytes = std::vector<std::uint8_t>;

inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

namespace tcp {
inline constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;
}

// One TCP segment in an Ethernet frame; addresses as numbers (0x7F000001 is 127.0.0.1).
Bytes TcpFrame(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t destinationAddress,
               std::uint16_t destinationPort, std::uint32_t sequence, std::uint32_t acknowledgement, std::uint8_t flags,
               std::span<const std::uint8_t> payload);

// A classic pcap file (microsecond stamps, Ethernet), one frame a millisecond.
void WritePcap(const std::string& path, const std::vector<Bytes>& frames);

// Both directions of one TCP connection; each call makes the next frame and moves the sequence on.
class TcpFlow {
public:
    TcpFlow(std::uint32_t clientAddress, std::uint16_t clientPort, std::uint32_t clientSequence = 1000,
            std::uint32_t serverSequence = 50000, std::uint32_t serverAddress = 0x7F000001,
            std::uint16_t serverPort = 443);
    Bytes Client(std::span<const std::uint8_t> payload, std::uint8_t flags = tcp::kPsh | tcp::kAck);
    Bytes Server(std::span<const std::uint8_t> payload, std::uint8_t flags = tcp::kPsh | tcp::kAck);
    // A client segment at any sequence number, the flow's own left as it was.
    Bytes ClientAt(std::uint32_t sequence, std::span<const std::uint8_t> payload, std::uint8_t flags) const;
    Bytes ServerAt(std::uint32_t sequence, std::span<const std::uint8_t> payload, std::uint8_t flags) const;
    // The SYN that opens the connection (the flow's sequence moves past it).
    Bytes Syn();
    std::uint32_t ClientNext() const { return clientNext_; }
    std::uint32_t ServerNext() const { return serverNext_; }

private:
    std::uint32_t clientAddress_, serverAddress_;
    std::uint16_t clientPort_, serverPort_;
    std::uint32_t clientNext_, serverNext_;
};

// The client of one TLS 1.3 connection. Its random and secrets come from `seed`.
class TlsClient {
public:
    explicit TlsClient(std::uint32_t seed);
    const std::array<std::uint8_t, 32>& Random() const { return random_; }
    // CLIENT_HANDSHAKE_TRAFFIC_SECRET and CLIENT_TRAFFIC_SECRET_0, each line ending in a line feed.
    std::string KeyLogLines() const;
    Bytes ClientHello() const;
    static Bytes ServerHello();
    // The client's Finished, sealed with its handshake keys.
    Bytes Finished();
    // Application data sealed with the traffic keys, in records of at most 16 KiB.
    Bytes ApplicationData(std::span<const std::uint8_t> plaintext);

private:
    Bytes seal(const std::array<std::uint8_t, 32>& secret, std::uint64_t& sequence, std::uint8_t type,
               std::span<const std::uint8_t> plaintext) const;

    std::array<std::uint8_t, 32> random_{}, handshakeSecret_{}, trafficSecret_{};
    std::uint64_t handshakeSequence_ = 0, trafficSequence_ = 0;
};

// The frames of a whole connection: ClientHello, ServerHello, the client's Finished, then each of
// `streams` as application data in frames of at most 32 KiB (no FIN).
std::vector<Bytes> HttpsFrames(TlsClient& client, TcpFlow& flow, const std::vector<std::string>& streams);

// A client's HTTP/2 stream: the preface, SETTINGS, then each header block (HPACK, as given) in one
// HEADERS frame on streams 1, 3, 5 and so on.
std::string Http2Stream(const std::vector<Bytes>& headerBlocks);

// An HTTP/1.1 GET of `target` from `host`.
std::string HttpGet(std::string_view host, std::string_view target);

} // namespace velmora::test
