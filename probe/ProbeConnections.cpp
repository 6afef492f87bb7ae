#include "probe/ProbeConnections.h"

#include "http/HttpExchanges.h"
#include "http/HttpRequestReader.h"
#include "probe/StreamStart.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace velmora::probe {

struct ProbeConnections::Entry {
    // What reads a connection once its first bytes showed HTTP; gone once it is no longer read.
    struct Readers {
        Readers(HttpRequestSink& sink, ByteBudget& budget) : exchanges(sink, budget), requests(exchanges, budget) {}
        HttpExchanges exchanges; // between the request reader and the sink: pairs answers with requests
        HttpRequestReader requests;
    };
    // One direction's calls: the one whose chunks are arriving, and the sequence the next must have.
    struct Calls {
        bool open = false;
        std::uint64_t sequence = 0;
        std::uint32_t next = 0;                    // offset the next chunk must have
        std::uint32_t reported = 0;                // bytes of the call the helper reports
        std::optional<std::uint64_t> nextSequence; // unknown until a call of this direction is followed
    };
    enum class State { Starting, Reading, Stopped };

    Entry(ByteBudget& shared, std::size_t limit) : budget(limit, &shared) {}

    ByteBudget budget; // first: the readers draw from it
    std::unique_ptr<Readers> readers;
    State state = State::Starting;
    std::optional<ProbeSocket> socket;
    bool seenData = false;
    std::array<Calls, 2> calls;
    std::array<std::uint8_t, kStreamStartBytes> start{}; // the client's first bytes, until they tell HTTP
    std::size_t startBytes = 0;
    int busy = 0; // being read: not to be dropped to make room
    Lru::iterator age;
};

ProbeConnections::ProbeConnections(HttpRequestSink& sink, Limits limits)
    : sink_(sink), limits_(limits),
      ownBudget_(limits.shared ? nullptr : std::make_unique<ConnectionBudget>(limits.totalBytes, limits.connections)),
      shared_(limits.shared ? *limits.shared : *ownBudget_),
      budget_(std::numeric_limits<std::size_t>::max(), &shared_.Bytes(ConnectionBudget::Kind::Probe)),
      connectionsHeld_(std::numeric_limits<std::size_t>::max(), &shared_.Connections(ConnectionBudget::Kind::Probe)) {
    shared_.SetReclaim(
        ConnectionBudget::Kind::Probe, this,
        [this](std::size_t bytes, std::size_t connections) { reclaim(bytes, connections); }, true);
}

ProbeConnections::~ProbeConnections() {
    shared_.ClearReclaim(ConnectionBudget::Kind::Probe, this);
    while (!connections_.empty())
        remove(connections_.begin());
}

ProbeConnections::Key ProbeConnections::keyOf(const ProbeRecord& record) {
    Key key{};
    std::memcpy(key.data(), &record.pid, 4);
    std::memcpy(key.data() + 4, &record.handle, 8);
    return key;
}

void ProbeConnections::Record(const ProbeRecord& record) {
    ++stats_.records;
    current_ = &record;
    switch (record.type) {
    case RecordType::Data:
        data(record);
        break;
    case RecordType::Connection:
        connection(record);
        break;
    case RecordType::Process:
        process(record);
        break;
    case RecordType::Secret:
        break; // the key log serves the captured connections; the probe's own bytes need no keys
    }
    current_ = nullptr;
}

ProbeProgram ProbeConnections::Caller() const {
    if (!current_)
        return {};
    ProbeProgram caller;
    caller.pid = current_->pid;
    caller.comm = current_->comm;
    if (const ProbeProgram* known = Program(current_->pid))
        caller.executable = known->executable;
    return caller;
}

const ProbeProgram* ProbeConnections::Program(std::uint32_t pid) const {
    const auto it = programs_.find(pid);
    return it == programs_.end() ? nullptr : &it->second;
}

void ProbeConnections::process(const ProbeRecord& record) {
    // Sent again for a pid: a new process took the number.
    auto it = programs_.find(record.pid);
    if (it == programs_.end()) {
        if (programs_.size() >= limits_.programs)
            return;
        it = programs_.emplace(record.pid, ProbeProgram{}).first;
    }
    it->second.pid = record.pid;
    it->second.comm = record.comm;
    it->second.executable.assign(reinterpret_cast<const char*>(record.bytes.data()), record.bytes.size());
}

void ProbeConnections::connection(const ProbeRecord& record) {
    const Key key = keyOf(record);
    auto it = connections_.find(key);
    if (it != connections_.end()) {
        Entry& entry = *it->second;
        // The socket told again, or told for the first time (the helper may learn it only once the
        // connection has moved bytes): the same connection.
        if (!entry.socket || *entry.socket == record.socket) {
            entry.socket = record.socket;
            return;
        }
        remove(it); // the handle now stands for a connection on another socket
    }
    it = open(key);
    if (it != connections_.end())
        it->second->socket = record.socket;
}

