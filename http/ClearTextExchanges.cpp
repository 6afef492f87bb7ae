#include "http/ClearTextExchanges.h"

#include "capture/FrameText.h"
#include "capture/HeaderText.h"
#include "http/Http1ResponseReader.h"
#include "http/HttpRequestReader.h"
#include "tcp/TcpReassembler.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <string_view>
#include <vector>

namespace velmora {

namespace {

constexpr std::size_t kMaxReferer = 1 << 10; // kept of each pending request's Referer
constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max(); // the shared budget bounds it

struct PendingRequest {
    std::string address; // as sent, before rendering; empty for requests other than a GET with a Host header
    std::string referer; // its Referer, bounded
    PacketNumber packet = 0;
    std::size_t cost = 0; // what it holds of the connection's budget
    bool head = false;    // a HEAD: its answer has no body
};

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Whether the text begins with a request line's method that clients send. Most payloads are no
// request: the first byte settles them.
bool startsRequest(std::string_view text) {
    static constexpr std::string_view kMethods[] = {"GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS ", "PATCH "};
    if (text.empty())
        return false;
    switch (text.front()) {
    case 'G': case 'H': case 'P': case 'D': case 'O':
        break;
    default:
        return false;
    }
    for (std::string_view method : kMethods)
        if (text.size() >= method.size() && std::memcmp(text.data(), method.data(), method.size()) == 0)
            return true;
    return false;
}

// A header's value in a request head ("name: value" lines), empty when it has none.
std::string_view headerValue(std::string_view head, std::string_view name) {
    for (std::size_t at = head.find('\n'); at != std::string_view::npos;) {
        const std::size_t end = head.find('\n', at + 1);
        const std::string_view line = TrimHeaderSpace(head.substr(at + 1, end == std::string_view::npos ? end : end - at - 1));
        if (line.size() > name.size() && line[name.size()] == ':' && EqualsIgnoringAsciiCase(line.substr(0, name.size()), name))
            return TrimHeaderSpace(line.substr(name.size() + 1));
        at = end;
    }
    return {};
}

// A per-process key, so that endpoints that share a bucket cannot be worked out ahead of time.
const std::array<std::uint8_t, 16>& hashKey() {
    static const std::array<std::uint8_t, 16> key = [] {
        std::array<std::uint8_t, 16> k{};
        std::random_device random;
        for (auto& b : k)
            b = static_cast<std::uint8_t>(random());
        return k;
    }();
    return key;
}

} // namespace

// A followed connection: the server's bytes go to the answer reader, the client's to the request
// reader, each through its reassembler.
struct ClearTextExchanges::Connection final : TcpStreamSink, HttpRequestSink {
    struct ClientStream final : TcpStreamSink {
        explicit ClientStream(Connection& c) : c(c) {}
        void Bytes(std::span<const std::uint8_t> bytes) override {
            if (!c.failed && !c.requests.Add(bytes, c.packet))
                c.failed = true;
        }
        // The requests in the hole are gone, and where the next one begins with them: not followed further.
        void Lost(std::uint64_t) override { c.failed = true; }
        Connection& c;
    };

    Connection(ClearTextExchanges& owner, ByteBudget& shared, std::size_t limit)
        : owner(owner), budget(limit, &shared), server(budget, limit), client(budget, limit), requests(*this, budget),
          reader(budget, [this, &owner](HttpResponseHead& head) { return owner.answer(*this, head); }),
          clientStream(*this) {}
    ~Connection() {
        for (const PendingRequest& request : pending)
            budget.Give(request.cost);
    }

    // The server's bytes.
    void Bytes(std::span<const std::uint8_t> bytes) override {
        if (!reader.Broken())
            reader.Add(bytes, packet);
    }
    void Lost(std::uint64_t n) override {
        if (reader.Broken() || reader.Lost(n))
            return;
        // The answers to the requests sent before the gap are gone with it; the next status line
        // answers the first request sent after it.
        while (!pending.empty()) {
            budget.Give(pending.front().cost);
            pending.pop_front();
        }
        if (!gapped) {
            gapped = true;
            ++owner.stats_.withGaps;
        }
    }
    // The client's requests.
    void Request(HttpRequest& request) override { owner.noteRequest(*this, &request); }
    void RequestRefused() override { owner.noteRequest(*this, nullptr); }

