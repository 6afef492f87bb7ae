#include "quic/QuicConnectionTable.h"

#include "capture/TcpPayload.h"
#include "tls/KeyLog.h"
#include "tcp/KeyedHash.h"
#include "quic/QuicConnection.h"
#include "quic/QuicVarint.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <cstring>
#include <vector>

namespace velmora {
namespace {

constexpr std::size_t kMaxConnectionId = 20;
// A client's first Initial fills a datagram of at least this size (RFC 9000 section 14.1) and
// carries a Destination Connection ID of at least 8 bytes (section 7.2).
constexpr std::size_t kMinClientInitialDatagram = 1200;
constexpr std::size_t kMinOriginalIdBytes = 8;

} // namespace

struct QuicConnectionTable::Entry {
    Entry(QuicConnectionTable& table, const QuicVersion& version, std::span<const std::uint8_t> destinationId,
          std::size_t limit)
        : budget(limit, &table.budget_),
          connection(
              version, destinationId, table.keyLog_, table.sink_, budget,
              [&table, this](bool fromClient, std::uint64_t sequence, std::span<const std::uint8_t> id) {
                  table.addId(*this, idOf(id), fromClient, sequence);
              },
              [&table, this](bool fromClient, std::uint64_t from, std::uint64_t to) {
                  table.retireIds(*this, fromClient, from, to);
              }) {}

