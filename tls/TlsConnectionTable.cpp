#include "tls/TlsConnectionTable.h"

#include "tls/KeyLog.h"
#include "tcp/KeyedHash.h"
#include "tcp/TcpReassembler.h"
#include "tls/TlsConnection.h"
#include "tls/TlsHello.h"

#include <cstring>
#include <limits>

namespace velmora {

struct TlsConnectionTable::Entry {
    // One direction's reassembled bytes and gaps, to the connection.
    struct Direction final : TcpStreamSink {
        Direction(TlsConnection& tls, const PacketNumber& packet, bool client) : tls(tls), packet(packet), client(client) {}
        void Bytes(std::span<const std::uint8_t> bytes) override {
            client ? tls.ClientBytes(bytes, packet) : tls.ServerBytes(bytes, packet);
        }
        void Lost(std::uint64_t n) override { client ? tls.ClientLost(n) : tls.ServerLost(n); }
        TlsConnection& tls;
        const PacketNumber& packet;
        bool client;
    };

    Entry(KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& shared, std::size_t limit,
          std::vector<std::uint8_t>& plaintext, const PacketNumber& packet)
        : budget(std::min(limit, kBeforeServerHelloBytes), &shared), client(budget, limit), server(budget, limit),
          tls(keyLog, sink, budget, plaintext), toClient(tls, packet, true), toServer(tls, packet, false) {}

    ByteBudget budget; // first: everything below draws from it
    TcpReassembler client;
    TcpReassembler server;
    TlsConnection tls;
    Direction toClient; // what the client sent, to the connection
    Direction toServer; // what the server sent
    bool clientIsLower = false;
    bool grown = false; // the server's hello was seen: the connection may hold its full limit
    int busy = 0;       // its code is running: not to be dropped to make room
    TlsConnection::Outcome counted = TlsConnection::Outcome::Pending;
    bool countedWaiting = false;
    Lru::iterator age;
};

std::size_t TlsConnectionTable::EndpointsHash::operator()(const Endpoints& e) const {
    return static_cast<std::size_t>(KeyedHash(e.bytes));
}

TlsConnectionTable::TlsConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits)
    : keyLog_(keyLog), sink_(sink), limits_(limits),
      ownBudget_(limits.shared ? nullptr : std::make_unique<ConnectionBudget>(limits.totalBytes, limits.connections)),
      shared_(limits.shared ? *limits.shared : *ownBudget_),
      budget_(std::numeric_limits<std::size_t>::max(), &shared_.Bytes(ConnectionBudget::Kind::Tls)),
      connectionsHeld_(std::numeric_limits<std::size_t>::max(), &shared_.Connections(ConnectionBudget::Kind::Tls)) {
    shared_.SetReclaim(
        ConnectionBudget::Kind::Tls, this,
        [this](std::size_t bytes, std::size_t connections) { reclaim(bytes, connections); }, true);
}

TlsConnectionTable::~TlsConnectionTable() {
    shared_.ClearReclaim(ConnectionBudget::Kind::Tls, this);
    // Entries give their bytes back to budget_ as they go: before it.
    last_ = nullptr;
    connections_.clear();
}

std::size_t TlsConnectionTable::LongestChain() const {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < connections_.bucket_count(); ++i)
        longest = std::max(longest, connections_.bucket_size(i));
    return longest;
}

void TlsConnectionTable::account(Entry& entry) {
    if (!entry.grown && entry.tls.serverHello()) {
        entry.budget.SetTotal(limits_.connectionBytes);
        entry.grown = true;
    }
    auto counter = [this](TlsConnection::Outcome outcome) -> std::uint64_t* {
        switch (outcome) {
        case TlsConnection::Outcome::Decrypted:
            return &stats_.decrypted;
        case TlsConnection::Outcome::WithGaps:
            return &stats_.withGaps;
        case TlsConnection::Outcome::WithoutKeys:
            return &stats_.withoutKeys;
        case TlsConnection::Outcome::Abandoned:
            return &stats_.abandoned;
        case TlsConnection::Outcome::Unsupported:
            return &stats_.unsupported;
        case TlsConnection::Outcome::Failed:
            return &stats_.failed;
        case TlsConnection::Outcome::Pending:
            break;
        }
        return nullptr;
    };
    const TlsConnection::Outcome now = entry.tls.outcome();
    if (now != entry.counted) {
        if (auto* before = counter(entry.counted))
            --*before;
        if (auto* after = counter(now))
            ++*after;
        entry.counted = now;
    }
    const bool waiting = entry.tls.WaitingForKeys();
    if (waiting != entry.countedWaiting) {
        waitingForKeys_ += waiting ? 1 : -1;
        entry.countedWaiting = waiting;
    }
}

