#include "tls/TlsRecordCipher.h"

#include "tls/OpenSslAlgorithms.h"
#include "tls/TlsHello.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <array>
#include <cstring>

namespace velmora {
namespace {

constexpr std::size_t kTagBytes = 16;
constexpr std::size_t kExplicitNonceBytes = 8; // TLS 1.2 GCM

constexpr std::array<TlsCipherSuite, 12> kSuites{{
    {0x1301, true, TlsCipherSuite::Aead::Aes128Gcm, false},         // TLS_AES_128_GCM_SHA256
    {0x1302, true, TlsCipherSuite::Aead::Aes256Gcm, true},          // TLS_AES_256_GCM_SHA384
    {0x1303, true, TlsCipherSuite::Aead::Chacha20Poly1305, false},  // TLS_CHACHA20_POLY1305_SHA256
    {0xC02B, false, TlsCipherSuite::Aead::Aes128Gcm, false},        // ECDHE_ECDSA_WITH_AES_128_GCM_SHA256
    {0xC02F, false, TlsCipherSuite::Aead::Aes128Gcm, false},        // ECDHE_RSA_WITH_AES_128_GCM_SHA256
    {0xC02C, false, TlsCipherSuite::Aead::Aes256Gcm, true},         // ECDHE_ECDSA_WITH_AES_256_GCM_SHA384
    {0xC030, false, TlsCipherSuite::Aead::Aes256Gcm, true},         // ECDHE_RSA_WITH_AES_256_GCM_SHA384
    {0xCCA9, false, TlsCipherSuite::Aead::Chacha20Poly1305, false}, // ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256
    {0xCCA8, false, TlsCipherSuite::Aead::Chacha20Poly1305, false}, // ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256
    // The same AEADs after a DHE or RSA key exchange: the key log's master secret makes it irrelevant.
    {0x009E, false, TlsCipherSuite::Aead::Aes128Gcm, false},        // DHE_RSA_WITH_AES_128_GCM_SHA256
    {0x009F, false, TlsCipherSuite::Aead::Aes256Gcm, true},         // DHE_RSA_WITH_AES_256_GCM_SHA384
    {0xCCAA, false, TlsCipherSuite::Aead::Chacha20Poly1305, false}, // DHE_RSA_WITH_CHACHA20_POLY1305_SHA256
}};

// TLS 1.2's PRF, fetched once: fetching looks through the providers every time.
bool derivePrf(OSSL_PARAM* params, std::span<std::uint8_t> out) {
    static EVP_KDF* const method = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    if (!method)
        return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(method);
    if (!ctx)
        return false;
    const bool ok = EVP_KDF_derive(ctx, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(ctx);
    return ok;
}

char* digestName(bool sha384) {
    return const_cast<char*>(sha384 ? "SHA384" : "SHA256");
}

void* mutableBytes(std::span<const std::uint8_t> bytes) {
    return const_cast<std::uint8_t*>(bytes.data());
}

} // namespace

const EVP_CIPHER* TlsCipherSuite::Cipher() const {
    switch (aead) {
    case Aead::Aes128Gcm:
        return openssl::Fetched(openssl::Cipher::Aes128Gcm);
    case Aead::Aes256Gcm:
        return openssl::Fetched(openssl::Cipher::Aes256Gcm);
    case Aead::Chacha20Poly1305:
        return openssl::Fetched(openssl::Cipher::Chacha20Poly1305);
    }
    return nullptr;
}

const TlsCipherSuite* FindTlsCipherSuite(std::uint16_t id, bool tls13) {
    for (const auto& suite : kSuites)
        if (suite.id == id && suite.tls13 == tls13)
            return &suite;
    return nullptr;
}

struct TlsRecordCipher::Context {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ~Context() { EVP_CIPHER_CTX_free(ctx); }
};

TlsRecordCipher::TlsRecordCipher() : context_(std::make_unique<Context>()), stream_(std::make_unique<Context>()) {}
TlsRecordCipher::~TlsRecordCipher() {
    OPENSSL_cleanse(secret_, sizeof secret_);
}

bool TlsRecordCipher::ExpandLabel(bool sha384, std::span<const std::uint8_t> secret, const char* label,
                                  std::span<std::uint8_t> out) {
    return openssl::HkdfExpandLabel(sha384, secret, label, out);
}

bool TlsRecordCipher::installKey(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv) {
    ready_ = false;
    using openssl::Cipher;
    const EVP_CIPHER* stream = openssl::Fetched(suite_->aead == TlsCipherSuite::Aead::Aes128Gcm   ? Cipher::Aes128Ctr
                                                : suite_->aead == TlsCipherSuite::Aead::Aes256Gcm ? Cipher::Aes256Ctr
                                                                                                  : Cipher::Chacha20);
    if (EVP_DecryptInit_ex(context_->ctx, suite_->Cipher(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(context_->ctx, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) != 1 ||
        EVP_DecryptInit_ex(context_->ctx, nullptr, nullptr, key.data(), nullptr) != 1 ||
        EVP_DecryptInit_ex(stream_->ctx, stream, nullptr, key.data(), nullptr) != 1)
        return false;
    std::memcpy(iv_, iv.data(), iv.size());
    ivLength_ = iv.size();
    sequence_ = 0;
    ready_ = true;
    return true;
}

bool TlsRecordCipher::SetTrafficSecret(const TlsCipherSuite& suite, std::span<const std::uint8_t> secret) {
    ready_ = false;
    const std::size_t hashLength = suite.sha384 ? 48 : 32;
    if (!suite.tls13 || secret.size() != hashLength)
        return false;
    suite_ = &suite;
    std::memcpy(secret_, secret.data(), secret.size());
    secretLength_ = secret.size();
    std::array<std::uint8_t, 32> key{};
    std::array<std::uint8_t, 12> iv{};
    const std::span keySpan(key.data(), suite.KeyBytes());
    const bool ok = ExpandLabel(suite.sha384, secret, "key", keySpan) && ExpandLabel(suite.sha384, secret, "iv", iv) &&
                    installKey(keySpan, iv);
    OPENSSL_cleanse(key.data(), key.size());
    return ok;
}

bool TlsRecordCipher::UpdateTrafficSecret() {
    if (!suite_ || !suite_->tls13 || secretLength_ == 0)
        return false;
    std::array<std::uint8_t, 48> next{};
    const std::span nextSpan(next.data(), secretLength_);
    if (!ExpandLabel(suite_->sha384, std::span(secret_, secretLength_), "traffic upd", nextSpan))
        return false;
    return SetTrafficSecret(*suite_, nextSpan);
}

bool TlsRecordCipher::SetMasterSecret(const TlsCipherSuite& suite, std::span<const std::uint8_t> master,
                                      std::span<const std::uint8_t, 32> clientRandom,
                                      std::span<const std::uint8_t, 32> serverRandom, bool server) {
    ready_ = false;
    if (suite.tls13 || master.size() != 48)
        return false;
    suite_ = &suite;
    // key_block = PRF(master, "key expansion", server_random + client_random): the AEAD suites have
    // no MAC keys, so it is client key, server key, client IV, server IV.
    const std::size_t keyBytes = suite.KeyBytes();
    const std::size_t ivBytes = suite.aead == TlsCipherSuite::Aead::Chacha20Poly1305 ? 12 : 4;
    std::array<std::uint8_t, 2 * 32 + 2 * 12> block{};
    static const char kLabel[] = "key expansion";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName(suite.sha384), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, mutableBytes(master), master.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, const_cast<char*>(kLabel), sizeof kLabel - 1),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, mutableBytes(serverRandom), 32),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, mutableBytes(clientRandom), 32),
        OSSL_PARAM_construct_end(),
    };
    const std::span blockSpan(block.data(), 2 * keyBytes + 2 * ivBytes);
    bool ok = derivePrf(params, blockSpan);
    if (ok)
        ok = installKey(blockSpan.subspan(server ? keyBytes : 0, keyBytes),
                        blockSpan.subspan(2 * keyBytes + (server ? ivBytes : 0), ivBytes));
    OPENSSL_cleanse(block.data(), block.size());
    secretLength_ = 0;
    return ok;
}

