#pragma once
// Runs velmora-tls, the helper that may hook the TLS libraries of the user's programs, and collects what
// it writes: its records on standard output and its status lines on a pipe of their own, both read by a
// thread so the helper never waits on us while frames are handled. The records are handed to the
// engine's thread with Take, in the order written; velmora-cli waits for them, the window is told. What
// waits is bounded: past kMaxPendingBytes the thread stops reading, the helper's ring buffer fills and the
// kernel drops calls, which the engine counts as gaps.

#include "capture/pcap/UniqueFd.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace velmora {

class TlsProbeProcess final {
public:
    static constexpr std::size_t kMaxPendingBytes = std::size_t{32} << 20;
    static constexpr std::size_t kMaxStatusLine = 4096; // the helper's own bound

    // The helper's path: $VELMORA_TLS_HELPER, else velmora-tls beside this program (a build tree), else
    // ../libexec/velmora/velmora-tls (installed). Empty when there is none.
    static std::string Locate();

    TlsProbeProcess() = default;
    ~TlsProbeProcess();
    TlsProbeProcess(const TlsProbeProcess&) = delete;
    TlsProbeProcess& operator=(const TlsProbeProcess&) = delete;

    // Starts the helper and waits until it says it is ready. Empty when it is; else why not, in English
    // (the helper's own "error" line when it gave one).
    std::string Start(const std::string& program, bool receive);
    // Starts the helper without waiting: its "ready" or "error" line comes with the others through Take.
    // Empty when it runs; else why not, in English.
    std::string Spawn(const std::string& program, bool receive);
    // Called on the reader's thread when something arrives after the last Take, or the output ends; once
    // until the next Take, so a window can post itself one event for a batch. Set before Spawn.
    void SetArrived(std::function<void()> arrived) { arrived_ = std::move(arrived); }

    // Waits up to `wait` for records or status lines, or the end of the helper's output.
    void Wait(std::chrono::milliseconds wait);
    // Moves what arrived since the last call into `bytes` and `lines` (appended).
    void Take(std::vector<std::uint8_t>& bytes, std::vector<std::string>& lines);
    // Both of the helper's pipes have ended (it stopped, or was stopped).
    bool Ended();
    // Asks the helper to stop (SIGTERM; SIGKILL when it lingers) and waits until its pipes end; what it
    // wrote before stopping can still be taken.
    void Stop();
    // How the helper ended, as a sentence; empty when it stopped cleanly (or has not ended).
    std::string ExitText();

private:
    void readPipes();
    // Calls arrived_ unless it was called since the last Take; unlocks `lock` to do so.
    void tell(std::unique_lock<std::mutex>& lock);

    pid_t pid_ = -1;
    int waitStatus_ = 0;
    bool reaped_ = false;
    UniqueFd records_;
    UniqueFd status_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> pendingBytes_;
    std::vector<std::string> pendingLines_;
    std::string partialLine_;
    bool ended_ = false;
    bool stopping_ = false;
    std::function<void()> arrived_;
    bool told_ = false; // arrived_ was called since the last Take
};

} // namespace velmora
