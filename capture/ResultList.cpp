#include "capture/ResultList.h"

#include <algorithm>
#include <functional>

namespace velmora {

void ResultList::AddCaptureRow(ResultRow row) {
    rows_.push_back(std::move(row));
    ++resultCount_;
    syncIndex();
}

void ResultList::AddSearchRow(ResultRow row) {
    rows_.push_back(std::move(row));
    syncIndex();
}

void ResultList::DeleteRow(std::size_t index) {
    if (index >= rows_.size())
        return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    --resultCount_;
    // The rows after it moved up: the index is built again (deleting is the user's act, one row at a time).
    clearIndex();
    syncIndex();
}

void ResultList::Clear() {
    rows_.clear();
    clearIndex();
    resultCount_ = 0;
}

void ResultList::RemoveAllRows() {
    rows_.clear();
    clearIndex();
}

std::uint64_t ResultList::hashOf(std::u16string_view address) {
    return std::hash<std::u16string_view>{}(address);
}

bool ResultList::IsDuplicate(std::u16string_view address) const {
    if (indexedRows_ == 0)
        return false;
    const std::uint64_t hash = hashOf(address);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].row != kFree; i = (i + 1) & mask) {
        if (slots_[i].hash == static_cast<std::uint32_t>(hash >> 32) && rows_[slots_[i].row].address == address)
            return true;
    }
    return false;
}

void ResultList::index(std::size_t row) {
    if ((indexedRows_ + 1) * 2 > slots_.size()) {
        // Grow, moving the entries by their stored hash bits: the low bits that place them are
        // not stored, so they are hashed again.
        std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2), Slot{0, kFree});
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.row == kFree)
                continue;
            std::size_t i = hashOf(rows_[slot.row].address) & mask;
            while (slots_[i].row != kFree)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }
    const std::uint64_t hash = hashOf(rows_[row].address);
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].row != kFree)
        i = (i + 1) & mask;
    slots_[i] = Slot{static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(row)};
    ++indexedRows_;
}

void ResultList::clearIndex() {
    std::fill(slots_.begin(), slots_.end(), Slot{0, kFree});
    indexedRows_ = 0;
}

void ResultList::syncIndex() {
    const auto target = static_cast<std::size_t>(std::clamp<std::int64_t>(resultCount_, 0, std::int64_t(rows_.size())));
    if (target < indexedRows_)
        clearIndex();
    while (indexedRows_ < target)
        index(indexedRows_);
}

} // namespace velmora
