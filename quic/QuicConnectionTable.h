#pragma once
// The QUIC connections in UDP datagrams, on any port, by the connection IDs their packets carry.
// A connection begins with a client Initial (version 1 or 2) that opens with the keys of its
// Destination Connection ID: one that does not open makes no connection. It is then found by every
// ID either endpoint uses, so a client that moves to a new address or port (keeping its ID, or
// taking one the server handed out) stays with it; IDs are learnt only from packets that opened (or
// a Retry whose integrity tag checks), and forgotten once retired. Short headers are looked up with
// the ID lengths the known connections use. A datagram of no known connection that does not start a
// new one costs a few byte tests, or for a would-be client Initial, the try to open it.
//
// The table is bounded: when it is full the connection idle longest is dropped; each connection's
// buffers are bounded and drawn from one total.

#include "tcp/ByteBudget.h"
#include "tcp/ConnectionBudget.h"
#include "http/HttpRequest.h"
#include "tls/HttpsRequestFinder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace velmora {

class KeyLog;
class QuicConnection;
class QuicPacketProtection;
struct QuicPacketHeader;
struct QuicVersion;

// The parts of a UDP datagram the table needs.
struct UdpDatagram {
    const std::uint8_t* source = nullptr; // the addresses, in the frame: 4 bytes (IPv4) or 16 (IPv6)
    const std::uint8_t* destination = nullptr;
    std::uint8_t addressBytes = 4;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::span<const std::uint8_t> payload;
};

// Reads the datagram out of a frame; nothing for frames that are not UDP over IPv4 or IPv6.
bool ReadUdpDatagram(std::span<const std::uint8_t> frame, int linkType, UdpDatagram& datagram);

// Counts since the table was made. A connection counts as decrypted once one of the client's 0-RTT
// or 1-RTT packets opened, and as without keys while the key log lacks its secrets.
struct QuicStats {
    std::uint64_t seen = 0;
    std::uint64_t decrypted = 0;
    std::uint64_t withoutKeys = 0;
    std::uint64_t abandoned = 0; // the handshake never completed
};

class QuicConnectionTable final {
public:
    static constexpr std::size_t kMaxIdsPerConnection = 16;
    // The fixed cost of following a connection, counted in the shared budget: its objects, the
    // cipher state OpenSSL keeps for its keys, its routes.
    static constexpr std::size_t kConnectionOverhead = 16 << 10;
    // A datagram longer than an Ethernet frame can hold may be several segments of one GSO send.
    static constexpr std::size_t kMaxSegmentBytes = 1500;
    static constexpr std::size_t kMinSegmentBytes = 20;
    static constexpr std::size_t kMaxUnrouted = 64; // short-header packets of no known ID, kept while keys are awaited

    QuicConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits);
    ~QuicConnectionTable();
    QuicConnectionTable(const QuicConnectionTable&) = delete;
    QuicConnectionTable& operator=(const QuicConnectionTable&) = delete;

    // One datagram, captured in frame `packet`.
    void Datagram(const UdpDatagram& datagram, PacketNumber packet);
    // What the connections hold, as the shared budget counts it.
    std::size_t BytesHeld() const { return budget_.Used(); }
    // Connections waiting for keys look again when the key log has grown.
    void KeysAdded();
    bool AnyWaitingForKeys() const { return waitingForKeys_ > 0; }
    QuicStats Stats() const { return stats_; }
    std::size_t size() const { return entries_.size(); }

private:
    // A connection ID, or for an endpoint that uses zero-length IDs, its address and port.
    struct Id {
        std::array<std::uint8_t, 20> bytes{};
        std::uint8_t length = 0;
        bool endpoint = false;
        bool operator==(const Id&) const = default;
    };
    struct IdHash {
        std::size_t operator()(const Id& id) const;
    };
    static constexpr std::uint64_t kNoSequence = UINT64_MAX; // an ID no endpoint numbered (or can retire)
    // An ID a connection is found by: packets that carry it come from the client when `fromClient`.
    struct OwnedId {
        Id id;
        bool fromClient;
        std::uint64_t sequence;
    };
    struct Entry;
    struct Route {
        Entry* entry;
        bool fromClient; // packets that carry the ID come from the client
    };

    std::size_t packet(std::span<const std::uint8_t> bytes, const UdpDatagram& datagram, PacketNumber packet);
    // A short-header packet to the connection its ID names; false when none does. Without the
    // datagram, endpoints with zero-length IDs are not looked up.
    bool shortHeader(std::span<const std::uint8_t> bytes, const UdpDatagram* datagram, PacketNumber packet);
    std::size_t segmentSize(std::span<const std::uint8_t> bytes) const;
    void keepUnrouted(std::span<const std::uint8_t> bytes, PacketNumber packet);
    void routeUnrouted();
    void dropUnrouted();
    Entry* start(std::span<const std::uint8_t> destinationId, std::span<const std::uint8_t> sourceId,
                 const UdpDatagram& datagram, std::uint32_t version);
    void addId(Entry& entry, const Id& id, bool fromClient, std::uint64_t sequence);
    void retireIds(Entry& entry, bool fromClient, std::uint64_t from, std::uint64_t to);
    // Whether a would-be client Initial opens: tried before a connection is made for it.
    bool initialOpens(const QuicVersion& version, std::span<const std::uint8_t> destinationId,
                      const QuicPacketHeader& header, std::span<const std::uint8_t> packet);
    static Id idOf(std::span<const std::uint8_t> bytes);
    void remove(Entry& entry);
    bool makeRoom(std::size_t bytes); // drops the idlest connections until the shared budget has `bytes`
    void reclaim(std::size_t bytes, std::size_t connections); // for the other kinds: the idlest go
    void touch(Entry& entry);
    void account(Entry& entry);
    static Id endpointId(const std::uint8_t* address, std::uint8_t addressBytes, std::uint16_t port);

    KeyLog& keyLog_;
    HttpRequestSink& sink_;
    HttpsRequestFinder::Limits limits_;
    std::unique_ptr<ConnectionBudget> ownBudget_; // when none is shared
    ConnectionBudget& shared_;
    ByteBudget budget_;
    ByteBudget connectionsHeld_; // one unit a connection
    std::list<Entry> entries_; // least recently used first
    std::unordered_map<Id, Route, IdHash> routes_;
    std::array<std::uint32_t, 21> idLengths_{}; // how many routes use each ID length (short headers)
    QuicStats stats_;
    std::size_t waitingForKeys_ = 0;
    struct Unrouted {
        std::vector<std::uint8_t> bytes;
        PacketNumber frame;
    };
    std::deque<Unrouted> unrouted_;  // oldest first
    bool newIds_ = false;            // IDs were added since the kept packets were last looked at
    std::uint64_t generation_ = 0;   // of the key log when waiting connections last looked
    std::int64_t lastRefreshMs_ = 0; // when the key log was last read for them
    std::unique_ptr<QuicPacketProtection> probeKeys_; // for the Initials tried before a connection is made
    std::vector<std::uint8_t> probeScratch_, probePlaintext_;
};

} // namespace velmora
