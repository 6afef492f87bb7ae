#pragma once
// The TLS connections of the programs the probe watches, each by (pid, handle): the client's bytes
// (Sent) read for requests as a decrypted connection's are, HTTP/1.x or HTTP/2 with its HPACK state,
// and the server's bytes (Received, when the helper reports them) paired with those requests.
//
// A call's chunks must arrive in order of offset and the calls in order of sequence; at the first
// call or chunk lost, or a call cut at the helper's bound, the connection is no longer read (an HTTP/2
// header table cannot be caught up with). A connection whose first bytes are neither the HTTP/2
// preface nor a request line was running before the probe attached and is not read either. A handle
// may be reused once its connection closed: a call that begins with the HTTP/2 preface, or a socket
// other than the one recorded, starts a new connection on it.
//
// Buffers and connections draw from the engine's shared budget; when it is full, or the table holds
// Limits::connections, the idlest connections go.

#include "http/HttpRequest.h"
#include "probe/ProbeProgram.h"
#include "probe/ProbeRecordSink.h"
#include "probe/ProbeStats.h"
#include "tcp/ByteBudget.h"
#include "tcp/ConnectionBudget.h"
#include "tcp/KeyedHash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

namespace velmora::probe {

class ProbeConnections final : public ProbeRecordSink {
public:
    struct Limits {
        std::size_t connectionBytes = std::size_t{1} << 20; // held per connection
        std::size_t connections = 4096;
        std::size_t programs = 4096; // processes named at once
        // Drawn from with the other kinds of connection; null: a budget of its own of these bounds.
        ConnectionBudget* shared = nullptr;
        std::size_t totalBytes = std::size_t{64} << 20;
    };
    // The fixed cost of a connection followed: its objects, table and list nodes.
    static constexpr std::size_t kConnectionOverhead = 1024;

    ProbeConnections(HttpRequestSink& sink, Limits limits);
    ~ProbeConnections();
    ProbeConnections(const ProbeConnections&) = delete;
    ProbeConnections& operator=(const ProbeConnections&) = delete;

    void Record(const ProbeRecord& record) override;
    // The frame number requests read from now on are listed with.
    void SetPacket(PacketNumber packet) { packet_ = packet; }

    // While the sink is called: the program whose call is being read.
    ProbeProgram Caller() const;
    // What the helper said of a process; null when it said nothing.
    const ProbeProgram* Program(std::uint32_t pid) const;

    // Connections are dropped and the counts start again; the programs named stay known.
    void Reset();
    ProbeStats Stats() const;
    std::size_t size() const { return connections_.size(); }
    std::size_t BytesHeld() const { return budget_.Used(); }

private:
    using Key = std::array<std::uint8_t, 12>; // pid, handle
    struct Entry;
    using Map = std::unordered_map<Key, std::unique_ptr<Entry>, KeyedBytesHash>;
    using Lru = std::list<Key>; // most recently used at the back

    static Key keyOf(const ProbeRecord& record);
    void data(const ProbeRecord& record);
    void connection(const ProbeRecord& record);
    void process(const ProbeRecord& record);
    Map::iterator open(const Key& key);
    void remove(Map::iterator it);
    // The connection is read no further; `counter` says why.
    void stop(Entry& entry, std::uint64_t ProbeStats::*counter);
    // Hands a chunk's bytes to the connection's readers.
    void read(Entry& entry, Direction direction, std::span<const std::uint8_t> bytes);
    void reclaim(std::size_t bytes, std::size_t connections);

    HttpRequestSink& sink_;
    Limits limits_;
    std::unique_ptr<ConnectionBudget> ownBudget_; // when none is shared
    ConnectionBudget& shared_;
    ByteBudget budget_;
    ByteBudget connectionsHeld_; // one unit a connection
    Map connections_;
    Lru lru_;
    std::unordered_map<std::uint32_t, ProbeProgram> programs_;
    ProbeStats stats_;
    PacketNumber packet_ = 0;
    const ProbeRecord* current_ = nullptr; // the record being read, for Caller
};

} // namespace velmora::probe
