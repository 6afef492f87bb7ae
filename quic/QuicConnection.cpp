#include "quic/QuicConnection.h"

#include "quic/QuicVarint.h"

#include <cstring>

namespace velmora {
namespace {

constexpr std::size_t kSampleBytes = 16;
constexpr std::size_t kMaxConnectionId = 20;

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

} // namespace

QuicConnection::QuicConnection(const QuicVersion& version, std::span<const std::uint8_t> originalDestinationId,
                               KeyLog& keyLog, HttpRequestSink& sink, ByteBudget& budget, NewId newId)
    : version_(&version), keyLog_(keyLog), budget_(budget), newId_(std::move(newId)), client_(budget), server_(budget),
      http_(sink, budget) {
    Retry(originalDestinationId);
}

void QuicConnection::Retry(std::span<const std::uint8_t> destinationId) {
    client_.initial.SetInitial(*version_, destinationId, true);
    server_.initial.SetInitial(*version_, destinationId, false);
}

QuicConnection::Outcome QuicConnection::outcome() const {
    if (anyDecrypted_)
        return Outcome::Decrypted;
    if (waitingForKeys_)
        return Outcome::WithoutKeys;
    return Outcome::Pending;
}

void QuicConnection::Packet(bool fromClient, const QuicPacketHeader& header, std::span<const std::uint8_t> packet,
                            PacketNumber frame) {
    if (packet.size() < header.packetNumberAt + 4 + kSampleBytes)
        return;
    if (openPacket(fromClient, header, packet, frame) == Step::Wait)
        keep(fromClient, header, packet, frame);
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
    if (header.longHeader)
        return header.type == QuicPacketType::Initial ? &side.initial : &side.early;
    if (keyPhase == side.phase)
        return &side.application[side.phase];
    QuicPacketProtection& other = side.application[keyPhase];
    if (side.previousKept && packetNumber < side.phaseStart)
        return &other; // sent before the update, arrived after it
    // A key update: the next phase's keys from the current ones.
    side.previousKept = false;
    if (!other.SetNextPhaseOf(side.application[side.phase]))
        return nullptr;
    phaseChange = true;
    return &other;
}

QuicConnection::Step QuicConnection::openPacket(bool fromClient, const QuicPacketHeader& header,
                                                std::span<const std::uint8_t> packet, PacketNumber frame) {
    Side& side = fromClient ? client_ : server_;
    const bool initial = header.longHeader && header.type == QuicPacketType::Initial;
    if (header.longHeader && header.type != QuicPacketType::Initial && header.type != QuicPacketType::ZeroRtt)
        return Step::Done; // Handshake packets
    if (header.longHeader && header.type == QuicPacketType::ZeroRtt && !fromClient)
        return Step::Done;
    QuicPacketProtection& headerKeys =
        initial ? side.initial : (header.longHeader ? side.early : side.application[side.phase]);
    if (!headerKeys.Ready()) // waits for the ServerHello or the key log, unless the log lacks just these
        return initial || keysSetUp_ ? Step::Done : Step::Wait;

    // Header protection (RFC 9001 section 5.4): the mask comes from a sample that starts four
    // bytes past where the packet number begins.
    const std::size_t at = header.packetNumberAt;
    std::array<std::uint8_t, 5> mask{};
    if (!headerKeys.Mask(std::span<const std::uint8_t, kSampleBytes>(packet.data() + at + 4, kSampleBytes), mask))
        return Step::Done;
    const std::uint8_t first = packet[0] ^ (mask[0] & (header.longHeader ? 0x0F : 0x1F));
    const std::size_t numberBytes = (first & 0x03) + 1u;
    std::uint64_t truncated = 0;
    for (std::size_t i = 0; i < numberBytes; ++i)
        truncated = truncated << 8 | (packet[at + i] ^ mask[1 + i]);
    std::optional<std::uint64_t>& largest = initial ? side.largestInitial : side.largestApplication;
    const std::uint64_t number = decodePacketNumber(largest, truncated, numberBytes);
    const bool keyPhase = !header.longHeader && (first & 0x04) != 0;
    if (!fromClient && !header.longHeader && serverOpened_ >= kServerPacketsAlwaysOpened && !http_.WantsServerBytes()) {
        // A download's body: only the packet number and the key phase are followed, so that the
        // server's packets open again when a new request waits for its answer.
        if (keyPhase != side.phase) {
            if (!side.application[keyPhase].SetNextPhaseOf(side.application[side.phase]))
                return Step::Done;
            side.phase = keyPhase;
            side.phaseStart = number;
            side.previousKept = true;
        }
        if (!largest || number > *largest)
            largest = number;
        return Step::Done;
    }
    scratch_.assign(packet.begin(), packet.end());
    scratch_[0] = first;
    for (std::size_t i = 0; i < numberBytes; ++i)
        scratch_[at + i] ^= mask[1 + i];
    bool phaseChange = false;
    QuicPacketProtection* keys = keysFor(side, header, keyPhase, number, phaseChange);
    const std::span<const std::uint8_t> all(scratch_);
    if (!keys || !keys->Open(all.first(at + numberBytes), all.subspan(at + numberBytes), number, plaintext_)) {
        if (phaseChange)
            keys->Forget();
        return Step::Done; // not this connection's, or damaged
    }
    if (phaseChange) {
        side.phase = keyPhase;
        side.phaseStart = number;
        side.previousKept = true;
    }
    if (!largest || number > *largest)
        largest = number;
    if (initial && fromClient)
        initialOpened_ = true;
    if (!fromClient && !header.longHeader)
        ++serverOpened_;
    if (!initial && fromClient)
        anyDecrypted_ = true;
    std::vector<std::uint8_t> payload;
    payload.swap(plaintext_); // frames may open pending packets, which reuse plaintext_
    frames(fromClient, header.longHeader ? header.type : QuicPacketType::Handshake, !header.longHeader, payload, frame);
    if (plaintext_.empty())
        plaintext_.swap(payload);
    return Step::Done;
}

void QuicConnection::frames(bool fromClient, QuicPacketType level, bool oneRtt, std::span<const std::uint8_t> p,
                            PacketNumber frame) {
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
            if (level != QuicPacketType::Initial)
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
            if (level == QuicPacketType::Initial)
                cryptoBytes(fromClient, *offset, p.subspan(at, static_cast<std::size_t>(*length)));
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
        case 0x19: // RETIRE_CONNECTION_ID
            if (!skip(1))
                return;
            break;
        case 0x18: { // NEW_CONNECTION_ID
            if (!skip(2) || at >= p.size())
                return;
            const std::size_t length = p[at++];
            if (length == 0 || length > kMaxConnectionId || p.size() - at < length + 16)
                return;
            // Packets that carry the ID go the other way.
            if (oneRtt)
                newId_(!fromClient, p.subspan(at, length));
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
            if (level != QuicPacketType::Initial)
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
    client_.application[0].SetSecret(*version_, *suite_, secrets->clientTraffic.span());
    if (secrets->serverTraffic.known())
        server_.application[0].SetSecret(*version_, *suite_, secrets->serverTraffic.span());
    if (secrets->clientEarly.known())
        client_.early.SetSecret(*version_, *suite_, secrets->clientEarly.span());
    drainPending();
}

void QuicConnection::RetryKeys() {
    if (waitingForKeys_)
        setUpKeys();
}

} // namespace velmora