void ProbeConnections::data(const ProbeRecord& record) {
    const std::size_t direction = static_cast<std::size_t>(record.direction);
    const bool sent = record.direction == Direction::Sent;
    if (record.offset == 0)
        ++stats_.calls;
    const Key key = keyOf(record);
    auto it = connections_.find(key);
    // A call that begins with the preface begins a connection, whatever the handle held before.
    if (it != connections_.end() && it->second->seenData && sent && record.offset == 0 &&
        ClassifyStreamStart(record.bytes) == StreamStart::Http2Preface) {
        remove(it);
        it = connections_.end();
    }
    if (it == connections_.end()) {
        // Only a call of the client's begins a connection to follow.
        if (!sent || record.offset != 0 || (it = open(key)) == connections_.end())
            return;
    }
    Entry& entry = *it->second;
    if (std::next(entry.age) != lru_.end())
        lru_.splice(lru_.end(), lru_, entry.age);
    entry.seenData = true;
    if (entry.state == Entry::State::Stopped)
        return;
    // The server's bytes are read from the first call after reading began.
    if (!sent && entry.state != Entry::State::Reading)
        return;
    Entry::Calls& calls = entry.calls[direction];
    if (record.offset == 0) {
        // A call whose every reported byte came ends even when its last chunk's flag did not.
        const bool lastEnded = !calls.open || calls.next == calls.reported;
        if (!lastEnded || (calls.nextSequence && record.sequence != *calls.nextSequence))
            return stop(entry, &ProbeStats::droppedAtGaps);
        calls.open = true;
        calls.sequence = record.sequence;
        calls.next = 0;
        calls.reported = static_cast<std::uint32_t>(std::min<std::uint64_t>(record.callBytes, kMaxCallBytes));
        calls.nextSequence = record.sequence + 1;
    } else if (!calls.nextSequence) {
        return; // the rest of a call made before this direction was followed
    } else if (!calls.open || record.sequence != calls.sequence || record.offset != calls.next) {
        return stop(entry, &ProbeStats::droppedAtGaps);
    }
    calls.next += static_cast<std::uint32_t>(record.bytes.size());
    ++entry.busy;
    read(entry, record.direction, record.bytes);
    --entry.busy;
    if (entry.state == Entry::State::Stopped)
        return;
    if (record.Has(Cut))
        return stop(entry, &ProbeStats::droppedCut);
    if (record.Has(LastChunk)) {
        if (calls.next != calls.reported)
            return stop(entry, &ProbeStats::droppedAtGaps);
        calls.open = false;
    }
}

void ProbeConnections::read(Entry& entry, Direction direction, std::span<const std::uint8_t> bytes) {
    if (direction == Direction::Received) {
        entry.readers->exchanges.ServerBytes(bytes, packet_); // answers unreadable: the requests go on alone
        return;
    }
    if (entry.state == Entry::State::Starting) {
        const std::size_t n = std::min(bytes.size(), entry.start.size() - entry.startBytes);
        std::memcpy(entry.start.data() + entry.startBytes, bytes.data(), n);
        entry.startBytes += n;
        bytes = bytes.subspan(n);
        switch (ClassifyStreamStart(std::span(entry.start).first(entry.startBytes))) {
        case StreamStart::Undecided:
            return;
        case StreamStart::Other:
            return stop(entry, &ProbeStats::beganBefore);
        case StreamStart::Http2Preface:
        case StreamStart::Http1Request:
            break;
        }
        entry.readers = std::make_unique<Entry::Readers>(sink_, entry.budget);
        entry.state = Entry::State::Reading;
        ++stats_.connections;
        if (!entry.readers->requests.Add(std::span(entry.start).first(entry.startBytes), packet_))
            return stop(entry, &ProbeStats::notHttp);
    }
    if (!bytes.empty() && !entry.readers->requests.Add(bytes, packet_))
        stop(entry, &ProbeStats::notHttp);
}

void ProbeConnections::stop(Entry& entry, std::uint64_t ProbeStats::*counter) {
    ++(stats_.*counter);
    entry.state = Entry::State::Stopped;
    entry.readers.reset();
}

ProbeConnections::Map::iterator ProbeConnections::open(const Key& key) {
    if (connections_.size() >= limits_.connections && !lru_.empty()) {
        remove(connections_.find(lru_.front()));
        ++stats_.evicted;
    }
    // The bound shared with the other kinds of connection: the idlest of this kind make room when
    // the others have none to give.
    bool counted = connectionsHeld_.Take(1);
    for (; !counted && !lru_.empty(); counted = connectionsHeld_.Take(1)) {
        remove(connections_.find(lru_.front()));
        ++stats_.evicted;
    }
    if (!counted || !budget_.Take(kConnectionOverhead)) {
        if (counted)
            connectionsHeld_.Give(1);
        ++stats_.evicted; // no room even after the idlest went: not followed
        return connections_.end();
    }
    auto entry = std::make_unique<Entry>(budget_, limits_.connectionBytes);
    entry->age = lru_.insert(lru_.end(), key);
    return connections_.emplace(key, std::move(entry)).first;
}

void ProbeConnections::remove(Map::iterator it) {
    lru_.erase(it->second->age);
    connections_.erase(it);
    budget_.Give(kConnectionOverhead);
    connectionsHeld_.Give(1);
}

void ProbeConnections::reclaim(std::size_t bytes, std::size_t connections) {
    std::size_t freed = 0, dropped = 0;
    for (auto age = lru_.begin(); age != lru_.end() && (freed < bytes || dropped < connections);) {
        const auto it = connections_.find(*age);
        ++age;
        if (it->second->busy)
            continue;
        freed += it->second->budget.Used() + kConnectionOverhead;
        remove(it);
        ++dropped;
        ++stats_.evicted;
    }
}

void ProbeConnections::Reset() {
    while (!connections_.empty())
        remove(connections_.begin());
    stats_ = {};
}

ProbeStats ProbeConnections::Stats() const {
    ProbeStats stats = stats_;
    stats.programs = programs_.size();
    return stats;
}

} // namespace velmora::probe
