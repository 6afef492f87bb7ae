#include "ProbeStreamWriter.h"

#include <algorithm>
#include <cstring>

namespace velmora::test {
namespace {

void le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

} // namespace

void ProbeStreamWriter::header(std::vector<std::uint8_t>& out, const Caller& caller, probe::RecordType type,
                               std::uint16_t flags) {
    le(out, 0, 4); // size, written by finish
    le(out, static_cast<std::uint16_t>(type), 2);
    le(out, flags, 2);
    le(out, caller.pid, 4);
    le(out, caller.pid, 4); // tid
    le(out, 1'765'000'000'000'000'000ull, 8);
    le(out, caller.handle, 8);
    char comm[probe::kCommBytes] = {};
    std::memcpy(comm, caller.comm.data(), std::min(caller.comm.size(), probe::kCommBytes - 1));
    out.insert(out.end(), comm, comm + probe::kCommBytes);
}

void ProbeStreamWriter::finish(std::vector<std::uint8_t>& out) {
    const auto size = static_cast<std::uint32_t>(out.size());
    for (int i = 0; i < 4; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
}

void ProbeStreamWriter::Process(const Caller& caller, std::string_view executable) {
    std::vector<std::uint8_t> record;
    header(record, caller, probe::RecordType::Process, 0);
    record.insert(record.end(), executable.begin(), executable.end());
    finish(record);
    Raw(record);
}

void ProbeStreamWriter::Connection(const Caller& caller, std::uint32_t fd, std::uint16_t localPort,
                                   std::uint16_t remotePort) {
    std::vector<std::uint8_t> record;
    header(record, caller, probe::RecordType::Connection, 0);
    le(record, fd, 4);
    le(record, 2, 2);
    le(record, localPort, 2);
    le(record, remotePort, 2);
    le(record, 0, 2);
    for (int side = 0; side < 2; ++side) {
        const std::uint8_t loopback[16] = {127, 0, 0, 1};
        record.insert(record.end(), loopback, loopback + 16);
    }
    finish(record);
    Raw(record);
}

std::vector<std::uint8_t> ProbeStreamWriter::DataRecord(const Caller& caller, probe::Direction direction,
                                                        std::uint64_t sequence, std::uint32_t callBytes,
                                                        std::uint32_t offset, std::uint16_t flags,
                                                        std::string_view bytes) {
    std::vector<std::uint8_t> record;
    header(record, caller, probe::RecordType::Data, flags);
    le(record, sequence, 8);
    le(record, callBytes, 4);
    le(record, offset, 4);
    record.push_back(static_cast<std::uint8_t>(caller.library));
    record.push_back(static_cast<std::uint8_t>(direction));
    le(record, 0, 2);
    record.insert(record.end(), bytes.begin(), bytes.end());
    finish(record);
    return record;
}

std::uint64_t ProbeStreamWriter::nextSequence(const Caller& caller, probe::Direction direction) {
    return sequences_[{caller.pid, caller.handle, static_cast<int>(direction)}]++;
}

void ProbeStreamWriter::Call(const Caller& caller, probe::Direction direction, std::string_view bytes,
                             std::size_t chunk, std::size_t lostChunk) {
    const std::uint64_t sequence = nextSequence(caller, direction);
    chunk = std::clamp<std::size_t>(chunk, 1, probe::kMaxChunkBytes);
    std::size_t index = 0;
    for (std::size_t offset = 0; offset < bytes.size() || offset == 0; offset += chunk, ++index) {
        const std::string_view piece = bytes.substr(offset, chunk);
        const bool last = offset + piece.size() >= bytes.size();
        if (index != lostChunk)
            Raw(DataRecord(caller, direction, sequence, static_cast<std::uint32_t>(bytes.size()),
                           static_cast<std::uint32_t>(offset), last ? probe::LastChunk : 0, piece));
        if (last)
            break;
    }
}

void ProbeStreamWriter::CutCall(const Caller& caller, probe::Direction direction, std::string_view bytes,
                                std::uint32_t callBytes) {
    const std::uint64_t sequence = nextSequence(caller, direction);
    const std::string_view reported = bytes.substr(0, probe::kMaxCallBytes);
    for (std::size_t offset = 0; offset < reported.size(); offset += probe::kMaxChunkBytes) {
        const std::string_view piece = reported.substr(offset, probe::kMaxChunkBytes);
        const bool last = offset + piece.size() >= reported.size();
        Raw(DataRecord(caller, direction, sequence, callBytes, static_cast<std::uint32_t>(offset),
                       last ? probe::LastChunk | probe::Cut : probe::Cut, piece));
    }
}

void ProbeStreamWriter::LostCall(const Caller& caller, probe::Direction direction) {
    nextSequence(caller, direction);
}

std::string Http2Requests(const std::vector<std::vector<std::pair<std::string, std::string>>>& requests,
                          bool prefaceAndSettings, std::uint32_t firstStream) {
    std::string out;
    if (prefaceAndSettings) {
        out = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
        out.append("\0\0\0\x04\0\0\0\0\0", 9); // SETTINGS
    }
    std::uint32_t stream = firstStream;
    for (const auto& fields : requests) {
        std::string block;
        for (const auto& [name, value] : fields) {
            block.push_back('\0'); // literal, not indexed, new name; lengths below 127
            block.push_back(static_cast<char>(name.size()));
            block += name;
            block.push_back(static_cast<char>(value.size()));
            block += value;
        }
        const auto n = static_cast<std::uint32_t>(block.size());
        const char frame[9] = {static_cast<char>(n >> 16),
                               static_cast<char>(n >> 8),
                               static_cast<char>(n),
                               1,
                               0x5,
                               static_cast<char>(stream >> 24),
                               static_cast<char>(stream >> 16),
                               static_cast<char>(stream >> 8),
                               static_cast<char>(stream)};
        out.append(frame, 9);
        out += block;
        stream += 2;
    }
    return out;
}

} // namespace velmora::test
