#pragma once
// The capture component over libpcap: lists adapters, opens an adapter or capture files, and hands
// their frames one at a time to the consumer's thread.
//
// The consumer calls DispatchPending on its own thread; for each frame it raises
// PacketReceived(numbytes), inside which the handler copies the frame out with ReadPacket.
// An adapter is read by a capture thread that queues frames (bounded) and tells the consumer that
// frames wait through the frames-available notifier (the GUI posts one event for it; the
// command-line tool blocks in WaitForFrames instead). StopCapture drops what is still queued.
// Capture files need no such thread: a file always has its next frame ready, and handing frames
// over between threads costs more than the search on most of them. DispatchPending reads them
// itself, in place, and the notifier is raised on the consumer's thread.
//
// A process without the right to capture opens an adapter through velmora-capture (see CaptureHelper):
// the helper's pcap stream is read on the capture thread and its frames, counters and errors arrive as
// an adapter's would, so the consumer cannot tell the two apart.

#include "capture/pcap/AdapterInfo.h"
#include "capture/pcap/CaptureFileReader.h"
#include "capture/pcap/CaptureHelper.h"
#include "capture/pcap/CaptureResult.h"
#include "capture/pcap/CapturedFrame.h"
#include "capture/pcap/FrameQueue.h"
#include "capture/pcap/PcapHandle.h"
#include "capture/pcap/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

struct pcap_pkthdr;

namespace velmora {

struct CaptureStats {
    std::uint64_t received = 0;           // frames the source produced (live: libpcap's count)
    std::uint64_t droppedByKernel = 0;    // live only: no room in the kernel buffer
    std::uint64_t droppedByInterface = 0; // live only: dropped by the adapter or its driver
    std::uint64_t queued = 0;             // frames put into the queue (adapters only)
    std::uint64_t delivered = 0;          // frames announced through PacketReceived
    std::uint64_t discardedAtStop = 0;    // queued frames dropped by StopCapture
};

// Where a capture file stopped being readable: the file, the frame in it (from 1) and libpcap's reason.
struct FileDamage {
    std::string path;
    std::uint64_t frame = 0;
    std::string reason;
};

// How far the files of a run have been read, in bytes of all of them together.
struct FileProgress {
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesTotal = 0;
};

class CaptureComponent final {
public:
    static constexpr std::int32_t kMaxFrameBytes = 15000; // highest position of CaptureBuffer: what ReadPacket gives
    // Frames are captured whole up to libpcap's own default (what `tcpdump -s 0` keeps): loopback, GRO
    // on the receiving card and TSO on the sending side give TCP frames of up to 64 KiB, and a frame cut
    // short leaves a hole in its connection's stream.
    static constexpr std::int32_t kSnapLength = 262144;
    static constexpr std::int32_t kPromiscuous = 32;      // the packet-type value that asks for every frame
    static constexpr std::int32_t kDefaultReadTimeoutMs = 1000;
    // The kernel ring is never made smaller than this: the buffer size callers pass was sized for a
    // driver that kept one frame per slot, and a 15000-byte ring would drop nearly everything.
    static constexpr std::int32_t kMinimumKernelBuffer = 4 << 20;
    // Whole frames fill a ring four times faster than cut ones: under a flood of 64 KiB frames on lo
    // (bench/lo_tcp_drops) a 32 MiB ring drops a thirtieth of what the 4 MiB one does.
    static constexpr std::int32_t kWholeFrameKernelBuffer = 32 << 20;

    struct QueueLimits {
        std::size_t maxFrames;
        std::size_t maxBytes;
    };
    static constexpr QueueLimits kDefaultQueueLimits{4096, std::size_t{32} << 20};

    using PacketReceivedHandler = std::function<void(std::int32_t numbytes)>;
    using FramesAvailableNotifier = std::function<void()>;

    CaptureComponent() : CaptureComponent(kDefaultQueueLimits) {}
    explicit CaptureComponent(QueueLimits limits);
    ~CaptureComponent();
    CaptureComponent(const CaptureComponent&) = delete;
    CaptureComponent& operator=(const CaptureComponent&) = delete;

