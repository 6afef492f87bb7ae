#pragma once
// The servers' answers to clear-text GETs. A connection is followed from the first request seen on
// it: both directions are put back in order, the client's requests read as the decrypting path reads
// them (bodies skipped by Content-Length or chunking, so a body that holds a request line is no
// request), and each response head is paired with the request it answers (HTTP/1.x answers in
// request order). Bodies are skipped, never kept. A RST ends a connection only where its sender's
// stream stands, the server's FIN likewise, and the client's FIN (a half-close) not at all: a
// spoofed segment cannot drop the answer still coming. A new SYN on the endpoints of a followed
// connection starts a new one once its first request is where the SYN said. Segments of
// connections not followed cost a byte test.
//
// Everything held (both streams, the heads being read, the requests waiting for their answers) is
// drawn from the connection's budget, itself drawn from the budget shared with the decrypted
// connections; when it is full the idlest connections go.

#include "capture/MediaAddressExtractor.h"
#include "http/HttpRequest.h"
#include "tcp/ByteBudget.h"
#include "tcp/ConnectionBudget.h"
#include "tcp/TcpReassembler.h"
#include "tcp/TcpSegment.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace velmora {

// What became of the connections followed: each is counted once as followed, and once more when a
// gap the capture left in it cost answers.
struct HttpFollowStats {
    std::uint64_t followed = 0;
    std::uint64_t withGaps = 0;
};

class ClearTextExchanges final {
public:
    struct Limits {
        std::size_t connectionBytes = std::size_t{1} << 20; // held per connection (out-of-order segments, a head)
        std::size_t totalBytes = std::size_t{64} << 20;     // over all connections
        std::size_t connections = 4096;                     // followed at once; the longest idle goes first
        std::size_t pendingRequests = 64;                   // unanswered requests noted per connection
        // Drawn from with the other kinds of connection; null: a budget of their own of the bounds above.
        ConnectionBudget* shared = nullptr;
    };
    // A GET answered: `address` as the request-line scan forms it (before decoding), the request's frame.
    // Returns how many bytes of the answer's body to keep (a manifest's), 0 for none.
    using Answered = std::function<std::size_t(std::u16string_view address, PacketNumber requestPacket,
                                               HttpResponseHead& response, std::string_view referer)>;
    // A kept body, whole or cut at its bound (`complete` false).
    using BodyRead = std::function<void(std::u16string_view address, std::span<const std::uint8_t> body, bool complete)>;

    ClearTextExchanges(Answered answered, BodyRead bodyRead) : ClearTextExchanges(std::move(answered), std::move(bodyRead), Limits{}) {}
    ClearTextExchanges(Answered answered, BodyRead bodyRead, Limits limits);
    ~ClearTextExchanges();
    ClearTextExchanges(const ClearTextExchanges&) = delete;
    ClearTextExchanges& operator=(const ClearTextExchanges&) = delete;

    void Segment(const TcpSegment& segment, PacketNumber packet);
    // The capture ended: what each connection keeps ahead of a gap is read now, the gap settled as lost.
    void EndCapture(PacketNumber packet);
    void Reset();
    HttpFollowStats Stats() const { return stats_; }
    std::size_t size() const { return connections_.size(); }
    std::size_t HeldBytes() const { return budget_.Used(); }

    // What a followed connection costs besides what it holds: its objects, table and list nodes.
    static const std::size_t kConnectionOverhead;
    // What a request waiting for its answer costs besides its address and Referer.
    static constexpr std::size_t kPendingOverhead = 96;

private:
    struct Key {
        std::array<std::uint8_t, 36> bytes{}; // client address and port, then the server's
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    struct Connection;
    using Table = std::unordered_map<Key, std::unique_ptr<Connection>, KeyHash>;

    static Key keyOf(const TcpSegment& segment, bool fromClient);
    // An endpoint (address and port, 18 bytes of a key), folded to a slot of endpointsFollowed_.
    static std::size_t endpointSlot(const std::uint8_t* endpoint);
    // The followed connection a segment belongs to, and whether it came from the server.
    Connection* find(const TcpSegment& segment, bool& fromServer);
    Connection* follow(const Key& key, const TcpSegment& segment);
    void handle(Connection& connection, const TcpSegment& segment, bool fromServer);
    void remove(Table::iterator it);
    void remove(Connection& connection);
    // Drops the idlest connections not in use until `bytes` are given back and `connections` gone.
    void reclaim(std::size_t bytes, std::size_t connections);
    // A request read from the client's stream: noted, within the connection's budget, to wait for its answer.
    void noteRequest(Connection& connection, const HttpRequest* request);
    // A response head on `connection`: pairs it with the oldest request waiting. True when that was a HEAD.
    bool answer(Connection& connection, HttpResponseHead& head);

    Answered answered_;
    BodyRead bodyRead_;
    HttpFollowStats stats_;
    Limits limits_;
    std::unique_ptr<ConnectionBudget> ownBudget_; // when none is shared
    ConnectionBudget& shared_;
    ByteBudget budget_;      // what the connections hold, their fixed costs among it
    ByteBudget connectionsHeld_; // one unit a connection
    Table connections_;
    std::list<Key> lru_; // most recently used at the back
    // How many endpoints of followed connections (clients' and servers') each slot holds: most
    // segments come from endpoints no followed connection has, and an empty slot says so at once.
    std::array<std::uint16_t, 4096> endpointsFollowed_{};
    // The last lookup: the segment's key read as the server's, and what it found (null: not followed).
    bool lastValid_ = false;
    Key lastKey_;
    Connection* last_ = nullptr;
    bool lastFromServer_ = true;
};

} // namespace velmora
