#include "capture/PacketStore.h"

#include <algorithm>
#include <cstring>

namespace velmora {

PacketStore::PacketStore(std::size_t memoryBudget) : memoryBudget_(memoryBudget) {}

PacketNumber PacketStore::Store(std::span<const std::uint8_t> frame) {
    const std::size_t length = std::min(frame.size(), kMaxFrameBytes);
    if (memoryBudget_ == 0) {
        frames_.push_back(FrameSlot{kNoBlock, 0, static_cast<std::uint32_t>(length)});
        return PacketCount();
    }
    if (usedInLastBlock_ + length > kBlockBytes) {
        auto block = spareBlock_ ? std::move(spareBlock_) : std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes);
        blocks_.push_back(std::move(block));
        ++heldBlocks_;
        usedInLastBlock_ = 0;
        releaseOverBudget();
    }
    const auto blockNumber = static_cast<std::uint32_t>(firstBlock_ + blocks_.size() - 1);
    if (length > 0)
        std::memcpy(blocks_.back().get() + usedInLastBlock_, frame.data(), length);
    frames_.push_back(FrameSlot{blockNumber, static_cast<std::uint32_t>(usedInLastBlock_),
                                static_cast<std::uint32_t>(length)});
    usedInLastBlock_ += length;
    return PacketCount();
}

void PacketStore::releaseOverBudget() {
    // The block being filled is never released, so the current frame can always be read.
    while (heldBlocks_ > 1 && heldBlocks_ * kBlockBytes > memoryBudget_) {
        // Keep one released block for the next frames: a small budget would otherwise map and
        // unmap a block for every megabyte captured.
        if (!spareBlock_)
            spareBlock_ = std::move(blocks_.front());
        blocks_.pop_front();
        ++firstBlock_;
        --heldBlocks_;
    }
}

void PacketStore::Reset() {
    frames_.clear();
    frames_.shrink_to_fit();
    if (!blocks_.empty() && !spareBlock_)
        spareBlock_ = std::move(blocks_.back());
    blocks_.clear();
    firstBlock_ = 0;
    heldBlocks_ = 0;
    usedInLastBlock_ = kBlockBytes;
}

std::int32_t PacketStore::PacketLength(PacketNumber n) const {
    return Contains(n) ? static_cast<std::int32_t>(frames_[n - 1].length) : 0;
}

bool PacketStore::IsReleased(PacketNumber n) const {
    return Contains(n) && (frames_[n - 1].block < firstBlock_ || frames_[n - 1].block == kNoBlock);
}

std::span<const std::uint8_t> PacketStore::PacketData(PacketNumber n) const {
    if (!Contains(n) || IsReleased(n))
        return {};
    const FrameSlot& slot = frames_[n - 1];
    return {blocks_[slot.block - firstBlock_].get() + slot.offset, slot.length};
}

} // namespace velmora
