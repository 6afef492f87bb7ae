#pragma once
// The TCP connections that began with a TLS ClientHello, by their two endpoints, each followed in
// both directions. A segment of any other connection costs one lookup and is left alone. The table
// is bounded: when it is full the connection idle longest is dropped.

#include "decrypt/ByteBudget.h"
#include "decrypt/HttpRequest.h"
#include "decrypt/HttpsRequestFinder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <span>
#include <unordered_map>

namespace velmora {

class KeyLog;
class TlsConnection;

// The parts of a TCP segment the table needs.
struct TcpSegment {
    const std::uint8_t* source = nullptr; // the addresses, in the frame: 4 bytes (IPv4) or 16 (IPv6)
    const std::uint8_t* destination = nullptr;
    std::uint8_t addressBytes = 4;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0; // valid when ack is set
    bool syn = false, ack = false, fin = false, rst = false;
    std::span<const std::uint8_t> payload;
};

// Reads the segment out of a frame; nothing for frames that are not TCP over IPv4 or IPv6.
bool ReadTcpSegment(std::span<const std::uint8_t> frame, int linkType, TcpSegment& segment);

class TlsConnectionTable final {
public:
    TlsConnectionTable(KeyLog& keyLog, HttpRequestSink& sink, const HttpsRequestFinder::Limits& limits);
    ~TlsConnectionTable();
    TlsConnectionTable(const TlsConnectionTable&) = delete;
    TlsConnectionTable& operator=(const TlsConnectionTable&) = delete;

    // One segment, captured in frame `packet`.
    void Segment(const TcpSegment& segment, PacketNumber packet);
    // Whether the segment can matter: it carries bytes, or ends a connection.
    static bool Carries(const TcpSegment& s) { return !s.payload.empty() || s.fin || s.rst; }
    // Connections waiting for keys look again when the key log has grown.
    void KeysAdded();
    bool AnyWaitingForKeys() const { return waitingForKeys_ > 0; }
    TlsStats Stats() const { return stats_; }
    std::size_t size() const { return connections_.size(); }

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

    void handle(Entry& entry, bool senderIsLower, const TcpSegment& segment, PacketNumber packet);
    void remove(std::unordered_map<Endpoints, std::unique_ptr<Entry>, EndpointsHash>::iterator it);
    void account(Entry& entry);

    KeyLog& keyLog_;
    HttpRequestSink& sink_;
    HttpsRequestFinder::Limits limits_;
    ByteBudget budget_;
    std::unordered_map<Endpoints, std::unique_ptr<Entry>, EndpointsHash> connections_;
    Lru lru_;
    // The connection of the last segment: a download's frames come in runs of the same connection.
    Endpoints lastKey_;
    Entry* last_ = nullptr;
    TlsStats stats_;
    std::size_t waitingForKeys_ = 0;
};

} // namespace velmora