    ClearTextExchanges& owner;
    PacketNumber packet = 0; // of the segment being read
    ByteBudget budget;       // first: everything below draws from it
    TcpReassembler server;
    TcpReassembler client;
    HttpRequestReader requests;
    Http1ResponseReader reader;
    ClientStream clientStream;
    std::deque<PendingRequest> pending;
    std::list<Key>::iterator lru;
    std::uint32_t reopenAt = 0; // the first byte of a new connection a later SYN announced
    bool reopenSeen = false;
    bool gapped = false; // a gap cost answers: counted once
    bool failed = false; // cannot be followed further: dropped once its segment is handled
    int busy = 0;        // its segment is being handled: not dropped to make room
};

const std::size_t ClearTextExchanges::kConnectionOverhead = sizeof(Connection) + 256;

std::size_t ClearTextExchanges::KeyHash::operator()(const Key& key) const {
    // Each word mixed with its own part of the per-process key, so colliding endpoints cannot be
    // worked out ahead of time; cheap, as every request and every server segment is looked up.
    const auto& secret = hashKey();
    std::uint64_t k0, k1;
    std::memcpy(&k0, secret.data(), 8);
    std::memcpy(&k1, secret.data() + 8, 8);
    std::uint64_t hash = k0;
    for (std::size_t at = 0; at < key.bytes.size(); at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, key.bytes.data() + at, std::min<std::size_t>(8, key.bytes.size() - at));
        const unsigned __int128 product = static_cast<unsigned __int128>(word ^ k1) * (hash | 1);
        hash = static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64) ^ std::rotl(k1, static_cast<int>(at));
    }
    return static_cast<std::size_t>(hash ^ (hash >> 29));
}

ClearTextExchanges::ClearTextExchanges(Answered answered, BodyRead bodyRead, Limits limits)
    : answered_(std::move(answered)), bodyRead_(std::move(bodyRead)), limits_(limits),
      ownBudget_(limits.shared ? nullptr : std::make_unique<ConnectionBudget>(limits.totalBytes, limits.connections)),
      shared_(limits.shared ? *limits.shared : *ownBudget_),
      budget_(kUnbounded, &shared_.Bytes(ConnectionBudget::Kind::ClearText)),
      connectionsHeld_(kUnbounded, &shared_.Connections(ConnectionBudget::Kind::ClearText)) {
    shared_.SetReclaim(
        ConnectionBudget::Kind::ClearText, this,
        [this](std::size_t bytes, std::size_t connections) { reclaim(bytes, connections); }, true);
}

ClearTextExchanges::~ClearTextExchanges() {
    shared_.ClearReclaim(ConnectionBudget::Kind::ClearText, this);
    Reset();
}

ClearTextExchanges::Key ClearTextExchanges::keyOf(const TcpSegment& segment, bool fromClient) {
    Key key;
    const std::uint8_t* client = fromClient ? segment.source : segment.destination;
    const std::uint8_t* server = fromClient ? segment.destination : segment.source;
    const std::uint16_t clientPort = fromClient ? segment.sourcePort : segment.destinationPort;
    const std::uint16_t serverPort = fromClient ? segment.destinationPort : segment.sourcePort;
    std::memcpy(key.bytes.data(), client, segment.addressBytes);
    key.bytes[16] = static_cast<std::uint8_t>(clientPort >> 8);
    key.bytes[17] = static_cast<std::uint8_t>(clientPort);
    std::memcpy(key.bytes.data() + 18, server, segment.addressBytes);
    key.bytes[34] = static_cast<std::uint8_t>(serverPort >> 8);
    key.bytes[35] = static_cast<std::uint8_t>(serverPort);
    return key;
}

std::size_t ClearTextExchanges::endpointSlot(const std::uint8_t* endpoint) {
    std::uint64_t address[2];
    std::memcpy(address, endpoint, sizeof address);
    const std::uint64_t port = std::uint64_t{endpoint[16]} << 8 | endpoint[17];
    const std::uint64_t mixed = (address[0] ^ std::rotl(address[1], 17) ^ port << 48) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(mixed >> 52); // 12 bits
}

void ClearTextExchanges::Reset() {
    // Removing a connection counts its endpoints down: the counts are cleared after, not before.
    while (!connections_.empty())
        remove(connections_.begin());
    stats_ = {};
    endpointsFollowed_.fill(0);
    lastValid_ = false;
}

void ClearTextExchanges::remove(Table::iterator it) {
    lastValid_ = false;
    --endpointsFollowed_[endpointSlot(it->first.bytes.data())];
    --endpointsFollowed_[endpointSlot(it->first.bytes.data() + 18)];
    lru_.erase(it->second->lru);
    connections_.erase(it);
    budget_.Give(kConnectionOverhead);
    connectionsHeld_.Give(1);
}

void ClearTextExchanges::remove(Connection& connection) {
    remove(connections_.find(*connection.lru));
}

