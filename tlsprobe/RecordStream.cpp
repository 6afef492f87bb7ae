#include "RecordStream.h"

#include "ProcFiles.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace velmora::tlsprobe {
namespace {

// A table of many processes' handles is dropped whole past this; their Connection records come again.
constexpr std::size_t kMaxHandles = 65536;

} // namespace

void RecordStream::put() {
    if (failed_) {
        return;
    }
    if (std::fwrite(record_.data(), 1, record_.size(), out_) != record_.size()) {
        failed_ = true;
        return;
    }
    ++records_;
}

void RecordStream::announceProcess(std::uint32_t pid) {
    if (!announced_.insert(pid).second) {
        return;
    }
    RecordOrigin origin;
    origin.pid = pid;
    origin.tid = pid;
    // When the process was hooked, which is before any of its calls is reported.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    origin.timeNs = static_cast<std::uint64_t>(now.tv_sec) * 1000000000 + static_cast<std::uint64_t>(now.tv_nsec);
    const std::string base = "/proc/" + std::to_string(pid);
    if (const auto comm = readProcText(base + "/comm", origin.comm.size())) {
        std::string_view name = *comm;
        name = name.substr(0, name.find('\n'));
        std::copy_n(name.begin(), std::min(name.size(), origin.comm.size() - 1), origin.comm.begin());
    }
    processRecord(record_, origin, readProcLink(base + "/exe").value_or(""));
    put();
}

// Told again when the handle's socket changes: a freed TLS object's address is often the next one's.
void RecordStream::announceConnection(const RecordOrigin& origin, std::int32_t fd, const SocketEndpoints& endpoints) {
    const auto key = std::make_pair(origin.pid, origin.handle);
    const auto known = handleSockets_.find(key);
    if (known != handleSockets_.end() && known->second.first == fd && known->second.second == endpoints) {
        return;
    }
    if (handleSockets_.size() >= kMaxHandles) {
        handleSockets_.clear();
    }
    handleSockets_[key] = {fd, endpoints};
    connectionRecord(record_, origin, static_cast<std::uint32_t>(fd), endpoints);
    put();
}

void RecordStream::write(const probe_event& event, std::size_t size) {
    if (size < PROBE_EVENT_HEADER_BYTES || event.chunk_bytes > PROBE_CHUNK_BYTES ||
        event.chunk_bytes > size - PROBE_EVENT_HEADER_BYTES) {
        ++malformed_;
        return;
    }
    announceProcess(event.pid);
    RecordOrigin origin;
    origin.pid = event.pid;
    origin.tid = event.tid;
    origin.timeNs = event.time_ns + static_cast<std::uint64_t>(clockOffsetNs_);
    origin.handle = event.handle;
    std::memcpy(origin.comm.data(), event.comm, origin.comm.size());
    origin.comm.back() = '\0';
    if (event.fd >= 0 && event.family != 0 && event.offset == 0) {
        SocketEndpoints endpoints;
        endpoints.family = event.family;
        endpoints.localPort = event.local_port;
        endpoints.remotePort = event.remote_port;
        std::memcpy(endpoints.local.data(), event.local, endpoints.local.size());
        std::memcpy(endpoints.remote.data(), event.remote, endpoints.remote.size());
        announceConnection(origin, event.fd, endpoints);
    }
    DataChunk chunk;
    chunk.sequence = event.sequence;
    chunk.callBytes = event.call_bytes;
    chunk.offset = event.offset;
    chunk.library = static_cast<probe::Library>(event.library);
    chunk.direction = static_cast<probe::Direction>(event.direction);
    chunk.flags = event.flags & (probe::Cut | probe::LastChunk);
    chunk.bytes = {event.bytes, event.chunk_bytes};
    dataRecord(record_, origin, chunk);
    put();
}

void RecordStream::forgetProcess(std::uint32_t pid) {
    announced_.erase(pid);
    std::erase_if(handleSockets_, [pid](const auto& entry) { return entry.first.first == pid; });
}

} // namespace velmora::tlsprobe
