#pragma once
// The QUIC versions read: what differs between them is the number, the salt of the Initial keys,
// the prefix of the key labels, the long header's packet type bits and the fixed key of the Retry
// integrity tag.

#include <array>
#include <cstdint>

namespace velmora {

enum class QuicPacketType { Initial, ZeroRtt, Handshake, Retry };

struct QuicVersion {
    std::uint32_t number;
    std::array<std::uint8_t, 20> initialSalt;
    const char* keyLabel; // "quic key" / "quicv2 key"
    const char* ivLabel;
    const char* hpLabel;
    const char* kuLabel;
    std::array<QuicPacketType, 4> types; // by the two type bits of the first byte
    bool two;                            // version 2's labels and packet types
    std::array<std::uint8_t, 16> retryKey;   // AES-128-GCM key and nonce of the Retry integrity tag
    std::array<std::uint8_t, 12> retryNonce;
};

// The version with this number, or null for versions not read (and for Version Negotiation, 0).
const QuicVersion* FindQuicVersion(std::uint32_t number);

} // namespace velmora
