#include "quic/QuicVersion.h"

namespace velmora {
namespace {

using T = QuicPacketType;
constexpr std::array<T, 4> kV1Types{T::Initial, T::ZeroRtt, T::Handshake, T::Retry};
constexpr std::array<T, 4> kV2Types{T::Retry, T::Initial, T::ZeroRtt, T::Handshake};

constexpr QuicVersion kVersions[] = {
    // RFC 9001 section 5.2
    {0x00000001,
     {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34, 0xb3, 0x4d, 0x17,
      0x9a, 0xe6, 0xa4, 0xc8, 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a},
     "quic key",
     "quic iv",
     "quic hp",
     "quic ku",
     kV1Types,
     false},
    // RFC 9369 section 3.3.1
    {0x6b3343cf,
     {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6, 0xdb, 0x81, 0x93,
      0x81, 0xbe, 0x6e, 0x26, 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9},
     "quicv2 key",
     "quicv2 iv",
     "quicv2 hp",
     "quicv2 ku",
     kV2Types,
     true},
    // Version 2 under its provisional number, as late drafts numbered it and Debian 12's QUIC
    // library still speaks it: the draft's salt, otherwise as version 2.
    {0x709a50c4,
     {0xa7, 0x07, 0xc2, 0x03, 0xa5, 0x9b, 0x47, 0x18, 0x4a, 0x1d,
      0x62, 0xca, 0x57, 0x04, 0x06, 0xea, 0x7a, 0xe3, 0xe5, 0xd3},
     "quicv2 key",
     "quicv2 iv",
     "quicv2 hp",
     "quicv2 ku",
     kV2Types,
     true},
};

} // namespace

const QuicVersion* FindQuicVersion(std::uint32_t number) {
    for (const auto& version : kVersions)
        if (version.number == number)
            return &version;
    return nullptr;
}

} // namespace velmora
