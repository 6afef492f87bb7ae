#pragma once
// The read keys of one direction of a TLS connection and the AEAD that opens its records: keys
// come from the key log's secrets through OpenSSL's KDFs (TLS 1.2's PRF, TLS 1.3's
// HKDF-Expand-Label), records are opened with OpenSSL's AEAD ciphers. Only the suites whose records
// are AEAD-protected are supported; the rest are refused.

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

struct TlsCipherSuite {
    enum class Aead { Aes128Gcm, Aes256Gcm, Chacha20Poly1305 };
    std::uint16_t id;
    bool tls13;
    Aead aead;
    bool sha384; // the suite's hash: SHA-384, else SHA-256

    std::size_t KeyBytes() const { return aead == Aead::Aes128Gcm ? 16 : 32; }
    const EVP_CIPHER* Cipher() const; // OpenSSL's AEAD
};

// The suite with this number for the given protocol version, or null when it is not supported.
const TlsCipherSuite* FindTlsCipherSuite(std::uint16_t id, bool tls13);

class TlsRecordCipher final {
public:
    TlsRecordCipher();
    ~TlsRecordCipher();
    TlsRecordCipher(const TlsRecordCipher&) = delete;
    TlsRecordCipher& operator=(const TlsRecordCipher&) = delete;

    // TLS 1.3: keys from a traffic secret; the record number starts at 0.
    bool SetTrafficSecret(const TlsCipherSuite& suite, std::span<const std::uint8_t> secret);
    // TLS 1.3 KeyUpdate: the next traffic secret from this one.
    bool UpdateTrafficSecret();
    // TLS 1.2: the client's write keys (or the server's) from the master secret and both randoms.
    bool SetMasterSecret(const TlsCipherSuite& suite, std::span<const std::uint8_t> master,
                         std::span<const std::uint8_t, 32> clientRandom,
                         std::span<const std::uint8_t, 32> serverRandom, bool server = false);
    bool Ready() const { return ready_; }
    void Forget() { ready_ = false; }

    // Opens one record (its 5-byte header and body). On success `plaintext` holds the content and
    // `contentType` its type (TLS 1.3: the inner type, padding removed) and the record number
    // moves on; on failure (a bad tag, a record too short) nothing changes.
    bool Open(std::span<const std::uint8_t> record, std::vector<std::uint8_t>& plaintext, std::uint8_t& contentType);
    // Decrypts `out.size()` bytes of a record's plaintext from `offset`, without opening the record:
    // both AEADs are counter modes. Nothing is authenticated, so the bytes may only steer what is
    // passed over unread. False when they lie outside the record.
    bool Peek(std::span<const std::uint8_t> record, std::size_t offset, std::span<std::uint8_t> out);
    // Opens a record as record number `sequence` (after records the capture lost); on success the
    // numbering goes on from it, on failure nothing changes.
    bool OpenAt(std::uint64_t sequence, std::span<const std::uint8_t> record, std::vector<std::uint8_t>& plaintext,
                std::uint8_t& contentType);
    // Passes over one record unopened: only its number moves on.
    void Skip() { ++sequence_; }
    std::uint64_t Sequence() const { return sequence_; }
    // The most plaintext a record of `bodyBytes` (after its header) can hold: TLS 1.3 adds the
    // inner content type, TLS 1.2 GCM the explicit nonce, every suite the tag.
    std::size_t PlaintextBytes(std::size_t bodyBytes) const;

    // Derives keys with TLS 1.3's HKDF-Expand-Label; exposed for the tests of the key schedule.
    static bool ExpandLabel(bool sha384, std::span<const std::uint8_t> secret, const char* label,
                            std::span<std::uint8_t> out);

private:
    bool installKey(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv);

    struct Context;
    std::unique_ptr<Context> context_;
    std::unique_ptr<Context> stream_; // the bare counter-mode cipher under the same key, for Peek
    const TlsCipherSuite* suite_ = nullptr;
    bool ready_ = false;
    std::uint64_t sequence_ = 0;
    std::uint8_t iv_[12] = {};
    std::size_t ivLength_ = 0;
    std::uint8_t secret_[48] = {};
    std::size_t secretLength_ = 0;
};

} // namespace velmora
