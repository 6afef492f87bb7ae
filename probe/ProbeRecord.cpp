#include "probe/ProbeRecord.h"

#include <cstring>

namespace velmora::probe {
namespace {

std::uint16_t u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t u32(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint32_t{u16(b, at)} | std::uint32_t{u16(b, at + 2)} << 16;
}
std::uint64_t u64(std::span<const std::uint8_t> b, std::size_t at) {
    return std::uint64_t{u32(b, at)} | std::uint64_t{u32(b, at + 4)} << 32;
}

ProbeRecordRead refuse(std::string problem) {
    ProbeRecordRead read;
    read.problem = std::move(problem);
    return read;
}

bool knownLibrary(std::uint8_t library) {
    return library >= static_cast<std::uint8_t>(Library::OpenSsl) && library <= static_cast<std::uint8_t>(Library::Nss);
}

} // namespace

std::uint32_t ProbeRecordSize(std::span<const std::uint8_t> start) {
    return u32(start, 0);
}

ProbeRecordRead ReadProbeRecord(std::span<const std::uint8_t> b) {
    if (b.size() < kHeaderBytes || b.size() > kMaxRecordBytes || ProbeRecordSize(b) != b.size())
        return refuse("record size " + std::to_string(b.size()) + " outside " + std::to_string(kHeaderBytes) + ".." +
                      std::to_string(kMaxRecordBytes));
    ProbeRecordRead read;
    ProbeRecord& r = read.record;
    const std::uint16_t type = u16(b, 4);
    r.flags = u16(b, 6);
    r.pid = u32(b, 8);
    r.tid = u32(b, 12);
    r.timeNs = u64(b, 16);
    r.handle = u64(b, 24);
    const auto* comm = reinterpret_cast<const char*>(b.data() + 32);
    r.comm = std::string_view(comm, strnlen(comm, kCommBytes));
    const std::span<const std::uint8_t> fields = b.subspan(kHeaderBytes);
    if (type < static_cast<std::uint16_t>(RecordType::Data) || type > static_cast<std::uint16_t>(RecordType::Secret))
        return refuse("unknown record type " + std::to_string(type));
    if (type != static_cast<std::uint16_t>(RecordType::Data) && r.flags != 0)
        return refuse("flags " + std::to_string(r.flags) + " on a record that is not data");
    switch (type) {
    case static_cast<std::uint16_t>(RecordType::Data): {
        if (fields.size() < kDataFieldsBytes)
            return refuse("data record of " + std::to_string(b.size()) + " bytes, shorter than its fields");
        if ((r.flags & ~(Cut | LastChunk)) != 0)
            return refuse("unknown data flags " + std::to_string(r.flags));
        r.type = RecordType::Data;
        r.sequence = u64(fields, 0);
        r.callBytes = u32(fields, 8);
        r.offset = u32(fields, 12);
        if (!knownLibrary(fields[16]))
            return refuse("unknown library " + std::to_string(fields[16]));
        if (fields[17] > static_cast<std::uint8_t>(Direction::Received))
            return refuse("unknown direction " + std::to_string(fields[17]));
        r.library = static_cast<Library>(fields[16]);
        r.direction = static_cast<Direction>(fields[17]);
        r.bytes = fields.subspan(kDataFieldsBytes);
        // The bytes reported lie within the call's first kMaxCallBytes; a call cut there says so.
        const std::uint64_t reported = std::min<std::uint64_t>(r.callBytes, kMaxCallBytes);
        if (r.bytes.size() > kMaxChunkBytes || std::uint64_t{r.offset} + r.bytes.size() > reported)
            return refuse("data bytes " + std::to_string(r.offset) + "+" + std::to_string(r.bytes.size()) +
                          " past the call's " + std::to_string(reported));
        if (r.Has(Cut) && r.callBytes <= kMaxCallBytes)
            return refuse("a call of " + std::to_string(r.callBytes) + " bytes marked cut");
        break;
    }
    case static_cast<std::uint16_t>(RecordType::Connection): {
        if (fields.size() != kConnectionFieldsBytes)
            return refuse("connection record of " + std::to_string(b.size()) + " bytes");
        r.type = RecordType::Connection;
        r.socket.fd = u32(fields, 0);
        r.socket.family = u16(fields, 4);
        if (r.socket.family != 2 && r.socket.family != 10)
            return refuse("unknown address family " + std::to_string(r.socket.family));
        r.socket.localPort = u16(fields, 6);
        r.socket.remotePort = u16(fields, 8);
        std::memcpy(r.socket.local.data(), fields.data() + 12, 16);
        std::memcpy(r.socket.remote.data(), fields.data() + 28, 16);
        break;
    }
    case static_cast<std::uint16_t>(RecordType::Process):
        if (fields.size() > kMaxPathBytes)
            return refuse("process path of " + std::to_string(fields.size()) + " bytes");
        if (std::memchr(fields.data(), 0, fields.size()))
            return refuse("process path with a NUL byte");
        r.type = RecordType::Process;
        r.bytes = fields;
        break;
    case static_cast<std::uint16_t>(RecordType::Secret): {
        if (fields.size() < kSecretFieldsBytes)
            return refuse("secret record of " + std::to_string(b.size()) + " bytes, shorter than its fields");
        if (!knownLibrary(fields[0]))
            return refuse("unknown library " + std::to_string(fields[0]));
        const std::size_t label = fields[1], context = fields[2], secret = fields[3];
        if (fields.size() != kSecretFieldsBytes + label + context + secret || label == 0 || secret == 0)
            return refuse("secret record of " + std::to_string(b.size()) +
                          " bytes does not hold its label, context and secret");
        r.type = RecordType::Secret;
        r.secret.library = static_cast<Library>(fields[0]);
        r.secret.label = std::string_view(reinterpret_cast<const char*>(fields.data()) + kSecretFieldsBytes, label);
        r.secret.context = fields.subspan(kSecretFieldsBytes + label, context);
        r.secret.secret = fields.subspan(kSecretFieldsBytes + label + context, secret);
        break;
    }
    }
    read.ok = true;
    return read;
}

} // namespace velmora::probe
