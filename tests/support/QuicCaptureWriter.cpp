#include "QuicCaptureWriter.h"

#include "BigEndian.h"
#include "tls/TlsRecordCipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <stdexcept>

namespace velmora::test {
namespace {

void append(Bytes& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// RFC 9000 section 16.
void varint(Bytes& out, std::uint64_t v) {
    if (v < 64) {
        out.push_back(static_cast<std::uint8_t>(v));
    } else if (v < 16384) {
        put16(out, static_cast<std::uint32_t>(v | 0x4000));
    } else if (v < (1u << 30)) {
        put32(out, static_cast<std::uint32_t>(v | 0x80000000u));
    } else {
        put32(out, static_cast<std::uint32_t>(v >> 32 | 0xC0000000u));
        put32(out, static_cast<std::uint32_t>(v));
    }
}

// QPACK's prefixed integers (RFC 7541 section 5.1): `first` holds the pattern bits above the prefix.
void prefixed(Bytes& out, std::uint8_t first, int prefixBits, std::uint64_t v) {
    const std::uint64_t max = (1u << prefixBits) - 1;
    if (v < max) {
        out.push_back(static_cast<std::uint8_t>(first | v));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(first | max));
    v -= max;
    while (v >= 128) {
        out.push_back(static_cast<std::uint8_t>(v % 128 + 128));
        v /= 128;
    }
    out.push_back(static_cast<std::uint8_t>(v));
}

Bytes handshakeMessage(std::uint8_t type, const Bytes& body) {
    Bytes out{type};
    put24(out, static_cast<std::uint32_t>(body.size()));
    append(out, body);
    return out;
}

std::uint32_t next(std::uint32_t& state) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return state;
}

template <std::size_t N> void fill(std::array<std::uint8_t, N>& bytes, std::uint32_t& state) {
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(next(state));
}

Bytes randomBytes(std::size_t n, std::uint32_t& state) {
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(next(state));
    return out;
}

void require(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("QuicCaptureWriter: ") + what);
}

// AES-128-GCM sealing; returns ciphertext and tag.
Bytes aesGcm(std::span<const std::uint8_t, 16> key, std::span<const std::uint8_t, 12> nonce,
             std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plaintext) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plaintext.size() + 16);
    int length = 0, finalLength = 0;
    const bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), nonce.data()) == 1 &&
                    EVP_EncryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1 &&
                    (plaintext.empty() || EVP_EncryptUpdate(ctx, out.data(), &length, plaintext.data(),
                                                            static_cast<int>(plaintext.size())) == 1) &&
                    EVP_EncryptFinal_ex(ctx, out.data() + plaintext.size(), &finalLength) == 1 &&
                    EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plaintext.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    require(ok, "AES-GCM");
    return out;
}

std::array<std::uint8_t, 5> headerMask(std::span<const std::uint8_t, 16> hp, std::span<const std::uint8_t> sample) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::array<std::uint8_t, 32> out{};
    int length = 0;
    const bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, hp.data(), nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &length, sample.data(), 16) == 1;
    EVP_CIPHER_CTX_free(ctx);
    require(ok, "header protection");
    return {out[0], out[1], out[2], out[3], out[4]};
}

std::array<std::uint8_t, 32> hkdfExtract(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> key) {
    std::array<std::uint8_t, 32> out{};
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    int mode = EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(key.data()), key.size()),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx);
    EVP_KDF_free(kdf);
    require(ok, "HKDF-Extract");
    return out;
}

// The Retry integrity key and nonce (RFC 9001 section 5.8, RFC 9369 section 3.3.3; the draft's for
// version 2's provisional number).
std::pair<Bytes, Bytes> retryKey(std::uint32_t version) {
    auto hex = [](std::string_view text) {
        Bytes out;
        for (std::size_t i = 0; i < text.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        return out;
    };
    switch (version) {
    case 0x00000001:
        return {hex("be0c690b9f66575a1d766b54e368c84e"), hex("461599d35d632bf2239825bb")};
    case 0x6b3343cf:
        return {hex("8fb4b01b56ac48e260fbcbcead7ccc92"), hex("d86969bc2d7c6d9990efb04a")};
    default:
        return {hex("ba858dc7b43de5dbf87617ff4ab253db"), hex("141b99c239b03e785d6a2e9f")};
    }
}

std::uint8_t typeBits(const QuicVersion& version, QuicPacketType type) {
    for (std::uint8_t i = 0; i < 4; ++i)
        if (version.types[i] == type)
            return i;
    return 0;
}

} // namespace

