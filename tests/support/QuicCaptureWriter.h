#pragma once
// Crafted QUIC captures: both endpoints of one connection (version 1, 2 or 2's provisional number)
// as a real client and server would send it, in UDP datagrams over IPv4 and Ethernet (write them
// with WritePcap). Initial packets are sealed with keys from the client's Destination Connection ID
// (RFC 9001 section 5.2); Handshake and 1-RTT packets with TLS 1.3 secrets the writer chooses
// (TLS_AES_128_GCM_SHA256) and lists in KeyLogLines(). AEAD and header protection are OpenSSL's.
// It also makes Retry packets with a correct or a wrong integrity tag, key updates, the frames that
// hand out and retire connection IDs, and HTTP/3 streams whose header blocks are QPACK literals.

#include "TlsCaptureWriter.h"

#include "quic/QuicVersion.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::test {

// One UDP datagram in an Ethernet frame; addresses as numbers (0x7F000001 is 127.0.0.1).
Bytes UdpFrame(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t destinationAddress,
               std::uint16_t destinationPort, std::span<const std::uint8_t> payload);

// QUIC frames (RFC 9000 section 19), to put in a packet's payload.
namespace quicframe {
Bytes Stream(std::uint64_t streamId, std::uint64_t offset, std::span<const std::uint8_t> data, bool fin = false);
Bytes Crypto(std::uint64_t offset, std::span<const std::uint8_t> data);
// The reset token is made from the ID.
Bytes NewConnectionId(std::uint64_t sequence, std::uint64_t retirePriorTo, std::span<const std::uint8_t> id);
Bytes RetireConnectionId(std::uint64_t sequence);
Bytes Ping();
Bytes ConnectionClose();
} // namespace quicframe

// HTTP/3 (RFC 9114) and QPACK literals (RFC 9204): no dynamic table is used.
namespace http3 {
using Fields = std::vector<std::pair<std::string, std::string>>;
// A unidirectional control stream's bytes: its type, then SETTINGS (QPACK table capacity 0).
Bytes ControlStream();
// A HEADERS frame whose block holds every field as a literal with a literal name.
Bytes Headers(const Fields& fields);
Bytes Data(std::span<const std::uint8_t> body);
// A GET's HEADERS frame.
Bytes Get(std::string_view authority, std::string_view path);
// A response's HEADERS frame.
Bytes Response(std::string_view status, std::string_view contentType);
} // namespace http3

struct QuicEndpoint {
    std::uint32_t address = 0x7F000001;
    std::uint16_t port = 443;
};

// Both endpoints of one QUIC connection. Each call makes the next packet of one endpoint (the
// payload of a datagram; long header packets may be joined into one datagram) and moves that
// endpoint's packet numbers on. IDs, random and secrets come from `seed`.
class QuicConnectionWriter {
public:
    static constexpr std::size_t kIdBytes = 8;

    explicit QuicConnectionWriter(std::uint32_t seed, std::uint32_t version = 1);

    const QuicVersion& Version() const { return *version_; }
    const Bytes& OriginalDestinationId() const { return originalDestinationId_; }
    const Bytes& ClientId() const { return clientId_; }
    const Bytes& ServerId() const { return serverId_; }
    // A further ID of the client's or the server's, the same for the same sequence number.
    Bytes IssuedId(bool client, std::uint64_t sequence) const;

    // CLIENT_/SERVER_HANDSHAKE_TRAFFIC_SECRET and CLIENT_/SERVER_TRAFFIC_SECRET_0, each line ending
    // in a line feed.
    std::string KeyLogLines() const;

    // The frame of a datagram the client or the server sends, between the endpoints set now.
    Bytes FromClient(std::span<const std::uint8_t> payload) const;
    Bytes FromServer(std::span<const std::uint8_t> payload) const;
    QuicEndpoint& Client() { return client_; }
    QuicEndpoint& Server() { return server_; }

    // The client's Initial with its ClientHello, padded to 1200 bytes; after a Retry, with its token.
    Bytes ClientInitial();
    // The server's Initial with its ServerHello; the client sends to the server's ID from now on.
    Bytes ServerInitial();
    // The server's Handshake packet with its EncryptedExtensions, whose transport parameters name
    // a preferred address with the ID of sequence number 1 when `preferredAddress` is given.
    Bytes ServerHandshake(std::optional<QuicEndpoint> preferredAddress = std::nullopt);
    // A Retry to the client's ID that gives it `newId` (its Initial keys change with it unless the
    // tag is wrong). The tag is RFC 9001 section 5.8's, or a wrong one.
    Bytes Retry(std::span<const std::uint8_t> newId, bool correctTag = true);
    // A long header packet of any type with these frames, in the endpoint's packet number space.
    Bytes Long(bool fromClient, QuicPacketType type, std::span<const std::uint8_t> frames);
    // A 1-RTT packet with these frames, to the ID the endpoint sends to now.
    Bytes Short(bool fromClient, std::span<const std::uint8_t> frames);

    // The endpoint moves to its next key phase (RFC 9001 section 6).
    void KeyUpdate(bool client);
    // The endpoint sends to this ID from now on.
    void SendTo(bool client, std::span<const std::uint8_t> destinationId);
    // The packet number the endpoint's next 1-RTT packet takes.
    std::uint64_t NextShortNumber(bool client) const { return (client ? clientSide_ : serverSide_).number[2]; }

    // The whole handshake: the client's Initial, the server's Initial and Handshake in one datagram,
    // then the client's and the server's control streams in 1-RTT packets.
    std::vector<Bytes> Handshake(std::optional<QuicEndpoint> preferredAddress = std::nullopt);
    // A request on the client's next bidirectional stream (0, 4, 8 ...) in one 1-RTT packet,
    // together with `extraFrames`. Returns the frame; `streamId` is set to the stream it took.
    Bytes Request(std::string_view authority, std::string_view path, std::uint64_t* streamId = nullptr,
                  std::span<const std::uint8_t> extraFrames = {});
    // The server's response head on a stream, in one 1-RTT packet, with `extraFrames`.
    Bytes Answer(std::uint64_t streamId, std::string_view contentType, std::span<const std::uint8_t> extraFrames = {});

private:
    struct Keys {
        std::array<std::uint8_t, 16> key{}, hp{};
        std::array<std::uint8_t, 12> iv{};
    };
    struct Side {
        std::array<std::uint64_t, 3> number{}; // next packet number: Initial, Handshake, application
        Bytes destination;                     // the ID its packets carry
        std::array<std::uint8_t, 32> handshakeSecret{}, trafficSecret0{}, trafficSecret{}; // trafficSecret: the phase now
        bool keyPhase = false;
        std::uint64_t streamOffset = 0; // of its control stream
    };
    Keys initialKeys(bool client) const;
    Keys keysFromSecret(std::span<const std::uint8_t> secret, bool withHp) const;
    Bytes seal(const Keys& keys, Bytes header, std::size_t numberAt, std::uint64_t number,
               std::span<const std::uint8_t> frames, bool longHeader) const;
    Bytes longHeader(bool fromClient, QuicPacketType type) const;

    const QuicVersion* version_;
    std::uint32_t state_;
    Bytes originalDestinationId_, clientId_, serverId_, initialDestination_, token_;
    std::array<std::uint8_t, 32> random_{};
    std::array<std::uint8_t, 16> hpClient_{}, hpServer_{}; // 1-RTT header protection stays through key updates
    Side clientSide_, serverSide_;
    QuicEndpoint client_{0x0A000001, 50000}, server_{0x7F000001, 443};
    std::uint64_t nextRequestStream_ = 0;
};

} // namespace velmora::test