std::size_t TlsRecordCipher::PlaintextBytes(std::size_t bodyBytes) const {
    const std::size_t overhead =
        kTagBytes + (suite_->tls13                                          ? 1
                     : suite_->aead != TlsCipherSuite::Aead::Chacha20Poly1305 ? kExplicitNonceBytes
                                                                              : 0);
    return bodyBytes > overhead ? bodyBytes - overhead : 0;
}

bool TlsRecordCipher::Peek(std::span<const std::uint8_t> record, std::size_t offset, std::span<std::uint8_t> out) {
    const bool explicitNonce = !suite_->tls13 && suite_->aead != TlsCipherSuite::Aead::Chacha20Poly1305;
    const std::size_t start = tls::kRecordHeaderBytes + (explicitNonce ? kExplicitNonceBytes : 0);
    if (!ready_ || record.size() < start + kTagBytes || offset + out.size() > record.size() - start - kTagBytes)
        return false;
    std::array<std::uint8_t, 16> iv{};
    std::size_t block = 16;
    if (explicitNonce) {
        std::memcpy(iv.data(), iv_, 4);
        std::memcpy(iv.data() + 4, record.data() + tls::kRecordHeaderBytes, kExplicitNonceBytes);
    } else {
        std::memcpy(iv.data(), iv_, 12);
        for (int i = 0; i < 8; ++i)
            iv[11 - i] ^= static_cast<std::uint8_t>(sequence_ >> (8 * i));
    }
    if (suite_->aead == TlsCipherSuite::Aead::Chacha20Poly1305) {
        // RFC 8439: the 32-bit block counter (little-endian) before the nonce; block 0 keys Poly1305.
        block = 64;
        const auto counter = static_cast<std::uint32_t>(1 + offset / block);
        std::memmove(iv.data() + 4, iv.data(), 12);
        for (int i = 0; i < 4; ++i)
            iv[i] = static_cast<std::uint8_t>(counter >> (8 * i));
    } else {
        // GCM: the nonce, then a 32-bit big-endian counter; block 1 makes the tag, data starts at 2.
        const auto counter = static_cast<std::uint32_t>(2 + offset / block);
        for (int i = 0; i < 4; ++i)
            iv[15 - i] = static_cast<std::uint8_t>(counter >> (8 * i));
    }
    std::array<std::uint8_t, 64 + 16> buffer{};
    const std::size_t skip = offset % block;
    if (skip + out.size() > buffer.size())
        return false;
    std::memcpy(buffer.data() + skip, record.data() + start + offset, out.size());
    int length = 0;
    if (EVP_DecryptInit_ex(stream_->ctx, nullptr, nullptr, nullptr, iv.data()) != 1 ||
        EVP_DecryptUpdate(stream_->ctx, buffer.data(), &length, buffer.data(), static_cast<int>(skip + out.size())) != 1)
        return false;
    std::memcpy(out.data(), buffer.data() + skip, out.size());
    return true;
}

