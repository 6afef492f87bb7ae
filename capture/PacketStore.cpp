#include "capture/PacketStore.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

// A new block is about to be written from end to end: fault its pages in with one call rather than
// one trap per page, which is most of the cost of a first capture that keeps every frame.
void PrefaultBlock([[maybe_unused]] std::uint8_t* block) {
#ifdef MADV_POPULATE_WRITE
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + velmora::PacketStore::kBlockBytes) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin,
                MADV_POPULATE_WRITE); // older kernels: pages fault as before
#endif
}

} // namespace

namespace velmora {

PacketStore::PacketStore(std::size_t memoryBudget) : memoryBudget_(memoryBudget) {}

PacketNumber PacketStore::Store(std::span<const std::uint8_t> frame) {
    const std::size_t length = std::min(frame.size(), kMaxFrameBytes);
    ++count_;
    currentLength_ = static_cast<std::int32_t>(length);
    if (memoryBudget_ == 0)
        return count_;
    if (blocks_.empty() || blocks_.back().ends.size() >= kMaxFramesPerBlock ||
        (blocks_.back().ends.empty() ? 0 : blocks_.back().ends.back()) + length > kBlockBytes)
        openBlock();
    Block& block = blocks_.back();
    const std::uint32_t at = block.ends.empty() ? 0 : block.ends.back();
    if (length > 0)
        std::memcpy(block.bytes.get() + at, frame.data(), length);
    const std::size_t capacity = block.ends.capacity();
    block.ends.push_back(at + static_cast<std::uint32_t>(length));
    if (block.ends.capacity() != capacity) {
        recordBytes_ += (block.ends.capacity() - capacity) * sizeof(std::uint32_t);
        releaseOverBudget();
    }
    return count_;
}

void PacketStore::openBlock() {
    // Make room before taking the new block, so that a full budget reuses the oldest block's bytes
    // instead of holding one block more than it allows.
    const bool freeBlock = spareBlock_ || !earlierRunBlocks_.empty();
    while (!blocks_.empty() && HeldBytes() + (freeBlock ? 0 : kBlockBytes) > memoryBudget_)
        releaseOldest();
    Block block;
    if (spareBlock_) {
        block.bytes = std::move(spareBlock_);
    } else if (!earlierRunBlocks_.empty()) {
        block.bytes = std::move(earlierRunBlocks_.back());
        earlierRunBlocks_.pop_back();
    } else {
        block.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBytes);
        PrefaultBlock(block.bytes.get());
    }
    block.first = count_;
    blocks_.push_back(std::move(block));
}

void PacketStore::releaseOldest() {
    Block& oldest = blocks_.front();
    recordBytes_ -= oldest.ends.capacity() * sizeof(std::uint32_t);
    if (!spareBlock_)
        spareBlock_ = std::move(oldest.bytes);
    blocks_.pop_front();
}

void PacketStore::releaseOverBudget() {
    // The block being filled is never released, so the current frame can always be read.
    while (HeldBytes() > memoryBudget_) {
        if (!earlierRunBlocks_.empty())
            earlierRunBlocks_.pop_back();
        else if (spareBlock_)
            spareBlock_.reset();
        else if (blocks_.size() > 1)
            releaseOldest();
        else
            return;
    }
}

void PacketStore::SetMemoryBudget(std::size_t memoryBudget) {
    memoryBudget_ = memoryBudget;
    if (memoryBudget_ == 0) {
        blocks_.clear();
        spareBlock_.reset();
        earlierRunBlocks_.clear();
        recordBytes_ = 0;
        return;
    }
    releaseOverBudget();
}

void PacketStore::Reset() {
    count_ = 0;
    currentLength_ = 0;
    // The run's blocks take the next run's frames: a restart does not give the memory back only to
    // fault it in again page by page, which costs more than searching the frames.
    while (!blocks_.empty()) {
        Block& oldest = blocks_.front();
        recordBytes_ -= oldest.ends.capacity() * sizeof(std::uint32_t);
        earlierRunBlocks_.push_back(std::move(oldest.bytes));
        blocks_.pop_front();
    }
    releaseOverBudget();
}

std::size_t PacketStore::HeldBytes() const {
    return (blocks_.size() + (spareBlock_ ? 1 : 0) + earlierRunBlocks_.size()) * kBlockBytes + recordBytes_;
}

const PacketStore::Block* PacketStore::blockOf(PacketNumber n) const {
    if (!Contains(n) || blocks_.empty() || n < blocks_.front().first)
        return nullptr;
    // The last block whose first frame is at or before n.
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), n,
                                        [](PacketNumber number, const Block& block) { return number < block.first; });
    return &*std::prev(after);
}

bool PacketStore::IsReleased(PacketNumber n) const {
    return Contains(n) && blockOf(n) == nullptr;
}

std::int32_t PacketStore::PacketLength(PacketNumber n) const {
    if (n == count_ && count_ > 0)
        return currentLength_;
    return static_cast<std::int32_t>(PacketData(n).size());
}

std::span<const std::uint8_t> PacketStore::PacketData(PacketNumber n) const {
    const Block* block = blockOf(n);
    if (!block)
        return {};
    const auto i = static_cast<std::size_t>(n - block->first);
    const std::uint32_t start = i == 0 ? 0 : block->ends[i - 1];
    return {block->bytes.get() + start, block->ends[i] - start};
}

} // namespace velmora
