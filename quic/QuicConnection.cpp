#include "quic/QuicConnection.h"

#include "quic/QuicVarint.h"

#include <algorithm>
#include <cstring>

namespace velmora {
namespace {

constexpr std::size_t kSampleBytes = 16;
constexpr std::size_t kMaxConnectionId = 20;
constexpr std::uint8_t kEncryptedExtensions = 8;

// RFC 9000 appendix A.3: the full packet number nearest the one expected.
std::uint64_t decodePacketNumber(std::optional<std::uint64_t> largest, std::uint64_t truncated, std::size_t bytes) {
    const std::uint64_t expected = largest ? *largest + 1 : 0;
    const std::uint64_t window = std::uint64_t{1} << (bytes * 8);
    const std::uint64_t half = window / 2;
    const std::uint64_t candidate = (expected & ~(window - 1)) | truncated;
    if (candidate + half <= expected && candidate < (std::uint64_t{1} << 62) - window)
        return candidate + window;
    if (candidate > expected + half && candidate >= window)
        return candidate - window;
    return candidate;
}

// A packet with its header protection removed (RFC 9001 section 5.4): the mask comes from a sample
// that starts four bytes past where the packet number begins.
struct Unprotected {
    std::uint8_t first = 0;
    std::size_t numberBytes = 0;
    std::uint64_t truncated = 0;
};

bool removeHeaderProtection(QuicPacketProtection& keys, const QuicPacketHeader& header,
                            std::span<const std::uint8_t> packet, Unprotected& out) {
    const std::size_t at = header.packetNumberAt;
    std::array<std::uint8_t, 5> mask{};
    if (!keys.Mask(std::span<const std::uint8_t, kSampleBytes>(packet.data() + at + 4, kSampleBytes), mask))
        return false;
    out.first = packet[0] ^ (mask[0] & (header.longHeader ? 0x0F : 0x1F));
    out.numberBytes = (out.first & 0x03) + 1u;
    out.truncated = 0;
    for (std::size_t i = 0; i < out.numberBytes; ++i)
        out.truncated = out.truncated << 8 | (packet[at + i] ^ mask[1 + i]);
    return true;
}

// Opens the packet's payload with `keys`; `scratch` takes the packet as it was before protection.
bool openPayload(QuicPacketProtection& keys, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                 const Unprotected& u, std::uint64_t number, std::vector<std::uint8_t>& scratch,
                 std::vector<std::uint8_t>& plaintext) {
    const std::size_t at = header.packetNumberAt;
    scratch.assign(packet.begin(), packet.end());
    scratch[0] = u.first;
    for (std::size_t i = 0; i < u.numberBytes; ++i)
        scratch[at + i] = static_cast<std::uint8_t>(u.truncated >> (8 * (u.numberBytes - 1 - i)));
    const std::span<const std::uint8_t> all(scratch);
    return keys.Open(all.first(at + u.numberBytes), all.subspan(at + u.numberBytes), number, plaintext);
}

// The connection ID of the server's preferred address (RFC 9000 section 18.2), from its transport
// parameters; empty when they name none.
std::span<const std::uint8_t> preferredAddressId(std::span<const std::uint8_t> parameters) {
    constexpr std::uint64_t kPreferredAddress = 0x0D;
    constexpr std::size_t kAddresses = 4 + 2 + 16 + 2;
    std::size_t at = 0;
    while (at < parameters.size()) {
        const auto id = ReadQuicVarint(parameters, at);
        const auto length = ReadQuicVarint(parameters, at);
        if (!id || !length || *length > parameters.size() - at)
            return {};
        const auto value = parameters.subspan(at, static_cast<std::size_t>(*length));
        at += value.size();
        if (*id != kPreferredAddress || value.size() < kAddresses + 1)
            continue;
        const std::size_t idLength = value[kAddresses];
        if (idLength == 0 || idLength > kMaxConnectionId || value.size() < kAddresses + 1 + idLength)
            return {};
        return value.subspan(kAddresses + 1, idLength);
    }
    return {};
}

} // namespace

QuicConnection::QuicConnection(const QuicVersion& version, std::span<const std::uint8_t> originalDestinationId,
                               KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& budget, NewId newId,
                               RetiredIds retiredIds)
    : version_(&version), keyLog_(keyLog), budget_(budget), newId_(std::move(newId)),
      retiredIds_(std::move(retiredIds)), client_(budget), server_(budget), http_(sink, budget),
      serverHandshake_(budget), serverHandshakeMessages_(budget),
      initialId_(originalDestinationId.begin(), originalDestinationId.end()) {
    client_.initial.SetInitial(*version_, originalDestinationId, true);
    server_.initial.SetInitial(*version_, originalDestinationId, false);
}

bool QuicConnection::Retry(std::span<const std::uint8_t> retry, std::span<const std::uint8_t> destinationId) {
    // A client follows one Retry, and none once the server's Initial came (RFC 9000 section 17.2.5.2).
    if (retried_ || serverHeard_ || !QuicPacketProtection::RetryTagMatches(*version_, initialId_, retry))
        return false;
    retried_ = true;
    initialId_.assign(destinationId.begin(), destinationId.end());
    client_.initial.SetInitial(*version_, destinationId, true);
    server_.initial.SetInitial(*version_, destinationId, false);
    return true;
}

bool QuicConnection::ClientInitialOpens(const QuicVersion& version, std::span<const std::uint8_t> destinationId,
                                        const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                                        QuicPacketProtection& keys, std::vector<std::uint8_t>& scratch,
                                        std::vector<std::uint8_t>& plaintext) {
    Unprotected u;
    return packet.size() >= header.packetNumberAt + 4 + kSampleBytes &&
           keys.SetInitial(version, destinationId, true) && removeHeaderProtection(keys, header, packet, u) &&
           openPayload(keys, header, packet, u, decodePacketNumber(std::nullopt, u.truncated, u.numberBytes), scratch,
                       plaintext);
}

QuicConnection::Outcome QuicConnection::outcome() const {
    if (anyDecrypted_)
        return Outcome::Decrypted;
    if (waitingForKeys_) {
        const TlsSecrets* secrets = clientHello_ ? keyLog_.Find(clientHello_->random) : nullptr;
        return secrets && (secrets->clientHandshake.known() || secrets->serverHandshake.known()) && !secrets->clientTraffic.known() ? Outcome::Abandoned
                                                                                              : Outcome::WithoutKeys;
    }
    return Outcome::Pending;
}

bool QuicConnection::Packet(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                            PacketNumber frame) {
    if (packet.size() < header.packetNumberAt + 4 + kSampleBytes)
        return false;
    switch (openPacket(fromClient, header, packet, frame)) {
    case Step::Opened:
        return true;
    case Step::Wait:
        keep(fromClient, header, packet, frame);
        break;
    case Step::Done:
        break;
    }
    return false;
}

void QuicConnection::keep(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                          PacketNumber frame) {
    if (pending_.size() >= kMaxPendingPackets || !budget_.Take(packet.size()))
        return;
    pending_.push_back({fromClient, header, frame, std::vector<std::uint8_t>(packet.begin(), packet.end())});
}

void QuicConnection::drainPending() {
    if (draining_)
        return;
    draining_ = true;
    std::deque<Pending> waiting;
    waiting.swap(pending_);
    for (Pending& p : waiting) {
        budget_.Give(p.bytes.size());
        Packet(p.fromClient, p.header, p.bytes, p.frame);
    }
    draining_ = false;
}

QuicPacketProtection* QuicConnection::keysFor(Side& side, const QuicPacketHeader& header, bool keyPhase,
                                              std::uint64_t packetNumber, bool& phaseChange) {
    phaseChange = false;
    if (header.longHeader) {
        switch (header.type) {
        case QuicPacketType::Initial:
            return &side.initial;
        case QuicPacketType::Handshake:
            return &side.handshake;
        default:
            return &side.early;
        }
    }
    if (keyPhase == side.phase)
        return &side.application[side.current];
    if (side.previousKept && packetNumber < side.phaseStart)
        return &side.application[side.previous]; // sent before the update, arrived after it
    // A key update, if the packet opens with the next phase's keys; until one does, the phase stays.
    QuicPacketProtection& next = side.application[side.next];
    if (!next.Ready() && !next.SetNextPhaseOf(side.application[side.current]))
        return nullptr;
    phaseChange = true;
    return &next;
}

QuicConnection::Step QuicConnection::openPacket(bool fromClient, const QuicPacketHeader& header,
                                                std::span<const std::uint8_t> packet, PacketNumber frame) {
    Side& side = fromClient ? client_ : server_;
    const bool initial = header.longHeader && header.type == QuicPacketType::Initial;
    const bool handshake = header.longHeader && header.type == QuicPacketType::Handshake;
    // The client's Handshake packets carry only its Finished; the server's are read as far as its
    // EncryptedExtensions.
    if (handshake && (fromClient || serverHandshake_.Stopped()))
        return Step::Done;
    if (header.longHeader && header.type == QuicPacketType::ZeroRtt && !fromClient)
        return Step::Done;
    QuicPacketProtection& headerKeys = initial     ? side.initial
                                       : handshake ? side.handshake
                                       : header.longHeader ? side.early
                                                           : side.application[side.current];
    if (!headerKeys.Ready()) // waits for the ServerHello or the key log, unless the log lacks just these
        return initial || keysSetUp_ ? Step::Done : Step::Wait;

    Unprotected u;
    if (!removeHeaderProtection(headerKeys, header, packet, u))
        return Step::Done;
    std::optional<std::uint64_t>& largest =
        initial ? side.largestInitial : (handshake ? side.largestHandshake : side.largestApplication);
    const std::uint64_t number = decodePacketNumber(largest, u.truncated, u.numberBytes);
    const bool keyPhase = !header.longHeader && (u.first & 0x04) != 0;
    bool streams = true;
    if (!fromClient && !header.longHeader && serverOpened_ >= kServerPacketsAlwaysOpened && !http_.WantsServerBytes()) {
        // A download's body is passed over, so that the server's packets open again when a new
        // request waits for its answer; a packet now and then, and any of the other key phase, is
        // opened (its frames but STREAM read) to know the numbers and key phase by.
        if (keyPhase == side.phase && ++side.unread < kUnreadBetweenChecks)
            return Step::Done;
        streams = false;
    }
    bool phaseChange = false;
    QuicPacketProtection* keys = keysFor(side, header, keyPhase, number, phaseChange);
    if (!keys || !openPayload(*keys, header, packet, u, number, scratch_, plaintext_))
        return Step::Done; // not this connection's, or damaged
    if (phaseChange) {
        const std::uint8_t before = side.previous;
        side.previous = side.current;
        side.current = side.next;
        side.next = before;
        side.application[side.next].Forget();
        side.phase = keyPhase;
        side.phaseStart = number;
        side.previousKept = true;
    }
    if (!largest || number > *largest)
        largest = number;
    if (initial && fromClient)
        initialOpened_ = true;
    if (!fromClient) {
        serverHeard_ = true;
        if (!header.longHeader) {
            ++serverOpened_;
            side.unread = 0;
        }
    }
    if (!initial && !handshake && fromClient)
        anyDecrypted_ = true;
    std::vector<std::uint8_t> payload;
    payload.swap(plaintext_); // frames may open pending packets, which reuse plaintext_
    frames(fromClient, header.longHeader ? header.type : QuicPacketType::ZeroRtt, !header.longHeader, streams, payload,
           frame);
    if (plaintext_.empty())
        plaintext_.swap(payload);
    return Step::Opened;
}

void QuicConnection::frames(bool fromClient, QuicPacketType level, bool oneRtt, bool streams,
                            std::span<const std::uint8_t> p, PacketNumber frame) {
    // Streams are read from 0-RTT and 1-RTT packets; CRYPTO frames from Initial and Handshake ones.
    const bool application = oneRtt || level == QuicPacketType::ZeroRtt;
    std::size_t at = 0;
    auto skip = [&](int count) {
        for (int i = 0; i < count; ++i)
            if (!ReadQuicVarint(p, at))
                return false;
        return true;
    };
    while (at < p.size()) {
        const auto type = ReadQuicVarint(p, at);
        if (!type)
            return;
        switch (*type) {
        case 0x00: // PADDING
        case 0x01: // PING
        case 0x1E: // HANDSHAKE_DONE
            break;
        case 0x02: // ACK
        case 0x03: {
            const auto largest = ReadQuicVarint(p, at);
            const auto delay = ReadQuicVarint(p, at);
            const auto ranges = ReadQuicVarint(p, at);
            if (!largest || !delay || !ranges || *ranges > p.size() || !skip(1 + 2 * static_cast<int>(*ranges)))
                return;
            if (*type == 0x03 && !skip(3))
                return;
            break;
        }
        case 0x04: { // RESET_STREAM
            const auto id = ReadQuicVarint(p, at);
            if (!id || !skip(2))
                return;
            if (application && streams)
                http_.StreamReset(fromClient, *id);
            break;
        }
        case 0x05: // STOP_SENDING
        case 0x11: // MAX_STREAM_DATA
        case 0x15: // STREAM_DATA_BLOCKED
            if (!skip(2))
                return;
            break;
        case 0x06: { // CRYPTO
            const auto offset = ReadQuicVarint(p, at);
            const auto length = ReadQuicVarint(p, at);
            if (!offset || !length || *length > p.size() - at)
                return;
            if (!application && level == QuicPacketType::Initial)
                cryptoBytes(fromClient, *offset, p.subspan(at, static_cast<std::size_t>(*length)));
            else if (!application && level == QuicPacketType::Handshake && !fromClient)
                handshakeBytes(*offset, p.subspan(at, static_cast<std::size_t>(*length)));
            at += static_cast<std::size_t>(*length);
            break;
        }
        case 0x07: { // NEW_TOKEN
            const auto length = ReadQuicVarint(p, at);
            if (!length || *length > p.size() - at)
                return;
            at += static_cast<std::size_t>(*length);
            break;
        }
        case 0x10: // MAX_DATA
        case 0x12: // MAX_STREAMS
        case 0x13:
        case 0x14: // DATA_BLOCKED
        case 0x16: // STREAMS_BLOCKED
        case 0x17:
            if (!skip(1))
                return;
            break;
        case 0x19: { // RETIRE_CONNECTION_ID: of an ID the sender's packets carried
            const auto sequence = ReadQuicVarint(p, at);
            if (!sequence)
                return;
            if (oneRtt && *sequence < UINT64_MAX)
                retiredIds_(fromClient, *sequence, *sequence + 1);
            break;
        }
        case 0x18: { // NEW_CONNECTION_ID
            const auto sequence = ReadQuicVarint(p, at);
            const auto retirePriorTo = ReadQuicVarint(p, at);
            if (!sequence || !retirePriorTo || at >= p.size())
                return;
            const std::size_t length = p[at++];
            if (length == 0 || length > kMaxConnectionId || p.size() - at < length + 16)
                return;
            // Packets that carry the ID go the other way, and stop carrying those before Retire Prior To.
            if (oneRtt) {
                if (*retirePriorTo > 0)
                    retiredIds_(!fromClient, 0, *retirePriorTo);
                newId_(!fromClient, *sequence, p.subspan(at, length));
            }
            at += length + 16;
            break;
        }
        case 0x1A: // PATH_CHALLENGE
        case 0x1B: // PATH_RESPONSE
            if (p.size() - at < 8)
                return;
            at += 8;
            break;
        case 0x1C: // CONNECTION_CLOSE
        case 0x1D: {
            if (!skip(*type == 0x1C ? 2 : 1))
                return;
            closed_ = closed_ || oneRtt;
            const auto length = ReadQuicVarint(p, at);
            if (!length || *length > p.size() - at)
                return;
            at += static_cast<std::size_t>(*length);
            break;
        }
        case 0x30: // DATAGRAM to the packet's end
            return;
        case 0x31: {
            const auto length = ReadQuicVarint(p, at);
            if (!length || *length > p.size() - at)
                return;
            at += static_cast<std::size_t>(*length);
            break;
        }
        default: {
            if (*type < 0x08 || *type > 0x0F)
                return; // an extension's frame: its length is unknown
            // STREAM: bit 0x04 an offset, 0x02 a length (else to the packet's end), 0x01 FIN.
            const auto id = ReadQuicVarint(p, at);
            const auto offset = (*type & 0x04) ? ReadQuicVarint(p, at) : std::optional<std::uint64_t>(0);
            const auto length = (*type & 0x02) ? ReadQuicVarint(p, at) : std::optional<std::uint64_t>(p.size() - at);
            if (!id || !offset || !length || *length > p.size() - at)
                return;
            if (application && streams)
                http_.StreamData(fromClient, *id, *offset, p.subspan(at, static_cast<std::size_t>(*length)), frame,
                                 (*type & 0x01) != 0);
            at += static_cast<std::size_t>(*length);
            break;
        }
        }
    }
}

void QuicConnection::cryptoBytes(bool fromClient, std::uint64_t offset, std::span<const std::uint8_t> data) {
    Side& side = fromClient ? client_ : server_;
    if (side.crypto.Stopped() || !side.crypto.Add(offset, data)) {
        side.crypto.Stop();
        return;
    }
    const auto bytes = side.crypto.Bytes();
    bool done = false;
    const bool ok = side.hello.Add(bytes, [&](std::uint8_t type, std::span<const std::uint8_t> body) {
        if (fromClient && type == tls::kClientHelloMessage && !clientHello_) {
            clientHello_ = ReadClientHello(body);
            done = true;
        } else if (!fromClient && type == tls::kServerHelloMessage && !suite_) {
            // A HelloRetryRequest asks for a second ClientHello (with the same random): the
            // ServerHello that follows it chooses the suite.
            const auto hello = ReadServerHello(body);
            if (hello && !hello->helloRetryRequest)
                suite_ = FindTlsCipherSuite(hello->cipherSuite, true);
            done = !hello || !hello->helloRetryRequest;
        }
    });
    side.crypto.Consume(bytes.size());
    // The hello is all the Initial CRYPTO stream is read for.
    if (!ok || done) {
        side.crypto.Stop();
        side.hello.Clear();
    }
    if (done)
        setUpKeys();
}

void QuicConnection::handshakeBytes(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (serverHandshake_.Stopped() || !serverHandshake_.Add(offset, data)) {
        serverHandshake_.Stop();
        return;
    }
    const auto bytes = serverHandshake_.Bytes();
    bool done = false;
    const bool ok = serverHandshakeMessages_.Add(bytes, [&](std::uint8_t type, std::span<const std::uint8_t> body) {
        // EncryptedExtensions is the server's first Handshake message (RFC 8446 section 4.3.1).
        if (!done && type == kEncryptedExtensions)
            encryptedExtensions(body);
        done = true;
    });
    serverHandshake_.Consume(bytes.size());
    if (!ok || done) {
        serverHandshake_.Stop();
        serverHandshakeMessages_.Clear();
    }
}

void QuicConnection::encryptedExtensions(std::span<const std::uint8_t> body) {
    // The server's transport parameters (RFC 9001 section 8.2; 0xFFA5 in the drafts).
    if (body.size() < 2)
        return;
    const std::size_t length = std::size_t{body[0]} << 8 | body[1];
    const auto extensions = body.subspan(2, std::min(length, body.size() - 2));
    for (std::size_t at = 0; at + 4 <= extensions.size();) {
        const unsigned type = unsigned{extensions[at]} << 8 | extensions[at + 1];
        const std::size_t size = std::size_t{extensions[at + 2]} << 8 | extensions[at + 3];
        at += 4;
        if (size > extensions.size() - at)
            return;
        if (type == 0x39 || type == 0xFFA5) {
            // The preferred address's ID is the server's of sequence number 1, carried by the client's packets.
            if (const auto id = preferredAddressId(extensions.subspan(at, size)); !id.empty())
                newId_(true, 1, id);
            return;
        }
        at += size;
    }
}

void QuicConnection::setUpKeys() {
    if (keysSetUp_ || !clientHello_ || !suite_)
        return;
    const TlsSecrets* secrets = keyLog_.Find(clientHello_->random);
    if (!secrets || !secrets->clientTraffic.known()) {
        waitingForKeys_ = true;
        return;
    }
    waitingForKeys_ = false;
    keysSetUp_ = true;
    client_.application[client_.current].SetSecret(*version_, *suite_, secrets->clientTraffic.span());
    if (secrets->serverTraffic.known())
        server_.application[server_.current].SetSecret(*version_, *suite_, secrets->serverTraffic.span());
    if (secrets->serverHandshake.known())
        server_.handshake.SetSecret(*version_, *suite_, secrets->serverHandshake.span());
    if (secrets->clientEarly.known())
        client_.early.SetSecret(*version_, *suite_, secrets->clientEarly.span());
    drainPending();
}

void QuicConnection::RetryKeys() {
    if (waitingForKeys_)
        setUpKeys();
}

} // namespace velmora
