#pragma once
// Turns the kernel's chunks into the wire records on standard output: a Process record before a pid's
// first other record, a Connection record before a handle's first Data record and whenever the handle's
// socket changes (a TLS object's address reused for a new connection), then the Data records.

#include "ProbeEvent.h"
#include "WireRecord.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace velmora::tlsprobe {

class RecordStream {
public:
    explicit RecordStream(std::FILE* out) : out_(out) {}

    // Nanoseconds to add to CLOCK_MONOTONIC for the Unix time.
    void setClockOffset(std::int64_t offsetNs) { clockOffsetNs_ = offsetNs; }
    void announceProcess(std::uint32_t pid);
    // size is what the ring buffer held; a chunk that does not fit it is dropped and counted.
    void write(const probe_event& event, std::size_t size);
    void forgetProcess(std::uint32_t pid);

    std::uint64_t records() const { return records_; }
    std::uint64_t malformed() const { return malformed_; }
    bool failed() const { return failed_; }

private:
    void put(); // writes record_
    void announceConnection(const RecordOrigin& origin, std::int32_t fd, const SocketEndpoints& endpoints);

    std::FILE* out_;
    std::string record_;
    std::int64_t clockOffsetNs_ = 0;
    std::set<std::uint32_t> announced_;
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::pair<std::int32_t, SocketEndpoints>> handleSockets_;
    std::uint64_t records_ = 0;
    std::uint64_t malformed_ = 0;
    bool failed_ = false;
};

} // namespace velmora::tlsprobe