void ClearTextExchanges::reclaim(std::size_t bytes, std::size_t connections) {
    const std::size_t before = budget_.Used();
    std::size_t dropped = 0;
    for (auto age = lru_.begin(); age != lru_.end() && (before - std::min(before, budget_.Used()) < bytes || dropped < connections);) {
        const auto it = connections_.find(*age);
        ++age;
        if (it->second->busy)
            continue;
        remove(it);
        ++dropped;
    }
}

ClearTextExchanges::Connection* ClearTextExchanges::find(const TcpSegment& segment, bool& fromServer) {
    // A download's frames come in runs of one connection, and so do other flows': the last lookup,
    // found or not, is kept for the next frame.
    const Key asServer = keyOf(segment, false);
    if (lastValid_ && asServer == lastKey_) {
        fromServer = lastFromServer_;
        return last_;
    }
    lastValid_ = true;
    lastKey_ = asServer;
    last_ = nullptr;
    lastFromServer_ = true;
    if (endpointsFollowed_[endpointSlot(asServer.bytes.data() + 18)] == 0)
        return nullptr; // its sender is no endpoint of a followed connection
    if (const auto it = connections_.find(asServer); it != connections_.end()) {
        last_ = it->second.get();
    } else if (const auto it = connections_.find(keyOf(segment, true)); it != connections_.end()) {
        last_ = it->second.get();
        lastFromServer_ = false;
    }
    fromServer = lastFromServer_;
    return last_;
}

ClearTextExchanges::Connection* ClearTextExchanges::follow(const Key& key, const TcpSegment& segment) {
    // One unit of the connections' bound, and the connection's fixed cost: the idlest of this kind
    // make room when the shared budget gives none.
    while (!connectionsHeld_.Take(1)) {
        if (connections_.empty())
            return nullptr;
        remove(connections_.find(lru_.front()));
    }
    if (connections_.size() >= limits_.connections && !lru_.empty())
        remove(connections_.find(lru_.front()));
    if (!budget_.Take(kConnectionOverhead)) {
        connectionsHeld_.Give(1);
        return nullptr;
    }
    auto connection = std::make_unique<Connection>(*this, budget_, limits_.connectionBytes);
    ++stats_.followed;
    Connection* raw = connection.get();
    connections_.emplace(key, std::move(connection));
    ++endpointsFollowed_[endpointSlot(key.bytes.data())];
    ++endpointsFollowed_[endpointSlot(key.bytes.data() + 18)];
    lastValid_ = false;
    raw->lru = lru_.insert(lru_.end(), key);
    // A SYN that carries the request (TCP Fast Open) numbers its first byte one past it; the
    // client's acknowledgement says where the server's answer will begin.
    raw->client.Start(segment.syn ? segment.sequence + 1 : segment.sequence);
    if (segment.ack)
        raw->server.Start(segment.acknowledgement);
    return raw;
}

void ClearTextExchanges::Segment(const TcpSegment& segment, PacketNumber packet) {
    if (segment.payload.empty() && segment.missing == 0 && !segment.fin && !segment.rst && !segment.syn)
        return;
    const bool startsRequest = velmora::startsRequest(asText(segment.payload));
    if (connections_.empty() && !startsRequest)
        return;
    bool fromServer = true;
    Connection* connection = find(segment, fromServer);
    if (connection && !fromServer) {
        if (segment.syn && !segment.ack) {
            // A new connection on these endpoints, unless it is the first one's SYN again: it begins
            // when its first request comes where this SYN says.
            if (segment.sequence + 1 != connection->client.FirstSequence()) {
                connection->reopenAt = segment.sequence + 1;
                connection->reopenSeen = true;
            }
            return;
        }
        if (connection->reopenSeen && startsRequest && segment.sequence == connection->reopenAt &&
            !connection->client.Within(segment.sequence)) {
            connection->packet = packet;
            ++connection->busy;
            if (connection->server.Started() && !connection->reader.Broken())
                connection->server.Flush(*connection);
            --connection->busy;
            remove(*connection);
            connection = nullptr;
        }
    }
    if (!connection) {
        if (!startsRequest)
            return;
        fromServer = false;
        connection = follow(keyOf(segment, true), segment);
        if (!connection)
            return;
    }
    connection->packet = packet;
    handle(*connection, segment, fromServer);
}

