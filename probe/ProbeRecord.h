#pragma once
// One record of velmora-tls's stream, read and checked field by field (ProbeWire.h gives the layout).
// The views point into the bytes the record was read from: valid while those are.

#include "probe/ProbeWire.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora::probe {

// The socket under a TLS handle.
struct ProbeSocket {
    std::uint32_t fd = 0;
    std::uint16_t family = 0;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::array<std::uint8_t, 16> local{};
    std::array<std::uint8_t, 16> remote{};
    bool operator==(const ProbeSocket&) const = default;
};

struct ProbeSecret {
    Library library = Library::OpenSsl;
    std::string_view label;
    std::span<const std::uint8_t> context;
    std::span<const std::uint8_t> secret;
};

struct ProbeRecord {
    RecordType type = RecordType::Data;
    std::uint16_t flags = 0;
    std::uint32_t pid = 0;
    std::uint32_t tid = 0;
    std::uint64_t timeNs = 0;
    std::uint64_t handle = 0;
    std::string_view comm; // up to its first NUL

    // Data
    std::uint64_t sequence = 0;
    std::uint32_t callBytes = 0;
    std::uint32_t offset = 0;
    Library library = Library::OpenSsl;
    Direction direction = Direction::Sent;
    std::span<const std::uint8_t> bytes; // Data: the call's bytes from `offset`; Process: the executable's path

    ProbeSocket socket; // Connection
    ProbeSecret secret; // Secret

    bool Has(RecordFlag flag) const { return (flags & flag) != 0; }
};

struct ProbeRecordRead {
    bool ok = false;
    ProbeRecord record;
    std::string problem; // in English, naming the field; empty when ok
};

// The record's size as its first four bytes give it (at least four bytes are needed).
std::uint32_t ProbeRecordSize(std::span<const std::uint8_t> start);

// A whole record, exactly its size: every field within its bounds, the type and flags known.
ProbeRecordRead ReadProbeRecord(std::span<const std::uint8_t> record);

} // namespace velmora::probe