Bytes UdpFrame(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t destinationAddress,
               std::uint16_t destinationPort, std::span<const std::uint8_t> payload) {
    Bytes f{0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
    f.insert(f.end(), {0x45, 0});
    put16(f, static_cast<std::uint32_t>(20 + 8 + payload.size()));
    f.insert(f.end(), {0, 1, 0x40, 0, 64, 17, 0, 0});
    put32(f, sourceAddress);
    put32(f, destinationAddress);
    put16(f, sourcePort);
    put16(f, destinationPort);
    put16(f, static_cast<std::uint32_t>(8 + payload.size()));
    put16(f, 0);
    append(f, payload);
    return f;
}

namespace quicframe {

Bytes Stream(std::uint64_t streamId, std::uint64_t offset, std::span<const std::uint8_t> data, bool fin) {
    Bytes out{static_cast<std::uint8_t>(0x08 | 0x04 | 0x02 | (fin ? 0x01 : 0))};
    varint(out, streamId);
    varint(out, offset);
    varint(out, data.size());
    append(out, data);
    return out;
}

Bytes Crypto(std::uint64_t offset, std::span<const std::uint8_t> data) {
    Bytes out{0x06};
    varint(out, offset);
    varint(out, data.size());
    append(out, data);
    return out;
}

Bytes NewConnectionId(std::uint64_t sequence, std::uint64_t retirePriorTo, std::span<const std::uint8_t> id) {
    Bytes out{0x18};
    varint(out, sequence);
    varint(out, retirePriorTo);
    out.push_back(static_cast<std::uint8_t>(id.size()));
    append(out, id);
    for (int i = 0; i < 16; ++i)
        out.push_back(static_cast<std::uint8_t>(id[static_cast<std::size_t>(i) % id.size()] ^ 0x5A));
    return out;
}

Bytes RetireConnectionId(std::uint64_t sequence) {
    Bytes out{0x19};
    varint(out, sequence);
    return out;
}

Bytes Ping() { return {0x01}; }

Bytes ConnectionClose() { return {0x1C, 0x00, 0x00, 0x00}; }

} // namespace quicframe

namespace http3 {

Bytes ControlStream() {
    Bytes settings;
    varint(settings, 0x01); // QPACK_MAX_TABLE_CAPACITY
    varint(settings, 0);
    varint(settings, 0x07); // QPACK_BLOCKED_STREAMS
    varint(settings, 0);
    Bytes out;
    varint(out, 0x00); // control stream
    varint(out, 0x04); // SETTINGS
    varint(out, settings.size());
    append(out, settings);
    return out;
}

Bytes Headers(const Fields& fields) {
    Bytes block{0x00, 0x00}; // Required Insert Count 0, Base 0
    for (const auto& [name, value] : fields) {
        prefixed(block, 0x20, 3, name.size()); // literal field line with literal name, no Huffman
        append(block, AsBytes(name));
        prefixed(block, 0x00, 7, value.size());
        append(block, AsBytes(value));
    }
    Bytes out;
    varint(out, 0x01);
    varint(out, block.size());
    append(out, block);
    return out;
}

Bytes Data(std::span<const std::uint8_t> body) {
    Bytes out;
    varint(out, 0x00);
    varint(out, body.size());
    append(out, body);
    return out;
}

Bytes Get(std::string_view authority, std::string_view path) {
    return Headers({{":method", "GET"},
                    {":scheme", "https"},
                    {":authority", std::string(authority)},
                    {":path", std::string(path)},
                    {"user-agent", "velmora-test"}});
}

Bytes Response(std::string_view status, std::string_view contentType) {
    return Headers({{":status", std::string(status)}, {"content-type", std::string(contentType)}});
}

} // namespace http3

QuicConnectionWriter::QuicConnectionWriter(std::uint32_t seed, std::uint32_t version)
    : version_(FindQuicVersion(version)), state_(seed * 2654435761u + 7) {
    require(version_ != nullptr, "unknown version");
    originalDestinationId_ = randomBytes(kIdBytes, state_);
    clientId_ = randomBytes(kIdBytes, state_);
    serverId_ = randomBytes(kIdBytes, state_);
    fill(random_, state_);
    for (Side* side : {&clientSide_, &serverSide_}) {
        fill(side->handshakeSecret, state_);
        fill(side->trafficSecret0, state_);
        side->trafficSecret = side->trafficSecret0;
    }
    initialDestination_ = originalDestinationId_;
    clientSide_.destination = originalDestinationId_;
    serverSide_.destination = clientId_;
    hpClient_ = keysFromSecret(clientSide_.trafficSecret, true).hp;
    hpServer_ = keysFromSecret(serverSide_.trafficSecret, true).hp;
}

Bytes QuicConnectionWriter::IssuedId(bool client, std::uint64_t sequence) const {
    Bytes id = client ? clientId_ : serverId_;
    for (std::size_t i = 0; i < id.size(); ++i)
        id[i] ^= static_cast<std::uint8_t>((sequence * 0x9E3779B1u) >> (i % 4 * 8)) | (i == 0 ? 0x80 : 0);
    return id;
}

std::string QuicConnectionWriter::KeyLogLines() const {
    auto hex = [](std::span<const std::uint8_t> bytes) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (std::uint8_t b : bytes)
            out += digits[b >> 4], out += digits[b & 15];
        return out;
    };
    const std::string random = hex(random_);
    return "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + hex(clientSide_.handshakeSecret) + "\n" +
           "SERVER_HANDSHAKE_TRAFFIC_SECRET " + random + " " + hex(serverSide_.handshakeSecret) + "\n" +
           "CLIENT_TRAFFIC_SECRET_0 " + random + " " + hex(clientSide_.trafficSecret0) + "\n" +
           "SERVER_TRAFFIC_SECRET_0 " + random + " " + hex(serverSide_.trafficSecret0) + "\n";
}

