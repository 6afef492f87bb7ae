#include "http/ClearTextExchanges.h"

#include "capture/FrameText.h"
#include "capture/HeaderText.h"
#include "http/Http1ResponseReader.h"
#include "tcp/TcpReassembler.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <deque>
#include <random>
#include <string_view>

namespace velmora {

namespace {

constexpr std::size_t kMaxRequestHead = 16 << 10;
constexpr std::size_t kMaxReferer = 1 << 10; // kept of each pending request's Referer

struct PendingRequest {
    std::u16string address; // empty for requests other than a GET with a Host header
    std::string referer;    // its Referer, bounded
    PacketNumber packet = 0;
    bool head = false; // a HEAD: its answer has no body
};

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The method of a request line, when the text begins with one that clients send. Most payloads are
// no request: the first byte settles them.
std::string_view requestMethod(std::string_view text) {
    static constexpr std::string_view kMethods[] = {"GET ", "HEAD ", "POST ", "PUT ", "DELETE ", "OPTIONS ", "PATCH "};
    if (text.empty())
        return {};
    switch (text.front()) {
    case 'G': case 'H': case 'P': case 'D': case 'O':
        break;
    default:
        return {};
    }
    for (std::string_view method : kMethods)
        if (text.size() >= method.size() && std::memcmp(text.data(), method.data(), method.size()) == 0)
            return method.substr(0, method.size() - 1);
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

// The server's side of a followed connection: its bytes go to the answer reader through its reassembler.
struct ClearTextExchanges::Connection final : TcpStreamSink {
    Connection(ClearTextExchanges& owner, ByteBudget& shared, std::size_t limit)
        : owner(owner), budget(limit, &shared), server(budget, limit),
          reader(budget, [this, &owner](HttpResponseHead& head) { return owner.answer(*this, head); }) {}

    void Bytes(std::span<const std::uint8_t> bytes) override {
        if (!reader.Broken())
            reader.Add(bytes, packet);
    }
    void Lost(std::uint64_t n) override {
        if (reader.Broken() || reader.Lost(n))
            return;
        // The answers to the requests sent before the gap are gone with it; the next status line
        // answers the first request sent after it.
        pending.clear();
        if (!gapped) {
            gapped = true;
            ++owner.stats_.withGaps;
        }
    }

    ClearTextExchanges& owner;
    PacketNumber packet = 0; // of the segment being read
    ByteBudget budget;
    TcpReassembler server;
    Http1ResponseReader reader;
    std::deque<PendingRequest> pending;
    std::list<Key>::iterator lru;
    bool gapped = false; // a gap cost answers: counted once
};

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
    : answered_(std::move(answered)), bodyRead_(std::move(bodyRead)), limits_(limits), budget_(limits.totalBytes) {}

ClearTextExchanges::~ClearTextExchanges() {
    connections_.clear();
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

std::size_t ClearTextExchanges::serverSlot(const Key& key) {
    std::uint64_t address[2];
    std::memcpy(address, key.bytes.data() + 18, sizeof address);
    const std::uint64_t port = std::uint64_t{key.bytes[34]} << 8 | key.bytes[35];
    const std::uint64_t mixed = (address[0] ^ std::rotl(address[1], 17) ^ port << 48) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(mixed >> 52); // 12 bits
}

void ClearTextExchanges::Reset() {
    stats_ = {};
    serversFollowed_.fill(0);
    lastValid_ = false;
    connections_.clear();
    lru_.clear();
}

void ClearTextExchanges::remove(Table::iterator it) {
    lastValid_ = false;
    --serversFollowed_[serverSlot(it->first)];
    lru_.erase(it->second->lru);
    connections_.erase(it);
}

void ClearTextExchanges::Segment(const TcpSegment& segment, PacketNumber packet) {
    if (segment.payload.empty() && segment.missing == 0 && !segment.fin && !segment.rst)
        return;
    if (!segment.payload.empty() && clientRequests(segment, packet))
        return;
    if (connections_.empty())
        return;
    // The server's side of a followed connection, or its end. A download's frames come in runs of one
    // connection, and so do other flows': the last lookup, found or not, is kept for the next frame.
    const Key key = keyOf(segment, false);
    if (serversFollowed_[serverSlot(key)] == 0 && !segment.fin && !segment.rst)
        return;
    if (!lastValid_ || !(key == lastKey_)) {
        const auto found = connections_.find(key);
        lastKey_ = key;
        last_ = found == connections_.end() ? nullptr : found->second.get();
        lastValid_ = true;
    }
    Connection* connection = last_;
    bool fromServer = true;
    Key connectionKey = key;
    if (!connection) {
        if (!segment.fin && !segment.rst)
            return;
        connectionKey = keyOf(segment, true);
        const auto found = connections_.find(connectionKey);
        if (found == connections_.end())
            return;
        connection = found->second.get();
        fromServer = false;
    }
    lru_.splice(lru_.end(), lru_, connection->lru);
    if (fromServer && (!segment.payload.empty() || segment.missing > 0) && !connection->reader.Broken()) {
        if (!connection->server.Started())
            connection->server.Start(segment.sequence);
        connection->packet = packet;
        connection->server.Add(segment.sequence, segment.payload, *connection, segment.missing);
        if (connection->reader.Broken())
            return remove(connections_.find(connectionKey));
    }
    if (segment.fin || segment.rst) {
        // What waits ahead of a gap is read before the connection goes; the server's FIN, or the client's
        // acknowledgement, says where the server's bytes ended, so a lost last answer is a gap too.
        const bool ends = fromServer ? segment.fin : segment.ack;
        const std::uint32_t end = fromServer ? segment.sequence + static_cast<std::uint32_t>(segment.payload.size() +
                                                                                           segment.missing)
                                             : segment.acknowledgement;
        if (!connection->reader.Broken() && connection->server.Started()) {
            connection->packet = packet;
            if (ends)
                connection->server.Acknowledged(end, *connection);
            connection->server.Flush(*connection);
        }
        remove(connections_.find(connectionKey));
    }
}

void ClearTextExchanges::EndCapture(PacketNumber packet) {
    for (auto& [key, connection] : connections_) {
        if (connection->server.Holding() && !connection->reader.Broken()) {
            connection->packet = packet;
            connection->server.Flush(*connection);
        }
    }
}

bool ClearTextExchanges::answer(Connection& connection, HttpResponseHead& head) {
    if (connection.pending.empty())
        return false; // an answer to a request that was not seen
    const PendingRequest request = std::move(connection.pending.front());
    connection.pending.pop_front();
    if (!request.address.empty()) {
        if (const std::size_t keep = answered_(request.address, request.packet, head, request.referer); keep > 0 && bodyRead_)
            connection.reader.KeepBody(keep, [this, address = request.address](std::span<const std::uint8_t> body,
                                                                                bool complete) {
                bodyRead_(address, body, complete);
            });
    }
    return request.head;
}

bool ClearTextExchanges::clientRequests(const TcpSegment& segment, PacketNumber packet) {
    std::string_view text = asText(segment.payload);
    if (requestMethod(text).empty())
        return false;
    const Key key = keyOf(segment, true);
    auto it = connections_.find(key);
    // Pipelined requests: each head in turn, as far as this segment holds them.
    while (!text.empty()) {
        const std::string_view method = requestMethod(text);
        if (method.empty())
            break;
        const std::size_t lineEnd = text.find('\n');
        const std::string_view head = text.substr(0, std::min(text.size(), kMaxRequestHead));
        std::size_t headEnd = head.find("\r\n\r\n");
        headEnd = headEnd == std::string_view::npos ? head.size() : headEnd + 4;
        PendingRequest request;
        request.packet = packet;
        request.head = method == "HEAD";
        const std::string_view line = TrimHeaderSpace(text.substr(0, lineEnd));
        const std::size_t targetAt = method.size() + 1;
        const std::size_t targetEnd = line.find(' ', targetAt);
        if (method == "GET" && targetEnd != std::string_view::npos && line.substr(targetEnd + 1).starts_with("HTTP/1.")) {
            const std::string_view target = line.substr(targetAt, targetEnd - targetAt);
            std::string address;
            if (target.find("http://") != std::string_view::npos) {
                address.assign(target);
            } else {
                // The Host header, as the request-line scan joins it.
                for (std::size_t at = head.find('\n'); at != std::string_view::npos && at + 1 < headEnd;) {
                    const std::size_t end = head.find('\n', at + 1);
                    const std::string_view header = TrimHeaderSpace(head.substr(at + 1, std::min(end, headEnd) - at - 1));
                    if (header.size() > 5 && EqualsIgnoringAsciiCase(header.substr(0, 5), "host:") && address.empty())
                        address = "http://" + std::string(TrimHeaderSpace(header.substr(5))) + std::string(target);
                    else if (header.size() > 8 && EqualsIgnoringAsciiCase(header.substr(0, 8), "referer:"))
                        request.referer = TrimHeaderSpace(header.substr(8)).substr(0, kMaxReferer);
                    at = end;
                }
            }
            if (!address.empty())
                request.address =
                    PacketToTextCn(std::span(reinterpret_cast<const std::uint8_t*>(address.data()), address.size()));
        }
        if (it == connections_.end()) {
            if (request.address.empty())
                return true; // only a GET starts following a connection
            if (connections_.size() >= limits_.connections && !lru_.empty())
                remove(connections_.find(lru_.front()));
            auto connection = std::make_unique<Connection>(*this, budget_, limits_.connectionBytes);
            ++stats_.followed;
            Connection* raw = connection.get();
            it = connections_.emplace(key, std::move(connection)).first;
            ++serversFollowed_[serverSlot(key)];
            lastValid_ = false;
            raw->lru = lru_.insert(lru_.end(), key);
            // The client's acknowledgement says where the server's answer will begin.
            if (segment.ack)
                raw->server.Start(segment.acknowledgement);
        }
        Connection& connection = *it->second;
        if (segment.ack && connection.server.Started() && !connection.reader.Broken()) {
            // The client has had the server's bytes before its acknowledgement: a hole among them
            // will not fill, and the answers before this request must be read before it is noted.
            connection.packet = packet;
            connection.server.Acknowledged(segment.acknowledgement, connection);
        }
        if (connection.pending.size() >= limits_.pendingRequests)
            connection.pending.pop_front(); // its answer went unseen
        connection.pending.push_back(std::move(request));
        text.remove_prefix(std::min(headEnd, text.size()));
    }
    return true;
}

} // namespace velmora
