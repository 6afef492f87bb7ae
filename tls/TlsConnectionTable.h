#pragma once
// The TCP connections that began with a TLS ClientHello, by their two endpoints, each followed in
// both directions. A segment of any other connection costs one lookup and is left alone. The table
// is bounded: when it is full, or the budget shared with the other kinds of connection is, the
// connections idle longest are dropped.
// Until its server's hello is seen a connection may hold only a little, so that clients talking to
// nobody cannot fill the budget. Endpoints come from the network: they are hashed with a keyed hash.

#include "tcp/ByteBudget.h"
#include "tcp/ConnectionBudget.h"
#include "http/HttpRequest.h"
#include "tls/HttpsRequestFinder.h"
#include "tcp/TcpSegment.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace velmora {

class KeyLog;
class TlsConnection;

class TlsConnectionTable final {
public:
    TlsConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits);
    ~TlsConnectionTable();
    TlsConnectionTable(const TlsConnectionTable&) = delete;
    TlsConnectionTable& operator=(const TlsConnectionTable&) = delete;

    // Held until the server's hello is seen, and the fixed cost of following a connection: its
    // objects, table and list nodes, and the cipher state OpenSSL keeps for it.
    static constexpr std::size_t kBeforeServerHelloBytes = 64 << 10;
    static constexpr std::size_t kConnectionOverhead = 4096;

    // One segment, captured in frame `packet`.
    void Segment(const TcpSegment& segment, PacketNumber packet);
    // The capture ended: every connection is closed (a last look at the key log first), so that each
    // has its final outcome.
    void CloseAll();
    // Whether the segment can matter: it carries bytes, or opens or ends a connection.
    static bool Carries(const TcpSegment& s) { return !s.payload.empty() || s.missing || s.fin || s.rst || s.syn; }
    // Connections waiting for keys look again when the key log has grown.
    void KeysAdded();
    bool AnyWaitingForKeys() const { return waitingForKeys_ > 0; }
    TlsStats Stats() const { return stats_; }
    std::size_t size() const { return connections_.size(); }
    // What the connections hold, as the shared budget counts it.
    std::size_t BytesHeld() const { return budget_.Used(); }
    // The most connections sharing one bucket: what a lookup may have to walk.
    std::size_t LongestChain() const;

private:
    struct Endpoints {
        std::array<std::uint8_t, 40> bytes{}; // lower endpoint first: address (16 bytes), port; padded
        bool operator==(const Endpoints&) const = default;
    };
    struct EndpointsHash {
        std::size_t operator()(const Endpoints& e) const;
    };
    struct Entry;
    using Lru = std::list<Endpoints>; // most recently used at the back

    using Map = std::unordered_map<Endpoints, std::unique_ptr<Entry>, EndpointsHash>;

    void handle(Entry& entry, bool senderIsLower, const TcpSegment& segment);
    Map::iterator follow(const Endpoints& key, bool senderIsLower, const TcpSegment& segment);
    // Whether a client segment opens a new connection on the endpoints of an old one (the old one's
    // end was not captured): a SYN other than the old one's, or a ClientHello that is not where the
    // old stream stands.
    static bool Reopens(const Entry& entry, const TcpSegment& segment);
    void remove(Map::iterator it);
    // Drops the idlest connections not in use until `bytes` are given back and `connections` gone.
    void reclaim(std::size_t bytes, std::size_t connections);
    // Offers keys read since the last offer to every connection waiting for them.
    void offerKeys();
    void account(Entry& entry);

    KeyLog& keyLog_;
    HttpRequestSink& sink_;
    HttpsRequestFinder::Limits limits_;
    std::unique_ptr<ConnectionBudget> ownBudget_; // when none is shared
    ConnectionBudget& shared_;
    ByteBudget budget_;
    ByteBudget connectionsHeld_; // one unit a connection
    std::vector<std::uint8_t> plaintext_; // where every connection opens its records
    Map connections_;
    Lru lru_;
    // The connection of the last segment: a download's frames come in runs of the same connection.
    Endpoints lastKey_;
    Entry* last_ = nullptr;
    TlsStats stats_;
    PacketNumber packet_ = 0; // of the segment being handled: the frame that brought what is read
    std::size_t waitingForKeys_ = 0;
    bool keysAdded_ = false; // keys were read while a connection closed: the others are offered them
};

} // namespace velmora
