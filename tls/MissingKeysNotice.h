#pragma once
// Whether to tell the user, once per capture, that the browser records no keys for the TLS connections
// that arrive: a browser already running when it was asked to write a key log, or one started without
// SSLKEYLOGFILE, makes connections that stay without keys however long the capture runs.

#include "tls/HttpsRequestFinder.h"

#include <cstdint>
#include <optional>

namespace velmora {

class MissingKeysNotice final {
public:
    static constexpr std::int64_t kQuietMs = 10'000;

    // Capture start: the notice may be due again.
    void Reset() { *this = MissingKeysNotice(); }

    // The connection counts at `nowMs` (a steady clock). True once: when connections without keys have
    // been there for kQuietMs and no connection was decrypted meanwhile (keys that arrive start it anew).
    bool Update(const TlsStats& stats, std::int64_t nowMs);

private:
    std::optional<std::int64_t> since_;
    std::uint64_t decrypted_ = 0;
    bool said_ = false;
};

} // namespace velmora
