#pragma once
// OpenSSL's algorithms, fetched once. OpenSSL 3 looks a legacy EVP_aes_128_gcm(), or a digest named
// in a KDF's parameters, up in its providers on every use (a name search under a lock), and its HKDF
// fetches HMAC anew for every derivation; that costs more than the derivation itself, and a hostile
// stream of QUIC Initials would pay it per datagram. HKDF is done here on one HMAC context a thread.

#include <openssl/evp.h>

#include <cstdint>
#include <span>

namespace velmora::openssl {

enum class Cipher { Aes128Gcm, Aes256Gcm, Chacha20Poly1305, Aes128Ctr, Aes256Ctr, Chacha20, Aes128Ecb, Aes256Ecb };

// Shared by every thread (fetched algorithms are immutable); null when the provider lacks it.
const EVP_CIPHER* Fetched(Cipher cipher);

// HKDF-Extract with SHA-256 (RFC 5869), `out` 32 bytes.
bool HkdfExtractSha256(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> key, std::span<std::uint8_t> out);
// TLS 1.3's HKDF-Expand-Label with an empty context (RFC 8446 section 7.1).
bool HkdfExpandLabel(bool sha384, std::span<const std::uint8_t> secret, const char* label, std::span<std::uint8_t> out);

} // namespace velmora::openssl
