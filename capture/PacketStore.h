#pragma once
// Every frame of a capture run, numbered from 1 and kept in memory so a result row can point back
// to it, the data window can show it and the keyword search can walk the run.
//
// Frames are packed into large blocks rather than allocated one by one, and each block keeps the
// records of its own frames. The memory budget covers both: past it the oldest blocks are released
// with their records, so a run of any length stays inside the budget. A released frame keeps its
// number but reads back empty, with length 0.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

// 64-bit: a busy adapter passes 2^32 frames in days, and numbers must never repeat within a run.
using PacketNumber = std::uint64_t;

class PacketStore {
public:
    static constexpr std::size_t kMaxFrameBytes = 15000; // the snap length and buffer size
    static constexpr std::size_t kDefaultMemoryBudget = std::size_t{1} << 30;
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    // Frames per block at most, so that even empty frames cannot grow a block's records without bound.
    static constexpr std::size_t kMaxFramesPerBlock = kBlockBytes / 64;

    // A budget of 0 keeps numbers only, for callers that never read a frame back. A budget below one
    // block still holds the block being filled.
    explicit PacketStore(std::size_t memoryBudget = kDefaultMemoryBudget);

    // Numbers and stores one frame; a frame longer than kMaxFrameBytes is cut to it.
    // Leaves the new number in PacketCount() and CurrentPacket().
    PacketNumber Store(std::span<const std::uint8_t> frame);

    // Capture start: numbering begins again at 1 and the earlier run's frames are dropped.
    void Reset();

    PacketNumber PacketCount() const { return count_; }
    PacketNumber CurrentPacket() const { return count_; }
    bool Contains(PacketNumber n) const { return n >= 1 && n <= count_; }

    // The stored byte count of frame n: the frame's length cut to kMaxFrameBytes. The current frame's
    // always reads; 0 when n is not stored or its bytes were released.
    std::int32_t PacketLength(PacketNumber n) const;
    // The stored bytes of frame n; empty when n is not stored or its bytes were released.
    std::span<const std::uint8_t> PacketData(PacketNumber n) const;
    bool IsReleased(PacketNumber n) const;
    // The oldest frame whose bytes are held; every frame before it is released. PacketCount() + 1 when none is.
    PacketNumber FirstHeldPacket() const { return blocks_.empty() ? count_ + 1 : blocks_.front().first; }

    std::size_t MemoryBudget() const { return memoryBudget_; }
    // Takes effect at once: releases the oldest blocks past the new budget.
    void SetMemoryBudget(std::size_t memoryBudget);
    // Everything the store holds for frames: blocks (a spare one included) and their records.
    std::size_t HeldBytes() const;

private:
    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        PacketNumber first = 0;          // number of the block's first frame
        std::vector<std::uint32_t> ends; // end offset of each of its frames in `bytes`
    };

    const Block* blockOf(PacketNumber n) const;
    void openBlock();
    void releaseOldest();
    void releaseOverBudget();

    std::size_t memoryBudget_;
    PacketNumber count_ = 0;
    std::int32_t currentLength_ = 0;
    std::deque<Block> blocks_;                                      // oldest first; the last one is being filled
    std::size_t recordBytes_ = 0;                                   // capacity of every held block's `ends`, in bytes
    std::unique_ptr<std::uint8_t[]> spareBlock_;                    // a released block's bytes, reused for the next one
    std::vector<std::unique_ptr<std::uint8_t[]>> earlierRunBlocks_; // kept by Reset for the next run; held
};

} // namespace velmora
