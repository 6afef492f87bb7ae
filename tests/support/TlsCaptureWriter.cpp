#include "TlsCaptureWriter.h"

#include "BigEndian.h"
#include "tls/TlsRecordCipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace velmora::test {
namespace {

Bytes record(std::uint8_t type, std::uint16_t version, std::span<const std::uint8_t> body) {
    Bytes out{type};
    put16(out, version);
    put16(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes handshake(std::uint8_t type, const Bytes& body) {
    Bytes out{type};
    put24(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A small deterministic generator: the same seed gives the same connection.
std::uint32_t next(std::uint32_t& state) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return state;
}

} // namespace

Bytes TcpFrame(std::uint32_t sourceAddress, std::uint16_t sourcePort, std::uint32_t destinationAddress,
               std::uint16_t destinationPort, std::uint32_t sequence, std::uint32_t acknowledgement, std::uint8_t flags,
               std::span<const std::uint8_t> payload) {
    Bytes f{0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
    f.insert(f.end(), {0x45, 0});
    put16(f, static_cast<std::uint32_t>(20 + 20 + payload.size()));
    f.insert(f.end(), {0, 1, 0x40, 0, 64, 6, 0, 0});
    put32(f, sourceAddress);
    put32(f, destinationAddress);
    put16(f, sourcePort);
    put16(f, destinationPort);
    put32(f, sequence);
    put32(f, acknowledgement);
    f.insert(f.end(), {0x50, flags, 0xFF, 0xFF, 0, 0, 0, 0});
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

void WritePcap(const std::string& path, const std::vector<Bytes>& frames) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot write " + path);
    auto le32 = [&](std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        std::fwrite(b, 1, 4, file);
    };
    le32(0xA1B2C3D4);
    le32(0x00040002); // version 2.4
    le32(0), le32(0), le32(262144), le32(1);
    std::uint32_t ms = 0;
    for (const Bytes& frame : frames) {
        le32(1800000000 + ms / 1000), le32(ms % 1000 * 1000);
        le32(static_cast<std::uint32_t>(frame.size())), le32(static_cast<std::uint32_t>(frame.size()));
        std::fwrite(frame.data(), 1, frame.size(), file);
        ++ms;
    }
    std::fclose(file);
}

TcpFlow::TcpFlow(std::uint32_t clientAddress, std::uint16_t clientPort, std::uint32_t clientSequence,
                 std::uint32_t serverSequence, std::uint32_t serverAddress, std::uint16_t serverPort)
    : clientAddress_(clientAddress), serverAddress_(serverAddress), clientPort_(clientPort), serverPort_(serverPort),
      clientNext_(clientSequence), serverNext_(serverSequence) {}

Bytes TcpFlow::ClientAt(std::uint32_t sequence, std::span<const std::uint8_t> payload, std::uint8_t flags) const {
    return TcpFrame(clientAddress_, clientPort_, serverAddress_, serverPort_, sequence, serverNext_, flags, payload);
}

Bytes TcpFlow::ServerAt(std::uint32_t sequence, std::span<const std::uint8_t> payload, std::uint8_t flags) const {
    return TcpFrame(serverAddress_, serverPort_, clientAddress_, clientPort_, sequence, clientNext_, flags, payload);
}

Bytes TcpFlow::Client(std::span<const std::uint8_t> payload, std::uint8_t flags) {
    Bytes f = ClientAt(clientNext_, payload, flags);
    clientNext_ += static_cast<std::uint32_t>(payload.size()) + ((flags & (tcp::kSyn | tcp::kFin)) ? 1 : 0);
    return f;
}

Bytes TcpFlow::Server(std::span<const std::uint8_t> payload, std::uint8_t flags) {
    Bytes f = ServerAt(serverNext_, payload, flags);
    serverNext_ += static_cast<std::uint32_t>(payload.size()) + ((flags & (tcp::kSyn | tcp::kFin)) ? 1 : 0);
    return f;
}

Bytes TcpFlow::Syn() {
    Bytes f = TcpFrame(clientAddress_, clientPort_, serverAddress_, serverPort_, clientNext_ - 1, 0, tcp::kSyn, {});
    return f;
}

TlsClient::TlsClient(std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto* bytes : {&random_, &handshakeSecret_, &trafficSecret_})
        for (auto& b : *bytes)
            b = static_cast<std::uint8_t>(next(state));
}

std::string TlsClient::KeyLogLines() const {
    auto hex = [](const std::array<std::uint8_t, 32>& bytes) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (std::uint8_t b : bytes)
            out += digits[b >> 4], out += digits[b & 15];
        return out;
    };
    return "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + hex(random_) + " " + hex(handshakeSecret_) + "\n" +
           "CLIENT_TRAFFIC_SECRET_0 " + hex(random_) + " " + hex(trafficSecret_) + "\n";
}

Bytes TlsClient::ClientHello() const {
    Bytes body;
    put16(body, 0x0303);
    body.insert(body.end(), random_.begin(), random_.end());
    body.push_back(0); // session id
    put16(body, 2), put16(body, 0x1301);
    body.push_back(1), body.push_back(0);
    put16(body, 7);                  // extensions
    put16(body, 43), put16(body, 3); // supported_versions
    body.push_back(2), put16(body, 0x0304);
    return record(22, 0x0301, handshake(1, body));
}

Bytes TlsClient::ServerHello() {
    Bytes body;
    put16(body, 0x0303);
    for (int i = 0; i < 32; ++i)
        body.push_back(static_cast<std::uint8_t>(0x40 + i));
    body.push_back(0);
    put16(body, 0x1301);
    body.push_back(0);
    put16(body, 6);
    put16(body, 43), put16(body, 2), put16(body, 0x0304);
    return record(22, 0x0303, handshake(2, body));
}

Bytes TlsClient::seal(const std::array<std::uint8_t, 32>& secret, std::uint64_t& sequence, std::uint8_t type,
                      std::span<const std::uint8_t> plaintext) const {
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 12> nonce{};
    if (!TlsRecordCipher::ExpandLabel(false, secret, "key", key) ||
        !TlsRecordCipher::ExpandLabel(false, secret, "iv", nonce))
        throw std::runtime_error("key schedule");
    for (int i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
    ++sequence;
    Bytes inner(plaintext.begin(), plaintext.end());
    inner.push_back(type);
    Bytes out{23, 3, 3};
    put16(out, static_cast<std::uint32_t>(inner.size() + 16));
    const std::size_t header = out.size();
    out.resize(header + inner.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    const bool ok =
        EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), nonce.data()) == 1 &&
        EVP_EncryptUpdate(ctx, nullptr, &n, out.data(), static_cast<int>(header)) == 1 &&
        EVP_EncryptUpdate(ctx, out.data() + header, &n, inner.data(), static_cast<int>(inner.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx, out.data() + header + n, &n) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + header + inner.size()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        throw std::runtime_error("seal");
    return out;
}

Bytes TlsClient::Finished() {
    return seal(handshakeSecret_, handshakeSequence_, 22, handshake(20, Bytes(32, 0x5F)));
}

Bytes TlsClient::ApplicationData(std::span<const std::uint8_t> plaintext) {
    Bytes out;
    do {
        const auto piece = plaintext.first(std::min<std::size_t>(plaintext.size(), 16384));
        const Bytes sealed = seal(trafficSecret_, trafficSequence_, 23, piece);
        out.insert(out.end(), sealed.begin(), sealed.end());
        plaintext = plaintext.subspan(piece.size());
    } while (!plaintext.empty());
    return out;
}

std::vector<Bytes> HttpsFrames(TlsClient& client, TcpFlow& flow, const std::vector<std::string>& streams) {
    std::vector<Bytes> frames;
    frames.push_back(flow.Client(client.ClientHello()));
    frames.push_back(flow.Server(TlsClient::ServerHello()));
    frames.push_back(flow.Client(client.Finished()));
    for (const std::string& stream : streams) {
        const Bytes records = client.ApplicationData(AsBytes(stream));
        for (std::size_t at = 0; at < records.size(); at += 32768)
            frames.push_back(
                flow.Client(std::span(records).subspan(at, std::min<std::size_t>(32768, records.size() - at))));
    }
    return frames;
}

std::string Http2Stream(const std::vector<Bytes>& headerBlocks) {
    Bytes out;
    const std::string_view preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    out.insert(out.end(), preface.begin(), preface.end());
    out.insert(out.end(), {0, 0, 0, 4, 0, 0, 0, 0, 0}); // SETTINGS
    std::uint32_t stream = 1;
    for (const Bytes& block : headerBlocks) {
        put24(out, static_cast<std::uint32_t>(block.size()));
        out.push_back(1);         // HEADERS
        out.push_back(0x4 | 0x1); // END_HEADERS, END_STREAM
        put32(out, stream);
        stream += 2;
        out.insert(out.end(), block.begin(), block.end());
    }
    return {out.begin(), out.end()};
}

std::string HttpGet(std::string_view host, std::string_view target) {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + std::string(host) + "\r\nUser-Agent: crafted\r\n\r\n";
}

} // namespace velmora::test
