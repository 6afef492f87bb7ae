#include "WireRecord.h"

#include <algorithm>

namespace velmora::tlsprobe {
namespace {

void put16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xff));
    out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value & 0xffff));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

void put64(std::string& out, std::uint64_t value) {
    put32(out, static_cast<std::uint32_t>(value & 0xffffffffU));
    put32(out, static_cast<std::uint32_t>(value >> 32));
}

// The header with its size still zero; finish() fills it in.
void start(std::string& out, probe::RecordType type, std::uint16_t flags, const RecordOrigin& origin) {
    out.clear();
    put32(out, 0);
    put16(out, static_cast<std::uint16_t>(type));
    put16(out, flags);
    put32(out, origin.pid);
    put32(out, origin.tid);
    put64(out, origin.timeNs);
    put64(out, origin.handle);
    // The kernel's comm is NUL-terminated within its 16 bytes; anything after the NUL is padding.
    const auto end = std::find(origin.comm.begin(), origin.comm.end(), '\0');
    out.append(origin.comm.begin(), end);
    out.append(static_cast<std::size_t>(origin.comm.end() - end), '\0');
}

void finish(std::string& out) {
    const auto size = static_cast<std::uint32_t>(out.size());
    for (int i = 0; i < 4; ++i) {
        out[static_cast<std::size_t>(i)] = static_cast<char>((size >> (8 * i)) & 0xff);
    }
}

} // namespace

void dataRecord(std::string& out, const RecordOrigin& origin, const DataChunk& chunk) {
    const std::size_t size = std::min(chunk.bytes.size(), probe::kMaxChunkBytes);
    start(out, probe::RecordType::Data, chunk.flags, origin);
    put64(out, chunk.sequence);
    put32(out, chunk.callBytes);
    put32(out, chunk.offset);
    out.push_back(static_cast<char>(chunk.library));
    out.push_back(static_cast<char>(chunk.direction));
    put16(out, 0);
    out.append(reinterpret_cast<const char*>(chunk.bytes.data()), size);
    finish(out);
}

void connectionRecord(std::string& out, const RecordOrigin& origin, std::uint32_t fd,
                      const SocketEndpoints& endpoints) {
    start(out, probe::RecordType::Connection, 0, origin);
    put32(out, fd);
    put16(out, endpoints.family);
    put16(out, endpoints.localPort);
    put16(out, endpoints.remotePort);
    put16(out, 0);
    out.append(reinterpret_cast<const char*>(endpoints.local.data()), endpoints.local.size());
    out.append(reinterpret_cast<const char*>(endpoints.remote.data()), endpoints.remote.size());
    finish(out);
}

void processRecord(std::string& out, const RecordOrigin& origin, std::string_view executable) {
    const std::string_view path = executable.substr(0, probe::kMaxPathBytes);
    start(out, probe::RecordType::Process, 0, origin);
    out.append(path);
    finish(out);
}

} // namespace velmora::tlsprobe