Bytes QuicConnectionWriter::FromClient(std::span<const std::uint8_t> payload) const {
    return UdpFrame(client_.address, client_.port, server_.address, server_.port, payload);
}

Bytes QuicConnectionWriter::FromServer(std::span<const std::uint8_t> payload) const {
    return UdpFrame(server_.address, server_.port, client_.address, client_.port, payload);
}

QuicConnectionWriter::Keys QuicConnectionWriter::keysFromSecret(std::span<const std::uint8_t> secret,
                                                                bool withHp) const {
    Keys keys;
    require(TlsRecordCipher::ExpandLabel(false, secret, version_->keyLabel, keys.key) &&
                TlsRecordCipher::ExpandLabel(false, secret, version_->ivLabel, keys.iv) &&
                (!withHp || TlsRecordCipher::ExpandLabel(false, secret, version_->hpLabel, keys.hp)),
            "HKDF-Expand-Label");
    return keys;
}

QuicConnectionWriter::Keys QuicConnectionWriter::initialKeys(bool client) const {
    const auto initial = hkdfExtract(version_->initialSalt, initialDestination_);
    std::array<std::uint8_t, 32> secret{};
    require(TlsRecordCipher::ExpandLabel(false, initial, client ? "client in" : "server in", secret), "Initial secret");
    return keysFromSecret(secret, true);
}