void TlsConnectionTable::remove(Map::iterator it) {
    Entry& entry = *it->second;
    ++entry.busy;
    // What waits ahead of a gap is read before the connection goes.
    if (entry.client.Holding() && entry.tls.WantsClientBytes())
        entry.client.Flush(entry.toClient);
    if (entry.server.Holding() && entry.tls.WantsServerBytes())
        entry.server.Flush(entry.toServer);
    if (entry.tls.WaitingForKeys()) {
        // Closing: a last look at the key log before what waits is given up. Keys read now may be
        // what other connections wait for too.
        if (keyLog_.Refresh())
            keysAdded_ = true;
        entry.tls.RetryKeys();
    }
    entry.tls.Close();
    account(entry);
    if (last_ == &entry)
        last_ = nullptr;
    lru_.erase(entry.age);
    connections_.erase(it);
    budget_.Give(kConnectionOverhead);
    connectionsHeld_.Give(1);
}

void TlsConnectionTable::reclaim(std::size_t bytes, std::size_t connections) {
    std::size_t freed = 0, dropped = 0;
    for (auto age = lru_.begin(); age != lru_.end() && (freed < bytes || dropped < connections);) {
        const auto it = connections_.find(*age);
        ++age;
        if (it->second->busy)
            continue;
        freed += it->second->budget.Used() + kConnectionOverhead;
        remove(it);
        ++dropped;
    }
}

void TlsConnectionTable::offerKeys() {
    keysAdded_ = false;
    if (waitingForKeys_ == 0)
        return;
    // By key rather than by iterator: a connection that takes room may drop others.
    std::vector<Endpoints> waiting;
    for (const auto& [key, entry] : connections_)
        if (entry->countedWaiting)
            waiting.push_back(key);
    for (const Endpoints& key : waiting) {
        const auto it = connections_.find(key);
        if (it == connections_.end())
            continue;
        Entry& entry = *it->second;
        ++entry.busy;
        entry.tls.RetryKeys();
        account(entry);
        --entry.busy;
    }
}

void TlsConnectionTable::KeysAdded() {
    offerKeys();
}

void TlsConnectionTable::CloseAll() {
    if (waitingForKeys_ > 0 && keyLog_.Refresh())
        offerKeys();
    while (!connections_.empty())
        remove(connections_.begin());
    if (keysAdded_)
        offerKeys();
}

bool TlsConnectionTable::Reopens(const Entry& entry, const TcpSegment& segment) {
    if (segment.syn && !segment.ack)
        return segment.sequence + 1 != entry.client.FirstSequence(); // not the first SYN again
    return StartsClientHello(segment.payload) && !entry.client.Within(segment.sequence);
}

TlsConnectionTable::Map::iterator TlsConnectionTable::follow(const Endpoints& key, bool senderIsLower,
                                                             const TcpSegment& segment) {
    // Only a connection whose client bytes begin with a ClientHello is followed.
    if (!StartsClientHello(segment.payload))
        return connections_.end();
    if (connections_.size() >= limits_.connections && !lru_.empty())
        remove(connections_.find(lru_.front()));
    // The bound shared with the other kinds of connection: the idlest of this kind make room when
    // the others have none to give.
    bool counted = connectionsHeld_.Take(1);
    for (; !counted && !lru_.empty(); counted = connectionsHeld_.Take(1))
        remove(connections_.find(lru_.front()));
    ++stats_.seen;
    if (!counted || !budget_.Take(kConnectionOverhead)) {
        if (counted)
            connectionsHeld_.Give(1);
        ++stats_.failed; // no room even after the idlest went: counted, not followed
        return connections_.end();
    }
    auto entry = std::make_unique<Entry>(keyLog_, sink_, budget_, limits_.connectionBytes, plaintext_, packet_);
    entry->clientIsLower = senderIsLower;
    // A SYN that carries the ClientHello (TCP Fast Open) numbers its first byte one past it.
    entry->client.Start(segment.syn ? segment.sequence + 1 : segment.sequence);
    // The server's first byte is the one the ClientHello acknowledges.
    if (segment.ack)
        entry->server.Start(segment.acknowledgement);
    entry->age = lru_.insert(lru_.end(), key);
    return connections_.emplace(key, std::move(entry)).first;
}

