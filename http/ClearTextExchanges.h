#pragma once
// The servers' answers to clear-text GETs. A connection is followed from the first GET with a Host
// header seen on it: its requests are noted in order, the server's bytes put back in order, and each
// response head is paired with the request it answers (HTTP/1.x answers in request order). Bodies
// are skipped, never kept. Segments of connections not followed cost one lookup.

#include "capture/MediaAddressExtractor.h"
#include "tcp/ByteBudget.h"
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
    // The server's endpoint of a key, folded to a slot of serversFollowed_.
    static std::size_t serverSlot(const Key& key);
    // Notes the requests that begin this client payload; false when it holds none.
    bool clientRequests(const TcpSegment& segment, PacketNumber packet);
    void remove(Table::iterator it);
    // A response head on `connection`: pairs it with the oldest request waiting. True when that was a HEAD.
    bool answer(Connection& connection, HttpResponseHead& head);

    Answered answered_;
    BodyRead bodyRead_;
    HttpFollowStats stats_;
    Limits limits_;
    ByteBudget budget_;
    Table connections_;
    std::list<Key> lru_; // most recently used at the back
    // How many followed connections each slot of server endpoints holds: most segments come from
    // servers no followed connection talks to, and an empty slot says so without a lookup.
    std::array<std::uint16_t, 4096> serversFollowed_{};
    // The last lookup of a server's side: its key and connection (null: not followed).
    bool lastValid_ = false;
    Key lastKey_;
    Connection* last_ = nullptr;
};

} // namespace velmora
