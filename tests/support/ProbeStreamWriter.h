#pragma once
// Writes a stream of velmora-tls's records (probe/ProbeWire.h) as the helper does, for the tests and
// the fuzz target: a program's calls cut into chunks, numbered per (pid, handle, direction), and the
// ways a real stream goes wrong (a call or chunk lost, a call cut, a broken record).

#include "probe/ProbeWire.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora::test {

class ProbeStreamWriter {
public:
    // Whose calls the records report.
    struct Caller {
        std::uint32_t pid = 1000;
        std::string comm = "curl";
        std::uint64_t handle = 0x5581'0000'1000;
        probe::Library library = probe::Library::OpenSsl;
    };

    void Process(const Caller& caller, std::string_view executable);
    // IPv4 endpoints on 127.0.0.1.
    void Connection(const Caller& caller, std::uint32_t fd, std::uint16_t localPort, std::uint16_t remotePort);
    // One call that moved `bytes`, in chunks of at most `chunk` bytes; the chunk at `lostChunk` (if any)
    // is not written, as if the helper's ring buffer had been full.
    void Call(const Caller& caller, probe::Direction direction, std::string_view bytes,
              std::size_t chunk = probe::kMaxChunkBytes, std::size_t lostChunk = SIZE_MAX);
    // A call of `callBytes` past kMaxCallBytes: its first kMaxCallBytes of `bytes` written, marked cut.
    void CutCall(const Caller& caller, probe::Direction direction, std::string_view bytes, std::uint32_t callBytes);
    // A call made but not written at all: its sequence number is used up.
    void LostCall(const Caller& caller, probe::Direction direction);
    // A record as given, however wrong.
    void Raw(std::span<const std::uint8_t> record) { out_.insert(out_.end(), record.begin(), record.end()); }
    // A data record's bytes, fields as given, for the tests that break them.
    static std::vector<std::uint8_t> DataRecord(const Caller& caller, probe::Direction direction, std::uint64_t sequence,
                                                std::uint32_t callBytes, std::uint32_t offset, std::uint16_t flags,
                                                std::string_view bytes);

    const std::vector<std::uint8_t>& Bytes() const { return out_; }

private:
    static void header(std::vector<std::uint8_t>& out, const Caller& caller, probe::RecordType type,
                       std::uint16_t flags);
    static void finish(std::vector<std::uint8_t>& out); // writes the size
    std::uint64_t nextSequence(const Caller& caller, probe::Direction direction);

    std::vector<std::uint8_t> out_;
    std::map<std::tuple<std::uint32_t, std::uint64_t, int>, std::uint64_t> sequences_;
};

// An HTTP/2 client's bytes: the preface and SETTINGS (with `prefaceAndSettings`), then a HEADERS frame
// per request on streams `firstStream`, +2, ..., every field an HPACK literal that is not indexed.
std::string Http2Requests(const std::vector<std::vector<std::pair<std::string, std::string>>>& requests,
                          bool prefaceAndSettings = true, std::uint32_t firstStream = 1);

} // namespace velmora::test
