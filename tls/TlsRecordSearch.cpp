#include "tls/TlsRecordSearch.h"

#include "tls/TlsHello.h"

#include <algorithm>

namespace velmora {

namespace {

// The bytes after a gap that can still hold the start of the first record after it: one whole record
// at most, since the gap ended inside one.
constexpr std::size_t kWindow = tls::kRecordHeaderBytes + tls::kMaxRecordBody;

bool plausibleHeader(std::span<const std::uint8_t> at) {
    const std::size_t length = std::size_t{at[3]} << 8 | at[4];
    return at[0] == tls::kApplicationData && at[1] == 3 && at[2] >= 1 && at[2] <= 4 && length >= 17 &&
           length <= tls::kMaxRecordBody;
}

} // namespace

bool TlsRecordSearch::GaveUp(std::size_t bytesSeen) const {
    return tries_ >= kMaxTries || totalTries_ + tries_ >= kMaxTotalTries ||
           bytesSeen >= kWindow + tls::kRecordHeaderBytes + tls::kMaxRecordBody;
}

std::optional<TlsRecordSearch::Found> TlsRecordSearch::Search(std::span<const std::uint8_t> bytes,
                                                              TlsRecordCipher& cipher,
                                                              std::vector<std::uint8_t>& plaintext) {
    if (!active_ || !cipher.Ready())
        return std::nullopt;
    const std::size_t last = std::min(bytes.size(), kWindow);
    if (totalTries_ + tries_ >= kMaxTotalTries)
        return std::nullopt;
    for (std::size_t offset = 0; offset + tls::kRecordHeaderBytes <= last && tries_ < kMaxTries; ++offset) {
        const auto header = bytes.subspan(offset, tls::kRecordHeaderBytes);
        if (!plausibleHeader(header))
            continue;
        const std::size_t body = std::size_t{header[3]} << 8 | header[4];
        const std::size_t length = tls::kRecordHeaderBytes + body;
        if (offset + length > bytes.size())
            continue; // not whole (yet): a shorter record further on may be
        // The lost bytes hold whole records: at least one, about as many as records of the usual size make.
        const std::uint64_t lost = lost_ + offset;
        const std::size_t recordBytes = std::max<std::size_t>(typical_, length);
        const std::uint64_t estimate = std::max<std::uint64_t>(1, (lost + recordBytes - 1) / recordBytes);
        const std::size_t overhead = tls::kRecordHeaderBytes + body - cipher.PlaintextBytes(body);
        const std::uint64_t fewest = fromStart_ ? 0 : 1;
        for (std::uint64_t skipped = std::max(fewest, estimate > 3 ? estimate - 3 : 0); skipped <= estimate + 8 && tries_ < kMaxTries;
             ++skipped) {
            if (skipped * overhead > lost)
                break; // fewer bytes than that many records' headers and tags
            ++tries_;
            std::uint8_t contentType = 0;
            if (cipher.OpenAt(cipher.Sequence() + skipped, bytes.subspan(offset, length), plaintext, contentType)) {
                Found found{offset, length, fromStart_ ? 0 : lost - skipped * overhead, contentType};
                Stop();
                return found;
            }
        }
    }
    return std::nullopt;
}

} // namespace velmora
