#include "quic/QuicPacketProtection.h"

#include "tls/OpenSslAlgorithms.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cstring>

namespace velmora {
namespace {

// Initial packets always use AES-128-GCM with SHA-256 (RFC 9001 section 5.2).
constexpr TlsCipherSuite kInitialSuite{0x1301, true, TlsCipherSuite::Aead::Aes128Gcm, false};

} // namespace

struct QuicPacketProtection::Context {
    EVP_CIPHER_CTX* aead = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* header = EVP_CIPHER_CTX_new();
    ~Context() {
        EVP_CIPHER_CTX_free(aead);
        EVP_CIPHER_CTX_free(header);
    }
};

QuicPacketProtection::QuicPacketProtection() = default;

QuicPacketProtection::~QuicPacketProtection() {
    OPENSSL_cleanse(secret_.data(), secret_.size());
    OPENSSL_cleanse(hpKey_.data(), hpKey_.size());
}

bool QuicPacketProtection::SetInitial(const QuicVersion& version, std::span<const std::uint8_t> destinationId,
                                      bool client) {
    ready_ = false;
    std::array<std::uint8_t, 32> initial{};
    std::array<std::uint8_t, 32> secret{};
    const bool ok = openssl::HkdfExtractSha256(version.initialSalt, destinationId, initial) &&
                    TlsRecordCipher::ExpandLabel(false, initial, client ? "client in" : "server in", secret) &&
                    install(version, kInitialSuite, secret, true);
    OPENSSL_cleanse(initial.data(), initial.size());
    OPENSSL_cleanse(secret.data(), secret.size());
    return ok;
}

bool QuicPacketProtection::SetSecret(const QuicVersion& version, const TlsCipherSuite& suite,
                                     std::span<const std::uint8_t> secret) {
    ready_ = false;
    if (!suite.tls13 || secret.size() != (suite.sha384 ? 48u : 32u))
        return false;
    return install(version, suite, secret, true);
}

bool QuicPacketProtection::SetNextPhaseOf(const QuicPacketProtection& current) {
    ready_ = false;
    if (!current.ready_)
        return false;
    std::array<std::uint8_t, 48> next{};
    const std::span nextSpan(next.data(), current.secretLength_);
    hpKey_ = current.hpKey_;
    const bool ok =
        TlsRecordCipher::ExpandLabel(current.suite_->sha384, std::span(current.secret_.data(), current.secretLength_),
                                     current.version_->kuLabel, nextSpan) &&
        install(*current.version_, *current.suite_, nextSpan, false);
    OPENSSL_cleanse(next.data(), next.size());
    return ok;
}

bool QuicPacketProtection::install(const QuicVersion& version, const TlsCipherSuite& suite,
                                   std::span<const std::uint8_t> secret, bool withHeaderKey) {
    if (!context_)
        context_ = std::make_unique<Context>(); // most levels of most connections never get keys
    const bool sha384 = suite.sha384;
    const std::size_t keyBytes = suite.KeyBytes();
    std::array<std::uint8_t, 32> key{};
    bool ok = TlsRecordCipher::ExpandLabel(sha384, secret, version.keyLabel, std::span(key.data(), keyBytes)) &&
              TlsRecordCipher::ExpandLabel(sha384, secret, version.ivLabel, iv_);
    if (ok && withHeaderKey)
        ok = TlsRecordCipher::ExpandLabel(sha384, secret, version.hpLabel, std::span(hpKey_.data(), keyBytes));
    ok = ok && EVP_DecryptInit_ex(context_->aead, suite.Cipher(), nullptr, nullptr, nullptr) == 1 &&
         EVP_CIPHER_CTX_ctrl(context_->aead, EVP_CTRL_AEAD_SET_IVLEN, 12, nullptr) == 1 &&
         EVP_DecryptInit_ex(context_->aead, nullptr, nullptr, key.data(), nullptr) == 1;
    // AES header protection is one ECB block per packet; ChaCha20 takes the sample as its IV, so
    // only the AES key is set up here.
    if (ok && suite.aead != TlsCipherSuite::Aead::Chacha20Poly1305)
        ok = EVP_EncryptInit_ex(context_->header,
                                openssl::Fetched(suite.aead == TlsCipherSuite::Aead::Aes128Gcm ? openssl::Cipher::Aes128Ecb
                                                                                               : openssl::Cipher::Aes256Ecb),
                                nullptr, hpKey_.data(), nullptr) == 1 &&
             EVP_CIPHER_CTX_set_padding(context_->header, 0) == 1;
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok)
        return false;
    std::memcpy(secret_.data(), secret.data(), secret.size());
    secretLength_ = secret.size();
    version_ = &version;
    suite_ = &suite;
    ready_ = true;
    return true;
}

