#include "decrypt/TlsConnectionTable.h"

#include "capture/TcpPayload.h"
#include "decrypt/KeyLog.h"
#include "decrypt/TcpReassembler.h"
#include "decrypt/TlsConnection.h"
#include "decrypt/TlsHello.h"

#include <cstring>
#include <string_view>

namespace velmora {

namespace {
constexpr std::uint8_t kFin = 0x01;
constexpr std::uint8_t kSyn = 0x02;
constexpr std::uint8_t kRst = 0x04;
constexpr std::uint8_t kAck = 0x10;
} // namespace

struct TlsConnectionTable::Entry {
    Entry(KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& shared, std::size_t limit)
        : budget(limit, &shared), client(budget, limit), server(budget, limit), tls(keyLog, sink, budget) {}

    ByteBudget budget; // first: everything below draws from it
    TcpReassembler client;
    TcpReassembler server;
    TlsConnection tls;
    bool clientIsLower = false;
    TlsConnection::Outcome counted = TlsConnection::Outcome::Pending;
    bool countedWaiting = false;
    Lru::iterator age;
};

bool ReadTcpSegment(std::span<const std::uint8_t> frame, int linkType, TcpSegment& segment) {
    const auto at = LocateTcpSegment(frame, linkType);
    if (!at)
        return false;
    segment.addressBytes = at->ipv6 ? 16 : 4;
    segment.source = frame.data() + at->ipAt + (at->ipv6 ? 8 : 12);
    segment.destination = segment.source + segment.addressBytes;
    const std::uint8_t* tcp = frame.data() + at->tcpAt;
    segment.sourcePort = static_cast<std::uint16_t>(tcp[0] << 8 | tcp[1]);
    segment.destinationPort = static_cast<std::uint16_t>(tcp[2] << 8 | tcp[3]);
    segment.sequence = std::uint32_t{tcp[4]} << 24 | tcp[5] << 16 | tcp[6] << 8 | tcp[7];
    segment.acknowledgement = std::uint32_t{tcp[8]} << 24 | tcp[9] << 16 | tcp[10] << 8 | tcp[11];
    segment.ack = tcp[13] & kAck;
    segment.fin = tcp[13] & kFin;
    segment.syn = tcp[13] & kSyn;
    segment.rst = tcp[13] & kRst;
    segment.payload = frame.subspan(at->payloadAt, at->end - at->payloadAt);
    return true;
}

std::size_t TlsConnectionTable::EndpointsHash::operator()(const Endpoints& e) const {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size()));
}

TlsConnectionTable::TlsConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits)
    : keyLog_(keyLog), sink_(sink), limits_(limits), budget_(limits.totalBytes) {}

TlsConnectionTable::~TlsConnectionTable() = default;

void TlsConnectionTable::account(Entry& entry) {
    auto counter = [this](TlsConnection::Outcome outcome) -> std::uint64_t* {
        switch (outcome) {
        case TlsConnection::Outcome::Decrypted:
            return &stats_.decrypted;
        case TlsConnection::Outcome::WithoutKeys:
            return &stats_.withoutKeys;
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

void TlsConnectionTable::remove(std::unordered_map<Endpoints, std::unique_ptr<Entry>, EndpointsHash>::iterator it) {
    Entry& entry = *it->second;
    if (entry.tls.WaitingForKeys()) {
        // Closing: a last look at the key log before what waits is given up.
        if (keyLog_.Refresh())
            entry.tls.RetryKeys();
    }
    entry.tls.Close();
    account(entry);
    if (last_ == &entry)
        last_ = nullptr;
    lru_.erase(entry.age);
    connections_.erase(it);
}

void TlsConnectionTable::Segment(const TcpSegment& segment, PacketNumber packet) {
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

    if (last_ && key == lastKey_) {
        handle(*last_, senderIsLower, segment, packet);
        return;
    }
    auto it = connections_.find(key);
    if (it == connections_.end()) {
        // Only a connection whose client bytes begin with a ClientHello is followed.
        if (!StartsClientHello(segment.payload))
            return;
        if (connections_.size() >= limits_.connections && !lru_.empty())
            remove(connections_.find(lru_.front()));
        auto entry = std::make_unique<Entry>(keyLog_, sink_, budget_, limits_.connectionBytes);
        entry->clientIsLower = senderIsLower;
        // A SYN that carries the ClientHello (TCP Fast Open) numbers its first byte one past it.
        entry->client.Start(segment.syn ? segment.sequence + 1 : segment.sequence);
        // The server's first byte is the one the ClientHello acknowledges.
        if (segment.ack)
            entry->server.Start(segment.acknowledgement);
        entry->age = lru_.insert(lru_.end(), key);
        it = connections_.emplace(key, std::move(entry)).first;
        ++stats_.seen;
    }
    last_ = it->second.get();
    lastKey_ = key;
    handle(*last_, senderIsLower, segment, packet);
}

void TlsConnectionTable::handle(Entry& entry, bool senderIsLower, const TcpSegment& segment, PacketNumber packet) {
    if (std::next(entry.age) != lru_.end())
        lru_.splice(lru_.end(), lru_, entry.age);
    const bool fromClient = senderIsLower == entry.clientIsLower;
    if (fromClient) {
        if (entry.tls.WantsClientBytes() &&
            !entry.client.Add(segment.sequence, segment.payload,
                              [&](std::span<const std::uint8_t> bytes) { entry.tls.ClientBytes(bytes, packet); }))
            entry.tls.StreamBroken();
    } else if (entry.tls.WantsServerBytes()) {
        if (!entry.server.Started()) {
            if (segment.syn)
                entry.server.Start(segment.sequence + 1);
            else if (!segment.payload.empty())
                entry.server.Start(segment.sequence);
        }
        if (!entry.server.Add(segment.sequence, segment.payload,
                              [&](std::span<const std::uint8_t> bytes) { entry.tls.ServerBytes(bytes); }))
            entry.tls.StreamBroken();
    } else if (!segment.fin && !segment.rst) {
        return; // the server's data after its hello: nothing to read
    }
    account(entry);
    if (segment.rst || (fromClient && segment.fin))
        remove(connections_.find(*entry.age));
}

void TlsConnectionTable::KeysAdded() {
    if (waitingForKeys_ == 0)
        return;
    for (auto& [key, entry] : connections_) {
        if (!entry->countedWaiting)
            continue;
        entry->tls.RetryKeys();
        account(*entry);
    }
}

} // namespace velmora
