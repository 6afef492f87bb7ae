#pragma once
// Every frame of a capture run, numbered from 1 and kept in memory so a result row can point back
// to it, the data window can show it and the keyword search can walk the run.
//
// Frames are packed into large blocks rather than allocated one by one. Past the memory budget
// the oldest blocks are released: their frames keep their numbers and lengths, but their bytes
// read back empty.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

using PacketNumber = std::uint32_t;

class PacketStore {
public:
    static constexpr std::size_t kMaxFrameBytes = 15000; // the snap length and buffer size
    static constexpr std::size_t kDefaultMemoryBudget = std::size_t{1} << 30;
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

    // A budget of 0 keeps numbers and lengths only, for callers that never read a frame back.
    explicit PacketStore(std::size_t memoryBudget = kDefaultMemoryBudget);

    // Numbers and stores one frame; a frame longer than kMaxFrameBytes is cut to it.
    // Leaves the new number in PacketCount() and CurrentPacket().
    PacketNumber Store(std::span<const std::uint8_t> frame);

    // Capture start: numbering begins again at 1 and the earlier run's frames are dropped.
    void Reset();

    PacketNumber PacketCount() const { return static_cast<PacketNumber>(frames_.size()); }
    PacketNumber CurrentPacket() const { return PacketCount(); }
    bool Contains(PacketNumber n) const { return n >= 1 && n <= PacketCount(); }

    // The byte count delivered with frame n (0 when n is not stored).
    std::int32_t PacketLength(PacketNumber n) const;
    // The stored bytes of frame n; empty when n is not stored or its bytes were released.
    std::span<const std::uint8_t> PacketData(PacketNumber n) const;
    bool IsReleased(PacketNumber n) const;

    std::size_t MemoryBudget() const { return memoryBudget_; }
    std::size_t HeldBytes() const { return heldBlocks_ * kBlockBytes; }

private:
    static constexpr std::uint32_t kNoBlock = 0xFFFFFFFF;

    struct FrameSlot {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length;
    };

    void releaseOverBudget();

    std::size_t memoryBudget_;
    std::vector<FrameSlot> frames_;
    // Block k of the run is blocks_[k - firstBlock_]; released blocks are popped from the front.
    std::deque<std::unique_ptr<std::uint8_t[]>> blocks_;
    std::uint32_t firstBlock_ = 0;
    std::size_t heldBlocks_ = 0;
    std::size_t usedInLastBlock_ = kBlockBytes;
    std::unique_ptr<std::uint8_t[]> spareBlock_; // kept across a reset so a restart does not reallocate
};

} // namespace velmora