bool QuicPacketProtection::Mask(std::span<const std::uint8_t, 16> sample, std::array<std::uint8_t, 5>& mask) {
    if (!ready_)
        return false;
    std::array<std::uint8_t, 32> out{};
    int length = 0;
    if (suite_->aead == TlsCipherSuite::Aead::Chacha20Poly1305) {
        // The sample's first four bytes are the block counter (little-endian), the rest the nonce:
        // OpenSSL's ChaCha20 IV is laid out the same way.
        static const std::uint8_t kZeros[5] = {};
        if (EVP_EncryptInit_ex(context_->header, openssl::Fetched(openssl::Cipher::Chacha20), nullptr, hpKey_.data(), sample.data()) != 1 ||
            EVP_EncryptUpdate(context_->header, out.data(), &length, kZeros, 5) != 1)
            return false;
    } else if (EVP_EncryptUpdate(context_->header, out.data(), &length, sample.data(), 16) != 1) {
        return false;
    }
    std::memcpy(mask.data(), out.data(), mask.size());
    return true;
}

bool QuicPacketProtection::Open(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload,
                                std::uint64_t packetNumber, std::vector<std::uint8_t>& plaintext) {
    if (!ready_ || payload.size() < kTagBytes)
        return false;
    std::array<std::uint8_t, 12> nonce = iv_;
    for (int i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
    const auto ciphertext = payload.first(payload.size() - kTagBytes);
    const auto tag = payload.last(kTagBytes);
    EVP_CIPHER_CTX* ctx = context_->aead;
    plaintext.resize(ciphertext.size());
    int length = 0;
    int finalLength = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data()) == 1 &&
        EVP_DecryptUpdate(ctx, nullptr, &length, header.data(), static_cast<int>(header.size())) == 1 &&
        EVP_DecryptUpdate(ctx, plaintext.data(), &length, ciphertext.data(), static_cast<int>(ciphertext.size())) ==
            1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, kTagBytes, const_cast<std::uint8_t*>(tag.data())) == 1 &&
        EVP_DecryptFinal_ex(ctx, plaintext.data() + length, &finalLength) == 1;
    if (!ok) {
        plaintext.clear();
        return false;
    }
    plaintext.resize(static_cast<std::size_t>(length + finalLength));
    return true;
}

bool QuicPacketProtection::RetryTagMatches(const QuicVersion& version,
                                           std::span<const std::uint8_t> originalDestinationId,
                                           std::span<const std::uint8_t> retry) {
    if (retry.size() <= kTagBytes || originalDestinationId.size() > 255)
        return false;
    // The tag seals nothing: the Retry Pseudo-Packet is all associated data.
    const std::uint8_t length = static_cast<std::uint8_t>(originalDestinationId.size());
    const auto body = retry.first(retry.size() - kTagBytes);
    std::array<std::uint8_t, kTagBytes> tag{};
    int out = 0;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx, openssl::Fetched(openssl::Cipher::Aes128Gcm), nullptr, version.retryKey.data(), version.retryNonce.data()) == 1 &&
        EVP_EncryptUpdate(ctx, nullptr, &out, &length, 1) == 1 &&
        EVP_EncryptUpdate(ctx, nullptr, &out, originalDestinationId.data(), static_cast<int>(length)) == 1 &&
        EVP_EncryptUpdate(ctx, nullptr, &out, body.data(), static_cast<int>(body.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx, tag.data(), &out) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, kTagBytes, tag.data()) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok && CRYPTO_memcmp(tag.data(), retry.data() + body.size(), kTagBytes) == 0;
}

} // namespace velmora
