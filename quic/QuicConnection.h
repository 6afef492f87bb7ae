#pragma once
// One QUIC connection as a passive observer reads it (RFC 9001 for version 1, RFC 9369 for
// version 2). The Initial packets of both sides are opened with keys from the client's first
// Destination Connection ID; their CRYPTO frames carry the ClientHello (the client random the key
// log is searched by) and the ServerHello (the cipher suite). 0-RTT and 1-RTT packets are opened
// with the key log's secrets, following key updates by the key phase bit; their STREAM frames go to
// the HTTP/3 reader, and the connection IDs the endpoints hand out (NEW_CONNECTION_ID) to the table.
// Handshake packets carry nothing that is needed and are not opened, nor are the server's 1-RTT
// packets while no request waits for its answer and no manifest's body is being read (a download's
// body): their packet numbers and key phase are still followed.
//
// Packets that cannot be opened yet (0-RTT before the ServerHello, any packet while the key log
// lacks the secrets) wait in order within the connection's budget until they can.

#include "tls/KeyLog.h"
#include "tls/TlsHello.h"
#include "quic/Http3Reader.h"
#include "quic/QuicPacketProtection.h"
#include "quic/QuicStreamAssembler.h"
#include "quic/QuicVersion.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

// Where a packet's parts lie; the packet itself is the span handed over with it.
struct QuicPacketHeader {
    bool longHeader = false;
    QuicPacketType type = QuicPacketType::Initial; // long headers only
    std::size_t packetNumberAt = 0;                // where the protected packet number begins
};

class QuicConnection final {
public:
    enum class Outcome { Pending, Decrypted, WithoutKeys };
    // A connection ID an endpoint handed out: packets that carry it as Destination Connection ID
    // come from the client when `fromClient`.
    using NewId = std::function<void(bool fromClient, std::span<const std::uint8_t> id)>;

    static constexpr std::size_t kMaxPendingPackets = 256;
    // The server's first 1-RTT packets are always opened: they hand out its connection IDs.
    static constexpr std::size_t kServerPacketsAlwaysOpened = 16;

    QuicConnection(const QuicVersion& version, std::span<const std::uint8_t> originalDestinationId, KeyLog& keyLog,
                   HttpRequestSink& sink, ByteBudget& budget, NewId newId);

    // One packet (coalesced packets are handed over one by one) that arrived in frame `frame`.
    void Packet(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                PacketNumber frame);
    // A Retry gave the client a new Destination Connection ID: the Initial keys follow it.
    void Retry(std::span<const std::uint8_t> destinationId);
    // The key log has grown: a connection waiting for keys looks again.
    void RetryKeys();

    Outcome outcome() const;
    bool WaitingForKeys() const { return waitingForKeys_; }
    // Whether the client's first Initial opened: the datagram was QUIC.
    bool Confirmed() const { return initialOpened_; }
    // An endpoint closed the connection (CONNECTION_CLOSE in a 1-RTT packet): nothing more to read.
    bool Closed() const { return closed_; }
    const QuicVersion& version() const { return *version_; }

private:
    // One endpoint's packets.
    struct Side {
        explicit Side(ByteBudget& budget) : crypto(budget), hello(budget) {}
        QuicPacketProtection initial;
        QuicPacketProtection early;                      // the client's 0-RTT
        std::array<QuicPacketProtection, 2> application; // by key phase
        bool phase = false;
        bool previousKept = false;    // application[!phase] holds the phase before
        std::uint64_t phaseStart = 0; // the first packet number of the current phase
        std::optional<std::uint64_t> largestInitial;
        std::optional<std::uint64_t> largestApplication;
        QuicStreamAssembler crypto; // Initial CRYPTO frames
        HandshakeMessages hello;
    };
    struct Pending {
        bool fromClient;
        QuicPacketHeader header;
        PacketNumber frame;
        std::vector<std::uint8_t> bytes;
    };
    enum class Step { Done, Wait };

    Step openPacket(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                    PacketNumber frame);
    QuicPacketProtection* keysFor(Side& side, const QuicPacketHeader& header, bool keyPhase, std::uint64_t packetNumber,
                                  bool& phaseChange);
    void frames(bool fromClient, QuicPacketType level, bool oneRtt, std::span<const std::uint8_t> payload,
                PacketNumber frame);
    void cryptoBytes(bool fromClient, std::uint64_t offset, std::span<const std::uint8_t> data);
    void setUpKeys();
    void drainPending();
    void keep(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
              PacketNumber frame);

    const QuicVersion* version_;
    KeyLog& keyLog_;
    ByteBudget& budget_;
    NewId newId_;
    Side client_;
    Side server_;
    Http3Reader http_;
    std::optional<ClientHello> clientHello_;
    const TlsCipherSuite* suite_ = nullptr;
    bool keysSetUp_ = false;
    bool waitingForKeys_ = false;
    bool anyDecrypted_ = false;
    bool initialOpened_ = false;
    bool draining_ = false;
    bool closed_ = false;
    std::size_t serverOpened_ = 0; // 1-RTT packets of the server opened
    std::deque<Pending> pending_;
    std::vector<std::uint8_t> scratch_; // a packet with its header protection removed
    std::vector<std::uint8_t> plaintext_;
};

} // namespace velmora
