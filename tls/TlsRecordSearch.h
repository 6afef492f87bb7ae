#pragma once
// Where a direction's TLS records begin again after a gap in the capture swallowed a record header:
// the record boundary and the record number (which the nonce uses) are both lost. The search tries
// each place in the bytes after the gap where a record header could stand, under the few record
// numbers that the bytes lost allow, and accepts only a record whose authentication tag confirms
// both. The tries are bounded per gap, so hostile bytes cost little.

#include "tls/TlsRecordCipher.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

class TlsRecordSearch final {
public:
    static constexpr std::size_t kMaxTries = 96;        // record openings per gap
    static constexpr std::size_t kMaxTotalTries = 4096; // per direction of a connection, over all its gaps

    struct Found {
        std::size_t offset = 0;            // where the confirmed record begins in the bytes searched
        std::size_t length = 0;            // its header and body
        std::uint64_t plaintextLost = 0;   // of the records lost before it, as the reader above counts them
        std::uint8_t contentType = 0;      // the confirmed record, opened into the caller's plaintext
    };

    bool Active() const { return active_; }
    // A gap of `n` bytes after the last record boundary known (or more of one being searched).
    void Lost(std::uint64_t n) {
        active_ = true;
        lost_ += n;
        totalTries_ += tries_;
        tries_ = 0;
    }
    // The bytes before `offset` of what is being searched turned out lost too (a new gap follows them).
    void Discard(std::size_t n) { lost_ += n; }
    // The bytes lost began where new keys start their numbering: the first record after them may be the first of those keys.
    // The plaintext lost is then not counted: it was the handshake's.
    void FromStartOfKeys() { fromStart_ = true; }
    void Stop() {
        active_ = false;
        fromStart_ = false;
        lost_ = 0;
        totalTries_ += tries_;
        tries_ = 0;
    }
    // Notes the size of a record read in step: the lost bytes are estimated in records of about it.
    void Seen(std::size_t recordBytes) {
        if (recordBytes > typical_ || recordBytes >= 1024)
            typical_ = recordBytes;
    }
    // Looks in the bytes after the gap. Found: the cipher is past the confirmed record, `plaintext`
    // holds it, and the search is over. Nothing: more bytes may still tell (`GaveUp` says when not).
    std::optional<Found> Search(std::span<const std::uint8_t> bytes, TlsRecordCipher& cipher,
                                std::vector<std::uint8_t>& plaintext);
    // No record can begin past the bytes seen, or the tries are spent.
    bool GaveUp(std::size_t bytesSeen) const;

private:
    bool active_ = false;
    bool fromStart_ = false;
    std::uint64_t lost_ = 0;
    std::size_t typical_ = 0;
    std::size_t tries_ = 0;
    std::size_t totalTries_ = 0;
};

} // namespace velmora
