#include "capture/pcap/FrameQueue.h"

#include <algorithm>
#include <utility>

namespace velmora {

FrameQueue::FrameQueue(std::size_t maxFrames, std::size_t maxBytes)
    : maxFrames_(std::max<std::size_t>(maxFrames, 1)), maxBytes_(maxBytes) {}

void FrameQueue::BeginRun(std::uint64_t runId) {
    std::lock_guard lock(mutex_);
    frames_.clear();
    queuedBytes_ = 0;
    runId_ = runId;
    accepting_ = true;
    ended_ = false;
    wakeArmed_ = true;
}

bool FrameQueue::hasRoomFor(std::size_t bytes) const {
    return frames_.empty() || (frames_.size() < maxFrames_ && queuedBytes_ + bytes <= maxBytes_);
}

bool FrameQueue::hasRoomAfterDrain(std::size_t bytes) const {
    return frames_.empty() ||
           (frames_.size() <= maxFrames_ / 2 && queuedBytes_ <= maxBytes_ / 2 && queuedBytes_ + bytes <= maxBytes_);
}

FrameQueue::PushOutcome FrameQueue::Push(std::uint64_t runId, CapturedFrame&& frame,
                                         const std::function<void()>& whileFull) {
    std::unique_lock lock(mutex_);
    const std::size_t size = frame.bytes.size();
    if (!hasRoomFor(size)) {
        // Wait until the consumer has drained half the queue, not just one slot: waking the reader
        // for every frame taken costs two context switches per frame.
        const auto mayGo = [&] { return !accepting_ || runId != runId_ || hasRoomAfterDrain(size); };
        producerWaiting_ = true;
        while (!roomChanged_.wait_for(lock, kFullWaitSlice, mayGo)) {
            if (whileFull) {
                lock.unlock();
                whileFull();
                lock.lock();
            }
        }
        producerWaiting_ = false;
    }
    if (!accepting_ || runId != runId_) {
        return PushOutcome::Cancelled;
    }
    frames_.push_back(std::move(frame));
    queuedBytes_ += size;
    const bool wake = std::exchange(wakeArmed_, false);
    lock.unlock();
    framesChanged_.notify_all();
    return wake ? PushOutcome::QueuedWakeConsumer : PushOutcome::Queued;
}

bool FrameQueue::EndRun(std::uint64_t runId) {
    std::unique_lock lock(mutex_);
    if (runId != runId_) {
        return false;
    }
    ended_ = true;
    accepting_ = false;
    const bool wake = std::exchange(wakeArmed_, false);
    lock.unlock();
    framesChanged_.notify_all();
    return wake;
}

std::vector<std::uint8_t> FrameQueue::TakeBuffer() {
    std::lock_guard lock(mutex_);
    if (spareBuffers_.empty()) {
        return {};
    }
    std::vector<std::uint8_t> buffer = std::move(spareBuffers_.back());
    spareBuffers_.pop_back();
    spareBytes_ -= buffer.capacity();
    return buffer;
}

std::size_t FrameQueue::Cancel() {
    std::unique_lock lock(mutex_);
    const std::size_t dropped = frames_.size();
    frames_.clear();
    queuedBytes_ = 0;
    accepting_ = false;
    ended_ = true;
    lock.unlock();
    roomChanged_.notify_all();
    framesChanged_.notify_all();
    return dropped;
}

bool FrameQueue::Pop(CapturedFrame& frame) {
    std::unique_lock lock(mutex_);
    if (frames_.empty()) {
        return false;
    }
    if (frame.bytes.capacity() > 0 && spareBuffers_.size() < kMaxSpareBuffers &&
        spareBytes_ + frame.bytes.capacity() <= kMaxSpareBytes) {
        spareBytes_ += frame.bytes.capacity();
        frame.bytes.clear();
        spareBuffers_.push_back(std::move(frame.bytes));
    }
    frame = std::move(frames_.front());
    frames_.pop_front();
    queuedBytes_ -= frame.bytes.size();
    const bool wakeProducer = producerWaiting_ && hasRoomAfterDrain(0);
    lock.unlock();
    if (wakeProducer) {
        roomChanged_.notify_all();
    }
    return true;
}

void FrameQueue::Rearm() {
    std::lock_guard lock(mutex_);
    wakeArmed_ = true;
}

bool FrameQueue::ClaimWake() {
    std::lock_guard lock(mutex_);
    return std::exchange(wakeArmed_, false);
}

bool FrameQueue::WaitForFrames(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    framesChanged_.wait_for(lock, timeout, [&] { return !frames_.empty() || ended_; });
    return !frames_.empty();
}

std::size_t FrameQueue::Size() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

bool FrameQueue::Drained() const {
    std::lock_guard lock(mutex_);
    return ended_ && frames_.empty();
}

} // namespace velmora
