#include "tls/OpenSslAlgorithms.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>

#include <array>
#include <cstring>
#include <algorithm>
#include <string_view>

namespace velmora::openssl {
namespace {

EVP_CIPHER* fetch(const char* name) {
    return EVP_CIPHER_fetch(nullptr, name, nullptr);
}

// An HMAC context with its digest set, freed when the thread ends. Each use sets only the key.
struct HmacContext {
    EVP_MAC_CTX* ctx = nullptr;
    explicit HmacContext(const char* digest) {
        static EVP_MAC* const hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (!hmac || !(ctx = EVP_MAC_CTX_new(hmac)))
            return;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(digest), 0),
            OSSL_PARAM_construct_end(),
        };
        if (EVP_MAC_CTX_set_params(ctx, params) != 1) {
            EVP_MAC_CTX_free(ctx);
            ctx = nullptr;
        }
    }
    ~HmacContext() { EVP_MAC_CTX_free(ctx); }
    HmacContext(const HmacContext&) = delete;
    HmacContext& operator=(const HmacContext&) = delete;
};

EVP_MAC_CTX* hmac(bool sha384) {
    thread_local HmacContext sha256("SHA256");
    thread_local HmacContext sha384Context("SHA384");
    return sha384 ? sha384Context.ctx : sha256.ctx;
}

} // namespace

const EVP_CIPHER* Fetched(Cipher cipher) {
    static const std::array<EVP_CIPHER*, 8> ciphers{
        fetch("AES-128-GCM"), fetch("AES-256-GCM"), fetch("ChaCha20-Poly1305"), fetch("AES-128-CTR"),
        fetch("AES-256-CTR"), fetch("ChaCha20"),    fetch("AES-128-ECB"),       fetch("AES-256-ECB"),
    };
    return ciphers[static_cast<std::size_t>(cipher)];
}

bool HkdfExtractSha256(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> key, std::span<std::uint8_t> out) {
    EVP_MAC_CTX* ctx = hmac(false);
    std::size_t length = 0;
    return ctx && out.size() == 32 && EVP_MAC_init(ctx, salt.data(), salt.size(), nullptr) == 1 &&
           EVP_MAC_update(ctx, key.data(), key.size()) == 1 &&
           EVP_MAC_final(ctx, out.data(), &length, out.size()) == 1 && length == out.size();
}

bool HkdfExpandLabel(bool sha384, std::span<const std::uint8_t> secret, const char* label, std::span<std::uint8_t> out) {
    const std::string_view name(label);
    const std::size_t hashBytes = sha384 ? 48 : 32;
    if (name.size() > 249 || out.size() > 255 * hashBytes)
        return false;
    // HkdfLabel: length, "tls13 " + label, an empty context.
    std::array<std::uint8_t, 2 + 1 + 255 + 1> info{};
    std::size_t infoBytes = 0;
    info[infoBytes++] = static_cast<std::uint8_t>(out.size() >> 8);
    info[infoBytes++] = static_cast<std::uint8_t>(out.size());
    info[infoBytes++] = static_cast<std::uint8_t>(6 + name.size());
    std::memcpy(info.data() + infoBytes, "tls13 ", 6);
    std::memcpy(info.data() + infoBytes + 6, name.data(), name.size());
    infoBytes += 6 + name.size();
    info[infoBytes++] = 0;

    EVP_MAC_CTX* ctx = hmac(sha384);
    if (!ctx)
        return false;
    std::array<std::uint8_t, 48> block{};
    std::size_t blockBytes = 0, done = 0;
    for (std::uint8_t counter = 1; done < out.size(); ++counter) {
        std::size_t length = 0;
        // T(n) = HMAC(secret, T(n-1) | info | n)
        if (EVP_MAC_init(ctx, secret.data(), secret.size(), nullptr) != 1 ||
            EVP_MAC_update(ctx, block.data(), blockBytes) != 1 || EVP_MAC_update(ctx, info.data(), infoBytes) != 1 ||
            EVP_MAC_update(ctx, &counter, 1) != 1 || EVP_MAC_final(ctx, block.data(), &length, block.size()) != 1 ||
            length != hashBytes)
            return false;
        blockBytes = length;
        const std::size_t take = std::min(length, out.size() - done);
        std::memcpy(out.data() + done, block.data(), take);
        done += take;
    }
    OPENSSL_cleanse(block.data(), block.size());
    return true;
}

} // namespace velmora::openssl