    ByteBudget budget; // first: the connection draws from it
    QuicConnection connection;
    std::vector<OwnedId> ids;
    std::list<Entry>::iterator self;
    QuicConnection::Outcome counted = QuicConnection::Outcome::Pending;
    bool countedWaiting = false;
};

bool ReadUdpDatagram(std::span<const std::uint8_t> frame, int linkType, UdpDatagram& datagram) {
    const auto at = LocateUdpDatagram(frame, linkType);
    if (!at)
        return false;
    datagram.addressBytes = at->ipv6 ? 16 : 4;
    datagram.source = frame.data() + at->ipAt + (at->ipv6 ? 8 : 12);
    datagram.destination = datagram.source + datagram.addressBytes;
    const std::uint8_t* udp = frame.data() + at->tcpAt;
    datagram.sourcePort = static_cast<std::uint16_t>(udp[0] << 8 | udp[1]);
    datagram.destinationPort = static_cast<std::uint16_t>(udp[2] << 8 | udp[3]);
    datagram.payload = frame.subspan(at->payloadAt, at->end - at->payloadAt);
    return true;
}

std::size_t QuicConnectionTable::IdHash::operator()(const Id& id) const {
    // Keyed per process, so that IDs chosen by a peer cannot be lined up in one bucket.
    std::array<std::uint8_t, 22> bytes{};
    std::memcpy(bytes.data(), id.bytes.data(), id.bytes.size());
    bytes[20] = id.length;
    bytes[21] = id.endpoint ? 1 : 0;
    return static_cast<std::size_t>(KeyedHash(bytes));
}

QuicConnectionTable::QuicConnectionTable(KeyLog& keyLog, HttpRequestSink& sink,
                                         const HttpsRequestFinder::Limits& limits)
    : keyLog_(keyLog), sink_(sink), limits_(limits), ownBudget_(limits.shared ? nullptr : std::make_unique<ConnectionBudget>(limits.totalBytes, limits.connections)),
      shared_(limits.shared ? *limits.shared : *ownBudget_),
      budget_(std::numeric_limits<std::size_t>::max(), &shared_.Bytes(ConnectionBudget::Kind::Quic)),
      connectionsHeld_(std::numeric_limits<std::size_t>::max(), &shared_.Connections(ConnectionBudget::Kind::Quic)) {
    shared_.SetReclaim(
        ConnectionBudget::Kind::Quic, this,
        [this](std::size_t bytes, std::size_t connections) { reclaim(bytes, connections); }, false);
}

QuicConnectionTable::~QuicConnectionTable() {
    shared_.ClearReclaim(ConnectionBudget::Kind::Quic, this);
    dropUnrouted();
    routes_.clear();
    entries_.clear();
}

QuicConnectionTable::Id QuicConnectionTable::endpointId(const std::uint8_t* address, std::uint8_t addressBytes,
                                                        std::uint16_t port) {
    Id id;
    id.endpoint = true;
    id.length = addressBytes;
    std::memcpy(id.bytes.data(), address, addressBytes);
    id.bytes[16] = static_cast<std::uint8_t>(port >> 8);
    id.bytes[17] = static_cast<std::uint8_t>(port);
    return id;
}

QuicConnectionTable::Id QuicConnectionTable::idOf(std::span<const std::uint8_t> bytes) {
    Id id;
    id.length = static_cast<std::uint8_t>(bytes.size());
    std::memcpy(id.bytes.data(), bytes.data(), bytes.size());
    return id;
}

void QuicConnectionTable::addId(Entry& entry, const Id& id, bool fromClient, std::uint64_t sequence) {
    if (entry.ids.size() >= kMaxIdsPerConnection)
        return;
    const auto [it, inserted] = routes_.try_emplace(id, Route{&entry, fromClient});
    if (!inserted)
        return;
    entry.ids.push_back({id, fromClient, sequence});
    ++idLengths_[id.endpoint ? 0 : id.length];
    newIds_ = true;
}

void QuicConnectionTable::retireIds(Entry& entry, bool fromClient, std::uint64_t from, std::uint64_t to) {
    std::erase_if(entry.ids, [&](const OwnedId& owned) {
        if (owned.fromClient != fromClient || owned.sequence == kNoSequence || owned.sequence < from ||
            owned.sequence >= to)
            return false;
        routes_.erase(owned.id);
        --idLengths_[owned.id.endpoint ? 0 : owned.id.length];
        return true;
    });
}

bool QuicConnectionTable::initialOpens(const QuicVersion& version, std::span<const std::uint8_t> destinationId,
                                       const QuicPacketHeader& header, std::span<const std::uint8_t> packet) {
    if (!probeKeys_)
        probeKeys_ = std::make_unique<QuicPacketProtection>();
    return QuicConnection::ClientInitialOpens(version, destinationId, header, packet, *probeKeys_, probeScratch_,
                                              probePlaintext_);
}

void QuicConnectionTable::remove(Entry& entry) {
    for (const OwnedId& owned : entry.ids) {
        routes_.erase(owned.id);
        --idLengths_[owned.id.endpoint ? 0 : owned.id.length];
    }
    if (entry.countedWaiting)
        --waitingForKeys_;
    entries_.erase(entry.self);
    budget_.Give(kConnectionOverhead);
    connectionsHeld_.Give(1);
}

bool QuicConnectionTable::makeRoom(std::size_t bytes) {
    while (!budget_.Take(bytes)) {
        if (entries_.empty())
            return false;
        remove(entries_.front());
    }
    return true;
}

void QuicConnectionTable::reclaim(std::size_t bytes, std::size_t connections) {
    const std::size_t before = budget_.Used();
    for (std::size_t dropped = 0;
         !entries_.empty() && (before - std::min(before, budget_.Used()) < bytes || dropped < connections); ++dropped)
        remove(entries_.front());
}

void QuicConnectionTable::touch(Entry& entry) {
    if (std::next(entry.self) != entries_.end())
        entries_.splice(entries_.end(), entries_, entry.self);
}

void QuicConnectionTable::account(Entry& entry) {
    auto counter = [this](QuicConnection::Outcome outcome) -> std::uint64_t* {
        switch (outcome) {
        case QuicConnection::Outcome::Decrypted:
            return &stats_.decrypted;
        case QuicConnection::Outcome::WithoutKeys:
            return &stats_.withoutKeys;
        case QuicConnection::Outcome::Abandoned:
            return &stats_.abandoned;
        case QuicConnection::Outcome::Pending:
            break;
        }
        return nullptr;
    };
    const QuicConnection::Outcome now = entry.connection.outcome();
    if (now != entry.counted) {
        if (auto* before = counter(entry.counted))
            --*before;
        if (auto* after = counter(now))
            ++*after;
        entry.counted = now;
    }
    const bool waiting = entry.connection.WaitingForKeys();
    if (waiting != entry.countedWaiting) {
        waitingForKeys_ += waiting ? 1 : -1;
        entry.countedWaiting = waiting;
    }
}

QuicConnectionTable::Entry* QuicConnectionTable::start(std::span<const std::uint8_t> destinationId,
                                                       std::span<const std::uint8_t> sourceId,
                                                       const UdpDatagram& datagram, std::uint32_t version) {
    if (entries_.size() >= limits_.connections && !entries_.empty())
        remove(entries_.front());
    while (!connectionsHeld_.Take(1)) {
        if (entries_.empty())
            return nullptr;
        remove(entries_.front());
    }
    if (!makeRoom(kConnectionOverhead)) {
        connectionsHeld_.Give(1);
        return nullptr;
    }
    entries_.emplace_back(*this, *FindQuicVersion(version), destinationId, limits_.connectionBytes);
    Entry& entry = entries_.back();
    entry.self = std::prev(entries_.end());
    addId(entry, idOf(destinationId), true, kNoSequence);
    if (sourceId.empty()) {
        // The client takes no ID: the server's packets are known by the client's address and port.
        addId(entry, endpointId(datagram.source, datagram.addressBytes, datagram.sourcePort), false, kNoSequence);
    } else {
        addId(entry, idOf(sourceId), false, 0); // the client's ID of sequence number 0
    }
    return &entry;
}

bool QuicConnectionTable::shortHeader(std::span<const std::uint8_t> p, const UdpDatagram* datagram,
                                      PacketNumber frame) {
    // The Destination Connection ID is as long as the connection made it: each length in use is tried.
    for (std::size_t length = 0; length <= kMaxConnectionId; ++length) {
        if (idLengths_[length] == 0 || p.size() <= 1 + length || (length == 0 && !datagram))
            continue;
        Id id;
        if (length == 0) {
            id = endpointId(datagram->destination, datagram->addressBytes, datagram->destinationPort);
        } else {
            id.length = static_cast<std::uint8_t>(length);
            std::memcpy(id.bytes.data(), p.data() + 1, length);
        }
        const auto it = routes_.find(id);
        if (it == routes_.end())
            continue;
        Entry& entry = *it->second.entry;
        QuicPacketHeader header;
        header.packetNumberAt = 1 + length;
        entry.connection.Packet(it->second.fromClient, header, p, frame);
        touch(entry);
        account(entry);
        if (entry.connection.Closed())
            remove(entry);
        return true;
    }
    return false;
}

void QuicConnectionTable::keepUnrouted(std::span<const std::uint8_t> p, PacketNumber frame) {
    // While connections wait for keys, the IDs their endpoints hand out are still unread: a packet
    // that carries one is kept, to be read once the keys have come.
    Unrouted kept{{}, frame};
    if (unrouted_.size() >= kMaxUnrouted) {
        kept.bytes.swap(unrouted_.front().bytes); // its memory is used again
        budget_.Give(kept.bytes.size());
        unrouted_.pop_front();
    }
    if (!budget_.Take(p.size()))
        return;
    kept.bytes.assign(p.begin(), p.end());
    unrouted_.push_back(std::move(kept));
}

void QuicConnectionTable::routeUnrouted() {
    while (newIds_ && !unrouted_.empty()) {
        newIds_ = false;
        for (auto it = unrouted_.begin(); it != unrouted_.end();) {
            if (!shortHeader(it->bytes, nullptr, it->frame)) {
                ++it;
                continue;
            }
            budget_.Give(it->bytes.size());
            it = unrouted_.erase(it);
        }
    }
    newIds_ = false;
}

void QuicConnectionTable::dropUnrouted() {
    for (const Unrouted& u : unrouted_)
        budget_.Give(u.bytes.size());
    unrouted_.clear();
}

std::size_t QuicConnectionTable::packet(std::span<const std::uint8_t> p, const UdpDatagram& datagram,
                                        PacketNumber frame) {
    const std::uint8_t first = p[0];
    if (!(first & 0x80)) {
        // A short header, to the datagram's end.
        if (!shortHeader(p, &datagram, frame) && waitingForKeys_ > 0)
            keepUnrouted(p, frame);
        return p.size();
    }
    // A long header: version, both IDs with their lengths.
    if (p.size() < 7)
        return 0;
    const std::uint32_t number = std::uint32_t{p[1]} << 24 | p[2] << 16 | p[3] << 8 | p[4];
    const QuicVersion* version = FindQuicVersion(number);
    if (!version)
        return 0; // Version Negotiation (0) and versions not read
    std::size_t at = 5;
    const std::size_t destinationLength = p[at++];
    if (destinationLength > kMaxConnectionId || p.size() < at + destinationLength + 1)
        return 0;
    const auto destination = p.subspan(at, destinationLength);
    at += destinationLength;
    const std::size_t sourceLength = p[at++];
    if (sourceLength > kMaxConnectionId || p.size() < at + sourceLength)
        return 0;
    const auto source = p.subspan(at, sourceLength);
    at += sourceLength;
    QuicPacketHeader header;
    header.longHeader = true;
    header.type = version->types[(first >> 4) & 0x03];

    Id id;
    if (destinationLength == 0) {
        id = endpointId(datagram.destination, datagram.addressBytes, datagram.destinationPort);
    } else {
        id.length = static_cast<std::uint8_t>(destinationLength);
        std::memcpy(id.bytes.data(), destination.data(), destinationLength);
    }
    auto route = routes_.find(id);
    if (header.type == QuicPacketType::Retry) {
        // The server's new ID becomes the client's Destination Connection ID, and the Initial keys'.
        if (route != routes_.end() && !route->second.fromClient && !source.empty()) {
            Entry& entry = *route->second.entry;
            if (entry.connection.Retry(p, source))
                addId(entry, idOf(source), true, kNoSequence);
        }
        return 0; // a Retry fills its datagram
    }
    if (header.type == QuicPacketType::Initial) {
        const auto tokenLength = ReadQuicVarint(p, at);
        if (!tokenLength || *tokenLength > p.size() - at)
            return 0;
        at += static_cast<std::size_t>(*tokenLength);
    }
    const auto length = ReadQuicVarint(p, at);
    if (!length || *length > p.size() - at)
        return 0;
    header.packetNumberAt = at;
    const std::size_t end = at + static_cast<std::size_t>(*length);
    const auto bytes = p.first(end);

    if (route != routes_.end() && route->second.fromClient && header.type == QuicPacketType::Initial &&
        &route->second.entry->connection.version() != version) {
        // Back from a Version Negotiation with the same ID: a new attempt in the version the server
        // speaks, but only while the server has not answered in the first one, and only if it opens.
        if (route->second.entry->connection.ServerHeard() || !initialOpens(*version, destination, header, bytes))
            return end;
        remove(*route->second.entry);
        route = routes_.end();
    }
    if (route == routes_.end()) {
        if (header.type != QuicPacketType::Initial || datagram.payload.size() < kMinClientInitialDatagram ||
            destinationLength < kMinOriginalIdBytes || !initialOpens(*version, destination, header, bytes))
            return end;
        Entry* entry = start(destination, source, datagram, number);
        if (!entry)
            return 0; // no room even with every connection gone
        entry->connection.Packet(true, header, bytes, frame);
        if (!entry->connection.Confirmed()) {
            remove(*entry); // not a client's first Initial after all
            return 0;
        }
        ++stats_.seen;
        account(*entry);
        return end;
    }
    Entry& entry = *route->second.entry;
    const bool fromClient = route->second.fromClient;
    const bool opened = entry.connection.Packet(fromClient, header, bytes, frame);
    if (opened && !fromClient && !source.empty()) {
        // The server's own ID (sequence number 0), which the client's packets carry from now on.
        addId(entry, idOf(source), true, 0);
    }
    touch(entry);
    account(entry);
    if (entry.connection.Closed())
        remove(entry);
    return end;
}

std::size_t QuicConnectionTable::segmentSize(std::span<const std::uint8_t> p) const {
    // The segments of one send go to one connection: the size is where the first packet's
    // Destination Connection ID starts a packet again, at every multiple.
    std::span<const std::uint8_t> id;
    if (p[0] & 0x80) {
        if (p.size() < 6 || !FindQuicVersion(std::uint32_t{p[1]} << 24 | p[2] << 16 | p[3] << 8 | p[4]) || p[5] == 0 ||
            p[5] > kMaxConnectionId || p.size() < 6u + p[5])
            return 0;
        id = p.subspan(6, p[5]);
    } else {
        for (std::size_t length = 1; length <= kMaxConnectionId && id.empty(); ++length) {
            Id key;
            key.length = static_cast<std::uint8_t>(length);
            if (idLengths_[length] == 0 || p.size() <= 1 + length)
                continue;
            std::memcpy(key.bytes.data(), p.data() + 1, length);
            if (routes_.contains(key))
                id = p.subspan(1, length);
        }
        if (id.empty())
            return 0;
    }
    auto startsPacket = [&](std::size_t at) {
        if (p[at] & 0x80)
            return p.size() >= at + 6 + id.size() && p[at + 5] == id.size() &&
                   std::memcmp(p.data() + at + 6, id.data(), id.size()) == 0;
        return (p[at] & 0x40) && p.size() > at + 1 + id.size() &&
               std::memcmp(p.data() + at + 1, id.data(), id.size()) == 0;
    };
    for (std::size_t size = kMinSegmentBytes; size < p.size(); ++size) {
        bool all = true;
        for (std::size_t at = size; at < p.size() && all; at += size)
            all = startsPacket(at);
        if (all)
            return size;
    }
    return 0;
}

void QuicConnectionTable::Datagram(const UdpDatagram& datagram, PacketNumber frame) {
    std::span<const std::uint8_t> p = datagram.payload;
    // Most datagrams of other protocols fail here: no long header, and no connection to look up.
    if (p.empty() || (!(p[0] & 0x80) && routes_.empty()))
        return;
    if (waitingForKeys_ > 0) {
        // The browser appends keys as it connects; look a few times a second, not on every datagram.
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        if (now - lastRefreshMs_ >= 100) {
            lastRefreshMs_ = now;
            keyLog_.Refresh();
        }
        if (keyLog_.Generation() != generation_)
            KeysAdded();
    }
    // A capture on the sending host shows a UDP GSO send as one datagram: its segments are read one by one.
    const std::size_t segment = p.size() > kMaxSegmentBytes ? segmentSize(p) : 0;
    for (std::size_t at = 0; at < p.size(); at += segment ? segment : p.size()) {
        auto rest = p.subspan(at, segment ? std::min(segment, p.size() - at) : p.size() - at);
        // Coalesced packets: long headers carry their length; a short header runs to the end.
        while (!rest.empty()) {
            const std::size_t used = packet(rest, datagram, frame);
            if (used == 0 || used >= rest.size())
                break;
            rest = rest.subspan(used);
        }
    }
    if (!unrouted_.empty()) {
        if (waitingForKeys_ == 0)
            dropUnrouted();
        else if (newIds_)
            routeUnrouted();
    }
}

void QuicConnectionTable::KeysAdded() {
    generation_ = keyLog_.Generation();
    if (waitingForKeys_ == 0)
        return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        Entry& entry = *it++;
        if (!entry.countedWaiting)
            continue;
        entry.connection.RetryKeys();
        account(entry);
        if (entry.connection.Closed())
            remove(entry);
    }
    routeUnrouted();
    if (waitingForKeys_ == 0)
        dropUnrouted();
}

} // namespace velmora
