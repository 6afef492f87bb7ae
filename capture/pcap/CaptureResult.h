#pragma once
// The outcome of a capture operation. A failure carries a message naming the adapter or file and
// libpcap's own reason; the user interface translates and shows it.

#include <string>
#include <utility>

namespace velmora {

struct CaptureResult {
    bool ok = true;
    // Why it failed; for a success, an optional warning from libpcap (empty when there is none).
    std::string message;

    static CaptureResult Success(std::string warning = {}) { return {true, std::move(warning)}; }
    static CaptureResult Failure(std::string why) { return {false, std::move(why)}; }
    explicit operator bool() const { return ok; }
};

} // namespace velmora