void ClearTextExchanges::handle(Connection& connection, const TcpSegment& segment, bool fromServer) {
    lru_.splice(lru_.end(), lru_, connection.lru);
    ++connection.busy;
    bool ends = false;
    const std::uint32_t length = static_cast<std::uint32_t>(segment.payload.size() + segment.missing);
    const std::uint32_t dataAt = segment.syn ? segment.sequence + 1 : segment.sequence; // a SYN's data follows it
    if (fromServer) {
        if (length > 0 && !connection.reader.Broken()) {
            if (!connection.server.Started())
                connection.server.Start(dataAt);
            connection.server.Add(dataAt, segment.payload, connection, segment.missing);
        }
        // Where the server's stream stands, or not the server's.
        ends = connection.server.Started() &&
               ((segment.rst && connection.server.AtNext(segment.sequence)) ||
                (segment.fin && connection.server.AtNext(dataAt + length)));
    } else {
        const bool inStream = connection.client.Within(segment.sequence);
        // The client has had the server's bytes before its acknowledgement: a hole among them will
        // not fill, and the answers before its next request are read before that request is noted.
        // Only from a segment of the client's own stream: a stray one's acknowledgement means nothing.
        if (segment.ack && inStream && connection.server.Started() && !connection.reader.Broken())
            connection.server.Acknowledged(segment.acknowledgement, connection);
        if (length > 0)
            connection.client.Add(dataAt, segment.payload, connection.clientStream, segment.missing);
        // The client's FIN only closes its half: the answers still come.
        ends = segment.rst && connection.client.AtNext(segment.sequence);
    }
    --connection.busy;
    if (ends && !connection.reader.Broken() && connection.server.Started()) {
        // What waits ahead of a gap is read before the connection goes.
        ++connection.busy;
        connection.server.Flush(connection);
        --connection.busy;
    }
    if (ends || connection.failed || connection.reader.Broken())
        remove(connection);
}

void ClearTextExchanges::EndCapture(PacketNumber packet) {
    // By key: a connection that takes room may drop others.
    std::vector<Key> keys;
    keys.reserve(connections_.size());
    for (const auto& [key, connection] : connections_)
        keys.push_back(key);
    for (const Key& key : keys) {
        const auto it = connections_.find(key);
        if (it == connections_.end())
            continue;
        Connection& connection = *it->second;
        connection.packet = packet;
        ++connection.busy;
        if (connection.client.Holding() && !connection.failed)
            connection.client.Flush(connection.clientStream);
        if (connection.server.Holding() && !connection.reader.Broken())
            connection.server.Flush(connection);
        --connection.busy;
    }
}

void ClearTextExchanges::noteRequest(Connection& connection, const HttpRequest* request) {
    PendingRequest pending;
    if (request) {
        pending.packet = request->packet;
        pending.head = request->method == "HEAD";
        const std::string_view line = TrimHeaderSpace(std::string_view(request->text).substr(0, request->text.find('\n')));
        if (request->method == "GET" && line.substr(line.rfind(' ') + 1).starts_with("HTTP/1.")) {
            // The address as the request-line scan joins it: an absolute target as it is, else the Host header's.
            if (request->target.find("http://") != std::string::npos)
                pending.address = request->target;
            else if (!request->authority.empty())
                pending.address = "http://" + request->authority + request->target;
            if (!pending.address.empty())
                pending.referer = headerValue(request->text, "referer").substr(0, kMaxReferer);
        }
    }
    if (connection.pending.size() >= limits_.pendingRequests) {
        connection.budget.Give(connection.pending.front().cost); // its answer went unseen
        connection.pending.pop_front();
    }
    pending.address.shrink_to_fit();
    pending.referer.shrink_to_fit();
    pending.cost = kPendingOverhead + pending.address.capacity() + pending.referer.capacity();
    if (!connection.budget.Take(pending.cost)) {
        // No room for its address: it still takes its turn, unlisted.
        pending.address = {};
        pending.referer = {};
        pending.cost = kPendingOverhead;
        if (!connection.budget.Take(pending.cost)) {
            connection.failed = true;
            return;
        }
    }
    connection.pending.push_back(std::move(pending));
}

bool ClearTextExchanges::answer(Connection& connection, HttpResponseHead& head) {
    if (connection.pending.empty())
        return false; // an answer to a request that was not seen
    PendingRequest request = std::move(connection.pending.front());
    connection.pending.pop_front();
    connection.budget.Give(request.cost);
    if (!request.address.empty()) {
        const std::u16string address =
            PacketToTextCn(std::span(reinterpret_cast<const std::uint8_t*>(request.address.data()), request.address.size()));
        if (const std::size_t keep = answered_(address, request.packet, head, request.referer); keep > 0 && bodyRead_)
            connection.reader.KeepBody(keep, [this, address](std::span<const std::uint8_t> body, bool complete) {
                bodyRead_(address, body, complete);
            });
    }
    return request.head;
}

} // namespace velmora
