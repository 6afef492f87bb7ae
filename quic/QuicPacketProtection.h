#pragma once
// The protection of one direction's packets at one encryption level (RFC 9001 section 5): the
// packet key and IV for the AEAD, the header protection key, and the secret the next key phase is
// derived from. Keys come from the secrets through TLS 1.3's HKDF-Expand-Label with QUIC's labels;
// ciphers and KDFs are OpenSSL's.

#include "tls/TlsRecordCipher.h"
#include "quic/QuicVersion.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

class QuicPacketProtection final {
public:
    QuicPacketProtection();
    ~QuicPacketProtection();
    QuicPacketProtection(const QuicPacketProtection&) = delete;
    QuicPacketProtection& operator=(const QuicPacketProtection&) = delete;

    // Initial packets: keys from the Destination Connection ID of the client's first Initial (or the
    // one a Retry gave), for the client's packets or the server's.
    bool SetInitial(const QuicVersion& version, std::span<const std::uint8_t> destinationId, bool client);
    // 0-RTT, Handshake and 1-RTT packets: keys from a secret of the key log.
    bool SetSecret(const QuicVersion& version, const TlsCipherSuite& suite, std::span<const std::uint8_t> secret);
    // The keys of the next key phase ("quic ku"); header protection stays as it is.
    bool SetNextPhaseOf(const QuicPacketProtection& current);
    bool Ready() const { return ready_; }
    void Forget() { ready_ = false; }

    // The five bytes of header protection mask for a 16-byte sample of the protected payload.
    bool Mask(std::span<const std::uint8_t, 16> sample, std::array<std::uint8_t, 5>& mask);
    // Opens a payload (ciphertext and tag) whose header, protection removed, is `header`.
    bool Open(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload, std::uint64_t packetNumber,
              std::vector<std::uint8_t>& plaintext);

    static constexpr std::size_t kTagBytes = 16;

    // Whether a Retry packet's integrity tag (its last 16 bytes) is the one RFC 9001 section 5.8
    // computes over it and the Destination Connection ID of the Initial it answers.
    static bool RetryTagMatches(const QuicVersion& version, std::span<const std::uint8_t> originalDestinationId,
                                std::span<const std::uint8_t> retry);

private:
    bool install(const QuicVersion& version, const TlsCipherSuite& suite, std::span<const std::uint8_t> secret,
                 bool withHeaderKey);

    struct Context;
    std::unique_ptr<Context> context_;
    const QuicVersion* version_ = nullptr;
    const TlsCipherSuite* suite_ = nullptr;
    bool ready_ = false;
    std::array<std::uint8_t, 12> iv_{};
    std::array<std::uint8_t, 48> secret_{};
    std::size_t secretLength_ = 0;
    std::array<std::uint8_t, 32> hpKey_{};
};

} // namespace velmora