bool TlsRecordCipher::OpenAt(std::uint64_t sequence, std::span<const std::uint8_t> record,
                             std::vector<std::uint8_t>& plaintext, std::uint8_t& contentType) {
    const std::uint64_t before = sequence_;
    sequence_ = sequence;
    if (Open(record, plaintext, contentType))
        return true;
    sequence_ = before;
    return false;
}

bool TlsRecordCipher::Open(std::span<const std::uint8_t> record, std::vector<std::uint8_t>& plaintext,
                           std::uint8_t& contentType) {
    if (!ready_ || record.size() < tls::kRecordHeaderBytes)
        return false;
    const auto header = record.first(tls::kRecordHeaderBytes);
    std::span<const std::uint8_t> body = record.subspan(tls::kRecordHeaderBytes);
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 13> aad{};
    std::size_t aadLength = 0;
    const bool explicitNonce = !suite_->tls13 && suite_->aead != TlsCipherSuite::Aead::Chacha20Poly1305;
    if (body.size() < kTagBytes + (explicitNonce ? kExplicitNonceBytes : 0) + (suite_->tls13 ? 1 : 0))
        return false;
    if (explicitNonce) {
        // TLS 1.2 GCM: the 4-byte implicit IV, then the record's own 8 bytes.
        std::memcpy(nonce.data(), iv_, 4);
        std::memcpy(nonce.data() + 4, body.data(), kExplicitNonceBytes);
        body = body.subspan(kExplicitNonceBytes);
    } else {
        // TLS 1.3 and ChaCha20-Poly1305: the IV XOR the record number.
        std::memcpy(nonce.data(), iv_, 12);
        for (int i = 0; i < 8; ++i)
            nonce[11 - i] ^= static_cast<std::uint8_t>(sequence_ >> (8 * i));
    }
    const std::span<const std::uint8_t> ciphertext = body.first(body.size() - kTagBytes);
    const std::span<const std::uint8_t> tag = body.last(kTagBytes);
    if (suite_->tls13) {
        std::memcpy(aad.data(), header.data(), header.size());
        aadLength = header.size();
    } else {
        for (int i = 0; i < 8; ++i)
            aad[7 - i] = static_cast<std::uint8_t>(sequence_ >> (8 * i));
        aad[8] = header[0];
        aad[9] = header[1];
        aad[10] = header[2];
        aad[11] = static_cast<std::uint8_t>(ciphertext.size() >> 8);
        aad[12] = static_cast<std::uint8_t>(ciphertext.size());
        aadLength = 13;
    }
    EVP_CIPHER_CTX* ctx = context_->ctx;
    plaintext.resize(ciphertext.size());
    int length = 0;
    int finalLength = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
        EVP_DecryptUpdate(ctx, nullptr, &length, aad.data(), static_cast<int>(aadLength)) == 1 &&
        EVP_DecryptUpdate(ctx, plaintext.data(), &length, ciphertext.data(), static_cast<int>(ciphertext.size())) ==
            1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTagBytes, const_cast<std::uint8_t*>(tag.data())) == 1 &&
        EVP_DecryptFinal_ex(ctx, plaintext.data() + length, &finalLength) == 1;
    if (!ok) {
        plaintext.clear();
        return false;
    }
    plaintext.resize(static_cast<std::size_t>(length + finalLength));
    if (suite_->tls13) {
        // The inner plaintext ends in its content type, then zero padding.
        while (!plaintext.empty() && plaintext.back() == 0)
            plaintext.pop_back();
        if (plaintext.empty())
            return false;
        contentType = plaintext.back();
        plaintext.pop_back();
    } else {
        contentType = header[0];
    }
    ++sequence_;
    return true;
}

} // namespace velmora
