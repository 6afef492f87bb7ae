#pragma once
// Runs velmora-capture, the small program that holds the capture rights when this process has none, and
// reads what it says. Its frames arrive as a pcap stream on a pipe, opened here as a capture file; its
// status lines (ready, warning, error, stats) arrive on a second pipe and are read by a thread of their
// own, so the counters stay fresh while no frame arrives. A status line is at most kMaxStatusLine bytes: a
// longer one ends the capture.

#include "capture/pcap/CaptureResult.h"
#include "capture/pcap/PcapHandle.h"
#include "capture/pcap/UniqueFd.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace velmora {

struct HelperCounters {
    std::uint64_t received = 0;
    std::uint64_t droppedByKernel = 0;
    std::uint64_t droppedByInterface = 0;
};

class CaptureHelper final {
public:
    // The helper's own lines are a few hundred bytes at most.
    static constexpr std::size_t kMaxStatusLine = 4096;

    struct Settings {
        std::string adapter;
        int snapLength = 0;
        bool promiscuous = false;
        int bufferBytes = 0;
        int timeoutMs = 0;
    };
    // Called on the status thread with libpcap's counters as the helper reports them.
    using CountersHandler = std::function<void(const HelperCounters&)>;

    // The program's path: $VELMORA_CAPTURE_HELPER, else velmora-capture beside the executable (a build
    // tree or an unpacked folder), else ../libexec/velmora/velmora-capture (installed). Empty when none is.
    static std::string Locate();
    // Runs the helper's own short trial of the adapter.
    static CaptureResult Check(const std::string& program, const std::string& adapter);

    CaptureHelper() = default;
    ~CaptureHelper();
    CaptureHelper(const CaptureHelper&) = delete;
    CaptureHelper& operator=(const CaptureHelper&) = delete;

    // Starts the helper and waits until it captures (libpcap's warning in the success) or says why it cannot.
    CaptureResult Start(const std::string& program, const Settings& settings, CountersHandler counters);
    // The stream, opened as a capture file (valid after a successful Start, until Close).
    pcap* Stream() const { return stream_.get(); }
    // Asks the helper to stop (SIGTERM), and kills it when it has not gone after a while. Its stream then ends.
    void Terminate();
    // After the stream ended: waits for the last status lines; the helper's error, empty when it stopped cleanly.
    std::string FinalError();
    // Terminates the helper if needed and releases everything.
    void Close();

private:
    // Splits the status pipe into lines, looking at each byte once and holding at most one bounded line.
    class StatusLines {
    public:
        enum class Read { Line, End, TooLong };
        // Waits until `deadline` for the next line; End at the end of the pipe, on an error or time-out.
        Read Next(int fd, std::string& line, std::chrono::steady_clock::time_point deadline);
        void Clear();

    private:
        std::string buffer_;
        std::size_t start_ = 0;   // where the next line begins
        std::size_t scanned_ = 0; // bytes from start_ known to hold no newline
    };

    void readStatus();
    bool handleLine(const std::string& line);

    pid_t pid_ = -1;
    UniqueFd pidFd_; // the status thread may stop the helper; a pidfd cannot reach a reused pid
    PcapHandle stream_;
    UniqueFd status_;
    std::thread statusThread_;
    CountersHandler counters_;
    std::mutex mutex_;
    std::string error_;
    StatusLines statusLines_;
};

} // namespace velmora