    // Adapters, in libpcap's order. ListAdapters gives the names only (empty when libpcap fails).
    std::vector<std::string> ListAdapters() const;
    AdapterList ListAdapterDetails() const;
    // The adapter's own first IPv4 address and its netmask, most significant byte = first octet;
    // both 0 when it has none. Fails (both 0) when there is no such adapter.
    CaptureResult LookupNetwork(const std::string& name, std::uint32_t& address, std::uint32_t& mask) const;

    // Sources. Opening closes the source that was open (refused while it is being captured).
    // OpenAdapter checks at once that the adapter exists and may be opened (libpcap's message if not).
    // Without the right to capture it turns to the capture helper; a failure then gives both reasons.
    CaptureResult OpenAdapter(const std::string& name);
    // pcap or pcapng, told apart by content. Several files are read one after the other as one run.
    CaptureResult OpenFile(const std::string& path);
    CaptureResult OpenFiles(const std::vector<std::string>& paths);

    // Settings for the next StartCapture of an adapter; they fail only while capturing or for
    // values out of range. They are kept across sources.
    CaptureResult SetPacketFilter(std::int32_t packetType); // kPromiscuous bit set -> promiscuous
    CaptureResult SetReadTimeout(std::int32_t milliseconds);
    CaptureResult AllocatePacket();                    // fails when nothing is open
    CaptureResult InitPacket(std::int32_t snapLength); // 1..; above kSnapLength it is cut to it
    CaptureResult SetBufferSize(std::int32_t bytes);   // raised to kMinimumKernelBuffer

    // Activates the adapter (libpcap's message when that fails; the adapter is then closed) and
    // starts its capture thread, or makes the files ready for DispatchPending. A source is captured
    // once: open it again to capture again.
    CaptureResult StartCapture();
    // Ends the capture thread and drops queued frames; no PacketReceived follows. Returns promptly
    // on an idle adapter. Must not be called from the frames-available notifier.
    CaptureResult StopCapture();
    // Stops if needed and releases the adapter or files.
    CaptureResult CloseAdapter();

    // Consumer side; everything below is called on the consumer's thread.
    // Raised inside DispatchPending with the byte count ReadPacket gives (0..kMaxFrameBytes); the frame
    // itself may be longer (CurrentFrame).
    void SetPacketReceived(PacketReceivedHandler handler) { packetReceived_ = std::move(handler); }
    // Set before StartCapture; takes effect at the next start. Adapters: called on the capture
    // thread at most once between two DispatchPending calls (and again by DispatchPending itself
    // when it leaves frames behind), and once when the source ends. Files: called on the consumer's
    // thread by StartCapture and by DispatchPending when it leaves frames behind. It must be
    // thread-safe and must not block.
    void SetFramesAvailable(FramesAvailableNotifier notifier) { framesAvailable_ = std::move(notifier); }
    // Announces up to maxFrames queued frames in capture order; returns how many.
    std::size_t DispatchPending(std::size_t maxFrames);
    // Blocks until frames wait, the source ends or the time is up; true when frames wait (a file
    // being read always has its next frame ready).
    bool WaitForFrames(std::chrono::milliseconds timeout);
    // Inside PacketReceived: copies the announced frame into captureBuffer from position 0 and
    // returns the bytes copied (at most the buffer's size). 0 outside PacketReceived.
    std::int32_t ReadPacket(std::span<std::uint8_t> captureBuffer) const;
    // The announced frame itself, every captured byte of it (valid until PacketReceived returns), its
    // libpcap link type (see velmora::linktype) and timestamp.
    std::span<const std::uint8_t> CurrentFrame() const;
    int CurrentLinkType() const { return current_.linkType; }
    // What FindFrameMarkers finds in the announced frame's first kMaxFrameBytes (the bytes the address
    // scans read), worked out on the capture thread.
    const FrameMarkers& CurrentFrameMarkers() const { return current_.markers; }
    std::chrono::microseconds CurrentTimestamp() const { return current_.timestamp; }