void TlsConnectionTable::Segment(const TcpSegment& segment, PacketNumber packet) {
    packet_ = packet;
    if (connections_.empty() && !StartsClientHello(segment.payload))
        return; // nothing followed and nothing to start: the common case costs no lookup
    // The key: the lower endpoint (address, then port) first, so both directions find it.
    const std::size_t n = segment.addressBytes;
    int order = std::memcmp(segment.source, segment.destination, n);
    if (order == 0)
        order = segment.sourcePort - segment.destinationPort;
    const bool senderIsLower = order < 0;
    Endpoints key;
    auto put = [&](std::size_t at, const std::uint8_t* address, std::uint16_t port) {
        std::memcpy(key.bytes.data() + at, address, n);
        key.bytes[at + 16] = static_cast<std::uint8_t>(port >> 8);
        key.bytes[at + 17] = static_cast<std::uint8_t>(port);
    };
    put(0, senderIsLower ? segment.source : segment.destination,
        senderIsLower ? segment.sourcePort : segment.destinationPort);
    put(18, senderIsLower ? segment.destination : segment.source,
        senderIsLower ? segment.destinationPort : segment.sourcePort);
    key.bytes[36] = static_cast<std::uint8_t>(n);

    Entry* entry = nullptr;
    if (last_ && key == lastKey_) {
        entry = last_;
    } else if (const auto it = connections_.find(key); it != connections_.end()) {
        entry = it->second.get();
    }
    if (entry && senderIsLower == entry->clientIsLower && Reopens(*entry, segment)) {
        remove(connections_.find(key));
        entry = nullptr;
    }
    if (!entry) {
        const auto it = follow(key, senderIsLower, segment);
        entry = it == connections_.end() ? nullptr : it->second.get();
    }
    if (entry) {
        last_ = entry;
        lastKey_ = key;
        handle(*entry, senderIsLower, segment);
    }
    if (keysAdded_)
        offerKeys();
}

void TlsConnectionTable::handle(Entry& entry, bool senderIsLower, const TcpSegment& segment) {
    if (std::next(entry.age) != lru_.end())
        lru_.splice(lru_.end(), lru_, entry.age);
    const bool fromClient = senderIsLower == entry.clientIsLower;
    ++entry.busy;
    if (fromClient) {
        // What the client acknowledges it had: a hole before it in the server's bytes will not fill. Read
        // before the client's bytes, so the requests sent after the gap are told from those before it.
        // Only from a segment of the client's own stream: a stray one's acknowledgement means nothing.
        if (segment.ack && entry.server.Started() && entry.tls.WantsServerBytes() &&
            entry.client.Within(segment.sequence))
            entry.server.Acknowledged(segment.acknowledgement, entry.toServer);
        if (!entry.tls.WantsClientBytes())
            entry.client.Track(segment.sequence, segment.payload.size() + segment.missing);
        else
            entry.client.Add(segment.sequence, segment.payload, entry.toClient, segment.missing);
    } else if (entry.tls.WantsServerBytes()) {
        if (!entry.server.Started()) {
            if (segment.syn)
                entry.server.Start(segment.sequence + 1);
            else if (!segment.payload.empty())
                entry.server.Start(segment.sequence);
        }
        entry.server.Add(segment.sequence, segment.payload, entry.toServer, segment.missing);
        if (segment.ack && entry.client.Started() && entry.tls.WantsClientBytes() &&
            entry.server.Within(segment.sequence))
            entry.client.Acknowledged(segment.acknowledgement, entry.toClient);
    } else {
        // The server's answers are not read (any more); its place in the stream is kept, for its RST.
        entry.server.Track(segment.sequence, segment.payload.size() + segment.missing);
    }
    account(entry);
    --entry.busy;
    // A RST or the client's FIN ends the connection only where the stream stands: one elsewhere is
    // not the peer's (a spoofed or stray segment), and a real stack would drop it too.
    const TcpReassembler& sender = fromClient ? entry.client : entry.server;
    const bool ends = segment.rst
                          ? sender.AtNext(segment.sequence)
                          : fromClient && segment.fin &&
                                sender.AtNext(segment.sequence + static_cast<std::uint32_t>(segment.payload.size()));
    if (ends)
        remove(connections_.find(*entry.age));
}

} // namespace velmora
