#pragma once
// Cuts velmora-tls's standard output into records, from pieces of any size, and checks each before it
// is handed on. A record is held only while its bytes are split between pieces (at most
// kMaxRecordBytes). The stream has no marks to find a record's start by, so the first malformed
// record ends the reading: nothing after it is guessed at.

#include "probe/ProbeRecordSink.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace velmora::probe {

class ProbeRecordReader final {
public:
    // Hands every complete record to `sink`. False once the stream is malformed (now or before).
    bool Add(std::span<const std::uint8_t> bytes, ProbeRecordSink& sink);
    // The stream ended: false when it ended inside a record.
    bool End();
    // A new stream begins (a new helper): what was held and any problem are forgotten.
    void Restart();

    bool Failed() const { return !problem_.empty(); }
    // In English: where the stream broke and why.
    const std::string& Problem() const { return problem_; }
    std::uint64_t Records() const { return records_; }

private:
    // Reads what begins at `record`, of `size` bytes, all present.
    bool hand(std::span<const std::uint8_t> record, ProbeRecordSink& sink);
    void fail(const std::string& why);

    std::array<std::uint8_t, kMaxRecordBytes> held_{};
    std::size_t heldBytes_ = 0;
    std::uint64_t streamOffset_ = 0; // of the next record's first byte
    std::uint64_t records_ = 0;
    std::string problem_;
};

} // namespace velmora::probe