    bool IsOpen() const { return source_ != Source::None; }
    // A capture runs and its source has not ended (a file read to its end, or a failed adapter, no
    // longer counts, though its last frames may still wait for DispatchPending).
    bool IsCapturing() const;
    // Nothing more will be announced: not capturing, or the source ended and its frames were dispatched.
    bool Finished() const;
    // Why the source ended: success at the end of the files, else the error that stopped reading.
    CaptureResult EndResult() const;
    // Frames queued by an adapter's capture thread (files queue nothing).
    std::size_t PendingFrames() const { return queue_.Size(); }
    // The damage that ended reading the files, when that is why the run ended (see EndResult).
    std::optional<FileDamage> Damage() const;
    // Capture files only; refreshed while they are read, whole once they are.
    FileProgress ReadProgress() const { return {filesBytesRead_.load(), filesBytesTotal_}; }
    // The adapter name, or the first file's path.
    const std::string& SourceName() const { return sourceName_; }
    // The adapter is captured through the capture helper.
    bool ThroughHelper() const { return source_ == Source::Helper; }
    // Live figures are refreshed a few times a second while capturing (also while the queue is
    // full) and once more at stop.
    CaptureStats Stats() const;
    std::uint64_t DroppedByKernel() const { return droppedByKernel_.load(); }

private:
    enum class Source { None, Adapter, Helper, Files };
    struct CaptureFile {
        std::string path;
        PcapHandle handle;
    };

    static void onLiveFrame(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes);
    void readAdapter(std::uint64_t runId);
    void readHelper(std::uint64_t runId);
    CaptureResult openThroughHelper(const std::string& name, const std::string& directFailure);
    // Reads and announces up to maxFrames frames of the files; returns how many.
    std::size_t dispatchFileFrames(std::size_t maxFrames);
    void endFiles(CaptureResult result);
    bool enqueue(std::uint64_t runId, int linkType, const pcap_pkthdr& header, const unsigned char* bytes);
    void refreshLiveStats();
    void endRun(std::uint64_t runId, CaptureResult result);
    CaptureResult refuseWhileCapturing(const char* operation) const;
    // The kernel ring for the next start: the buffer size asked for, grown for whole frames.
    std::int32_t ringBytes() const;

    Source source_ = Source::None;
    std::string sourceName_;
    PcapHandle adapter_;
    std::string helperProgram_;
    CaptureHelper helper_;
    std::vector<CaptureFile> files_;
    bool sourceSpent_ = false;
    bool readingFiles_ = false; // a file run was started and not stopped
    std::size_t fileIndex_ = 0; // the file being read
    std::uint64_t framesReadInFile_ = 0;
    std::uint64_t filesBefore_ = 0; // bytes of the files read to their end
    CaptureFileReader fileReader_;

    bool promiscuous_ = false;
    std::int32_t readTimeoutMs_ = kDefaultReadTimeoutMs;
    std::int32_t snapLength_ = kSnapLength;
    std::int32_t kernelBuffer_ = kMinimumKernelBuffer;

    FrameQueue queue_;
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> sourceEnded_{false};
    UniqueFd wakeFd_;
    std::uint64_t runId_ = 0;
    int liveLinkType_ = 0;
    FramesAvailableNotifier framesAvailable_;
    FramesAvailableNotifier runNotifier_; // the capture thread's copy, fixed for the run

    PacketReceivedHandler packetReceived_;
    CapturedFrame current_;
    std::span<const std::uint8_t> currentBytes_; // current_.bytes, or a file frame in the reader's buffer
    bool announced_ = false;
    bool dispatching_ = false;

    mutable std::mutex endMutex_;
    CaptureResult endResult_;
    std::optional<FileDamage> damage_;
    std::uint64_t filesBytesTotal_ = 0;
    std::atomic<std::uint64_t> filesBytesRead_{0};

    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> droppedByKernel_{0};
    std::atomic<std::uint64_t> droppedByInterface_{0};
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> discardedAtStop_{0};
};

} // namespace velmora
