#pragma once
// The bounded hand-over of frames from the capture thread to the consumer's thread, in capture
// order. The producer waits while the queue is full; a cancelled run turns its producer away, so
// nothing of a stopped capture is delivered later.

#include "capture/pcap/CapturedFrame.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace velmora {

class FrameQueue final {
public:
    enum class PushOutcome {
        Queued,
        QueuedWakeConsumer, // the consumer has not been told since it last dispatched
        Cancelled,          // the run was cancelled; the frame was not queued
    };

    FrameQueue(std::size_t maxFrames, std::size_t maxBytes);

    // Producer side.
    void BeginRun(std::uint64_t runId);
    // Waits for room (a frame bigger than the byte limit still goes into an empty queue), calling
    // whileFull, outside the lock, every kFullWaitSlice of waiting.
    PushOutcome Push(std::uint64_t runId, CapturedFrame&& frame, const std::function<void()>& whileFull = {});
    // The run's source has no more frames; true when the consumer should be told.
    bool EndRun(std::uint64_t runId);
    // A byte buffer left over from a dispatched frame, so steady capture does not allocate.
    std::vector<std::uint8_t> TakeBuffer();

    // Drops every queued frame, turns the producer away and wakes it; returns how many were dropped.
    std::size_t Cancel();

    // Consumer side. Pop hands the frame's previous buffer back for reuse.
    bool Pop(CapturedFrame& frame);
    // The next queued frame (or the end of the run) tells the consumer again.
    void Rearm();
    // True when the consumer may be told now (it was armed); disarms it.
    bool ClaimWake();
    bool WaitForFrames(std::chrono::milliseconds timeout);
    std::size_t Size() const;
    // The run ended and everything it queued was taken.
    bool Drained() const;

private:
    // Enough spare buffers for the frames taken while the reader waits for a half-empty queue, so
    // steady reading allocates nothing; bounded in bytes so jumbo frames cannot pile up.
    static constexpr std::size_t kMaxSpareBuffers = 4096;
    static constexpr std::size_t kMaxSpareBytes = std::size_t{8} << 20;
    static constexpr std::chrono::milliseconds kFullWaitSlice{250};

    bool hasRoomFor(std::size_t bytes) const;
    // Room again once a full queue has been drained to half.
    bool hasRoomAfterDrain(std::size_t bytes) const;

    mutable std::mutex mutex_;
    std::condition_variable roomChanged_;
    std::condition_variable framesChanged_;
    std::deque<CapturedFrame> frames_;
    std::vector<std::vector<std::uint8_t>> spareBuffers_;
    std::size_t spareBytes_ = 0;
    const std::size_t maxFrames_;
    const std::size_t maxBytes_;
    std::size_t queuedBytes_ = 0;
    std::uint64_t runId_ = 0;
    bool accepting_ = false;
    bool ended_ = true;
    bool wakeArmed_ = true;
    bool producerWaiting_ = false;
};

} // namespace velmora
