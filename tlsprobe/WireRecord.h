#pragma once
// The records of probe/ProbeWire.h as bytes: each function puts one whole record into out (replacing what
// it held; its capacity is kept, so a stream of records allocates once), packed field by field in
// little-endian order.

#include "SocketEndpoints.h"
#include "probe/ProbeWire.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora::tlsprobe {

// What every record starts with besides its size and type.
struct RecordOrigin {
    std::uint32_t pid = 0;
    std::uint32_t tid = 0;
    std::uint64_t timeNs = 0; // since the Unix epoch
    std::uint64_t handle = 0;
    std::array<char, probe::kCommBytes> comm{};
};

struct DataChunk {
    std::uint64_t sequence = 0;
    std::uint32_t callBytes = 0;
    std::uint32_t offset = 0;
    probe::Library library = probe::Library::OpenSsl;
    probe::Direction direction = probe::Direction::Sent;
    std::uint16_t flags = 0;             // probe::RecordFlag bits
    std::span<const std::uint8_t> bytes; // at most probe::kMaxChunkBytes
};

void dataRecord(std::string& out, const RecordOrigin& origin, const DataChunk& chunk);
void connectionRecord(std::string& out, const RecordOrigin& origin, std::uint32_t fd, const SocketEndpoints& endpoints);
// The path is cut to probe::kMaxPathBytes.
void processRecord(std::string& out, const RecordOrigin& origin, std::string_view executable);

} // namespace velmora::tlsprobe