Bytes QuicConnectionWriter::seal(const Keys& keys, Bytes header, std::size_t numberAt, std::uint64_t number,
                                 std::span<const std::uint8_t> frames, bool longHeader) const {
    // Two-byte packet numbers; enough payload for the header protection sample.
    Bytes plaintext(frames.begin(), frames.end());
    if (plaintext.size() < 4)
        plaintext.resize(4, 0x00);
    if (longHeader) {
        // The Length field (two-byte varint) covers the packet number, payload and tag.
        put16(header, static_cast<std::uint32_t>(0x4000 | (2 + plaintext.size() + 16)));
        numberAt = header.size();
    }
    header[0] |= 0x01;
    put16(header, static_cast<std::uint32_t>(number & 0xFFFF));
    std::array<std::uint8_t, 12> nonce = keys.iv;
    for (int i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<std::uint8_t>(number >> (8 * i));
    Bytes packet = header;
    append(packet, aesGcm(keys.key, nonce, header, plaintext));
    const auto mask = headerMask(keys.hp, std::span(packet).subspan(numberAt + 4, 16));
    packet[0] ^= mask[0] & (longHeader ? 0x0F : 0x1F);
    packet[numberAt] ^= mask[1];
    packet[numberAt + 1] ^= mask[2];
    return packet;
}

Bytes QuicConnectionWriter::longHeader(bool fromClient, QuicPacketType type) const {
    const Side& side = fromClient ? clientSide_ : serverSide_;
    Bytes h{static_cast<std::uint8_t>(0xC0 | typeBits(*version_, type) << 4)};
    put32(h, version_->number);
    h.push_back(static_cast<std::uint8_t>(side.destination.size()));
    append(h, side.destination);
    const Bytes& source = fromClient ? clientId_ : serverId_;
    h.push_back(static_cast<std::uint8_t>(source.size()));
    append(h, source);
    if (type == QuicPacketType::Initial) {
        Bytes token = fromClient ? token_ : Bytes{};
        varint(h, token.size());
        append(h, token);
    }
    return h;
}

Bytes QuicConnectionWriter::Long(bool fromClient, QuicPacketType type, std::span<const std::uint8_t> frames) {
    Side& side = fromClient ? clientSide_ : serverSide_;
    Keys keys;
    std::size_t space = 0;
    switch (type) {
    case QuicPacketType::Initial:
        keys = initialKeys(fromClient);
        break;
    case QuicPacketType::Handshake:
        keys = keysFromSecret(side.handshakeSecret, true);
        space = 1;
        break;
    default:
        require(false, "Long makes Initial and Handshake packets");
    }
    return seal(keys, longHeader(fromClient, type), 0, side.number[space]++, frames, true);
}

Bytes QuicConnectionWriter::Short(bool fromClient, std::span<const std::uint8_t> frames) {
    Side& side = fromClient ? clientSide_ : serverSide_;
    Keys keys = keysFromSecret(side.trafficSecret, false);
    keys.hp = fromClient ? hpClient_ : hpServer_;
    Bytes h{static_cast<std::uint8_t>(0x40 | (side.keyPhase ? 0x04 : 0))};
    append(h, side.destination);
    return seal(keys, h, h.size(), side.number[2]++, frames, false);
}

Bytes QuicConnectionWriter::ClientInitial() {
    Bytes hello;
    put16(hello, 0x0303);
    append(hello, random_);
    hello.push_back(0);
    put16(hello, 2), put16(hello, 0x1301);
    hello.push_back(1), hello.push_back(0);
    put16(hello, 7);
    put16(hello, 43), put16(hello, 3); // supported_versions: TLS 1.3
    hello.push_back(2), put16(hello, 0x0304);
    Bytes frames = quicframe::Crypto(0, handshakeMessage(1, hello));
    // Padded so that the datagram holds 1200 bytes (RFC 9000 section 14.1).
    const std::size_t overhead = longHeader(true, QuicPacketType::Initial).size() + 2 + 2 + 16;
    frames.resize(std::max<std::size_t>(frames.size(), 1200 - overhead), 0x00);
    return Long(true, QuicPacketType::Initial, frames);
}

Bytes QuicConnectionWriter::ServerInitial() {
    Bytes hello;
    put16(hello, 0x0303);
    for (int i = 0; i < 32; ++i)
        hello.push_back(static_cast<std::uint8_t>(random_[static_cast<std::size_t>(i)] ^ 0xA5));
    hello.push_back(0);
    put16(hello, 0x1301);
    hello.push_back(0);
    put16(hello, 6);
    put16(hello, 43), put16(hello, 2), put16(hello, 0x0304);
    const Bytes packet = Long(false, QuicPacketType::Initial, quicframe::Crypto(0, handshakeMessage(2, hello)));
    clientSide_.destination = serverId_;
    return packet;
}

Bytes QuicConnectionWriter::ServerHandshake(std::optional<QuicEndpoint> preferredAddress) {
    Bytes parameters;
    auto parameter = [&](std::uint64_t id, std::span<const std::uint8_t> value) {
        varint(parameters, id);
        varint(parameters, value.size());
        append(parameters, value);
    };
    parameter(0x00, originalDestinationId_); // original_destination_connection_id
    parameter(0x0F, serverId_);              // initial_source_connection_id
    if (preferredAddress) {
        Bytes value;
        put32(value, preferredAddress->address);
        put16(value, preferredAddress->port);
        value.resize(value.size() + 16 + 2, 0x00); // no IPv6 address
        const Bytes id = IssuedId(false, 1);
        value.push_back(static_cast<std::uint8_t>(id.size()));
        append(value, id);
        value.resize(value.size() + 16, 0x77); // stateless reset token
        parameter(0x0D, value);
    }
    Bytes extensions;
    put16(extensions, 0x39); // quic_transport_parameters
    put16(extensions, static_cast<std::uint32_t>(parameters.size()));
    append(extensions, parameters);
    Bytes body;
    put16(body, static_cast<std::uint32_t>(extensions.size()));
    append(body, extensions);
    // The certificate and Finished would follow; the reader needs only the extensions.
    return Long(false, QuicPacketType::Handshake, quicframe::Crypto(0, handshakeMessage(8, body)));
}

Bytes QuicConnectionWriter::Retry(std::span<const std::uint8_t> newId, bool correctTag) {
    Bytes packet{static_cast<std::uint8_t>(0xC0 | typeBits(*version_, QuicPacketType::Retry) << 4 | 0x0A)};
    put32(packet, version_->number);
    packet.push_back(static_cast<std::uint8_t>(clientId_.size()));
    append(packet, clientId_);
    packet.push_back(static_cast<std::uint8_t>(newId.size()));
    append(packet, newId);
    const Bytes token = randomBytes(24, state_);
    append(packet, token);
    // The tag seals nothing, over the Retry Pseudo-Packet: the ID the client first sent to, then the Retry.
    Bytes pseudo{static_cast<std::uint8_t>(initialDestination_.size())};
    append(pseudo, initialDestination_);
    append(pseudo, packet);
    const auto [key, nonce] = retryKey(version_->number);
    Bytes tag = aesGcm(std::span<const std::uint8_t, 16>(key.data(), 16), std::span<const std::uint8_t, 12>(nonce.data(), 12),
                       pseudo, {});
    if (!correctTag)
        tag[0] ^= 0x01;
    append(packet, tag);
    if (correctTag) {
        token_ = token;
        initialDestination_.assign(newId.begin(), newId.end());
        clientSide_.destination = initialDestination_;
    }
    return packet;
}

void QuicConnectionWriter::KeyUpdate(bool client) {
    Side& side = client ? clientSide_ : serverSide_;
    std::array<std::uint8_t, 32> next{};
    require(TlsRecordCipher::ExpandLabel(false, side.trafficSecret, version_->kuLabel, next), "key update");
    side.trafficSecret = next;
    side.keyPhase = !side.keyPhase;
}

void QuicConnectionWriter::SendTo(bool client, std::span<const std::uint8_t> destinationId) {
    (client ? clientSide_ : serverSide_).destination.assign(destinationId.begin(), destinationId.end());
}

std::vector<Bytes> QuicConnectionWriter::Handshake(std::optional<QuicEndpoint> preferredAddress) {
    std::vector<Bytes> frames;
    frames.push_back(FromClient(ClientInitial()));
    Bytes flight = ServerInitial();
    append(flight, ServerHandshake(preferredAddress));
    frames.push_back(FromServer(flight));
    for (bool client : {true, false}) {
        Side& side = client ? clientSide_ : serverSide_;
        const Bytes control = http3::ControlStream();
        const Bytes packet = Short(client, quicframe::Stream(client ? 2 : 3, side.streamOffset, control));
        side.streamOffset += control.size();
        frames.push_back(client ? FromClient(packet) : FromServer(packet));
    }
    return frames;
}

Bytes QuicConnectionWriter::Request(std::string_view authority, std::string_view path, std::uint64_t* streamId,
                                    std::span<const std::uint8_t> extraFrames) {
    const std::uint64_t id = nextRequestStream_;
    nextRequestStream_ += 4;
    if (streamId)
        *streamId = id;
    Bytes frames(extraFrames.begin(), extraFrames.end());
    append(frames, quicframe::Stream(id, 0, http3::Get(authority, path), true));
    return FromClient(Short(true, frames));
}

Bytes QuicConnectionWriter::Answer(std::uint64_t streamId, std::string_view contentType,
                                   std::span<const std::uint8_t> extraFrames) {
    Bytes frames(extraFrames.begin(), extraFrames.end());
    append(frames, quicframe::Stream(streamId, 0, http3::Response("200", contentType)));
    return FromServer(Short(false, frames));
}

} // namespace velmora::test
