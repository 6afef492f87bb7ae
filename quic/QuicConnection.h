#pragma once
// One QUIC connection as a passive observer reads it (RFC 9001 for version 1, RFC 9369 for
// version 2). The Initial packets of both sides are opened with keys from the client's first
// Destination Connection ID; their CRYPTO frames carry the ClientHello (the client random the key
// log is searched by) and the ServerHello (the cipher suite). The server's Handshake packets are
// opened as far as its EncryptedExtensions, whose transport parameters may name a preferred
// address with its connection ID. 0-RTT and 1-RTT packets are opened with the key log's secrets,
// following key updates by the key phase bit; their STREAM frames go to the HTTP/3 reader, and the
// connection IDs the endpoints hand out (NEW_CONNECTION_ID) and retire to the table. Nothing is
// learnt from a packet that did not open. The server's 1-RTT packets are not read while no request
// waits for its answer and no manifest's body is being read (a download's body): one in
// kUnreadBetweenChecks, and any of the other key phase, is still opened, so that its packet numbers
// and key phase stay known.
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
    // Abandoned: without keys because the handshake never completed (handshake secrets logged, no
    // application secret).
    enum class Outcome { Pending, Decrypted, WithoutKeys, Abandoned };
    // A connection ID an endpoint handed out, with its sequence number: packets that carry it as
    // Destination Connection ID come from the client when `fromClient`.
    using NewId = std::function<void(bool fromClient, std::uint64_t sequence, std::span<const std::uint8_t> id)>;
    // The IDs of sequence numbers [from, to) that packets from the client (`fromClient`) or the
    // server carried are retired.
    using RetiredIds = std::function<void(bool fromClient, std::uint64_t from, std::uint64_t to)>;

    static constexpr std::size_t kMaxPendingPackets = 256;
    // The server's first 1-RTT packets are always opened: they hand out its connection IDs.
    static constexpr std::size_t kServerPacketsAlwaysOpened = 16;
    // Of a download's body, one packet in this many is opened to keep its packet numbers known:
    // fewer than two-byte packet numbers can tell apart.
    static constexpr std::size_t kUnreadBetweenChecks = 32;

    QuicConnection(const QuicVersion& version, std::span<const std::uint8_t> originalDestinationId, KeyLog& keyLog,
                   HttpRequestSink& sink, ByteBudget& budget, NewId newId, RetiredIds retiredIds);

    // One packet (coalesced packets are handed over one by one) that arrived in frame `frame`.
    // True when it opened now (not when it waits, or does not open).
    bool Packet(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                PacketNumber frame);
    // A Retry packet (to the end of its datagram) that gives the client `destinationId`. Followed,
    // and the Initial keys with it, only if it is the first, comes before any packet of the server
    // opened, and its integrity tag checks. True when followed.
    bool Retry(std::span<const std::uint8_t> retry, std::span<const std::uint8_t> destinationId);
    // Whether a client's Initial opens with the keys of its Destination Connection ID, to be tried
    // before a connection is made for it; `keys` and the buffers are the caller's, used again.
    static bool ClientInitialOpens(const QuicVersion& version, std::span<const std::uint8_t> destinationId,
                                   const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                                   QuicPacketProtection& keys, std::vector<std::uint8_t>& scratch,
                                   std::vector<std::uint8_t>& plaintext);
    // The key log has grown: a connection waiting for keys looks again.
    void RetryKeys();

    Outcome outcome() const;
    bool WaitingForKeys() const { return waitingForKeys_; }
    // Whether the client's first Initial opened: the datagram was QUIC.
    bool Confirmed() const { return initialOpened_; }
    // Whether a packet of the server opened: the connection is under way in its version.
    bool ServerHeard() const { return serverHeard_; }
    // An endpoint closed the connection (CONNECTION_CLOSE in a 1-RTT packet): nothing more to read.
    bool Closed() const { return closed_; }
    const QuicVersion& version() const { return *version_; }

private:
    // One endpoint's packets.
    struct Side {
        explicit Side(ByteBudget& budget) : crypto(budget), hello(budget) {}
        QuicPacketProtection initial;
        QuicPacketProtection early;     // the client's 0-RTT
        QuicPacketProtection handshake; // the server's only
        // 1-RTT keys: the current phase's, the one before (kept for packets sent before the update
        // that arrive after it) and the next (derived when a packet of the other phase first comes).
        std::array<QuicPacketProtection, 3> application;
        std::uint8_t current = 0, previous = 1, next = 2;
        bool phase = false;
        bool previousKept = false;
        std::uint64_t phaseStart = 0; // the first packet number of the current phase
        std::size_t unread = 0;       // packets of a download's body passed over since one opened
        std::optional<std::uint64_t> largestInitial;
        std::optional<std::uint64_t> largestHandshake;
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
    enum class Step { Opened, Done, Wait };

    Step openPacket(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                    PacketNumber frame);
    QuicPacketProtection* keysFor(Side& side, const QuicPacketHeader& header, bool keyPhase, std::uint64_t packetNumber,
                                  bool& phaseChange);
    // `streams`: STREAM frames are read too (not for a download's body).
    void frames(bool fromClient, QuicPacketType level, bool oneRtt, bool streams, std::span<const std::uint8_t> payload,
                PacketNumber frame);
    void cryptoBytes(bool fromClient, std::uint64_t offset, std::span<const std::uint8_t> data);
    void handshakeBytes(std::uint64_t offset, std::span<const std::uint8_t> data);
    void encryptedExtensions(std::span<const std::uint8_t> body);
    void setUpKeys();
    void drainPending();
    void keep(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
              PacketNumber frame);

    const QuicVersion* version_;
    KeyLog& keyLog_;
    ByteBudget& budget_;
    NewId newId_;
    RetiredIds retiredIds_;
    Side client_;
    Side server_;
    Http3Reader http_;
    QuicStreamAssembler serverHandshake_; // the server's Handshake CRYPTO stream, to its EncryptedExtensions
    HandshakeMessages serverHandshakeMessages_;
    std::vector<std::uint8_t> initialId_; // the Destination Connection ID the Initial keys come from
    std::optional<ClientHello> clientHello_;
    const TlsCipherSuite* suite_ = nullptr;
    bool keysSetUp_ = false;
    bool waitingForKeys_ = false;
    bool anyDecrypted_ = false;
    bool initialOpened_ = false;
    bool serverHeard_ = false;
    bool retried_ = false;
    bool draining_ = false;
    bool closed_ = false;
    std::size_t serverOpened_ = 0; // 1-RTT packets of the server opened
    std::deque<Pending> pending_;
    std::vector<std::uint8_t> scratch_; // a packet with its header protection removed
    std::vector<std::uint8_t> plaintext_;
};

} // namespace velmora
