#include "capture/ResultList.h"

#include <algorithm>

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
    if (index < indexedRows_) {
        unindex(index);
        --indexedRows_;
    }
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
    --resultCount_;
    syncIndex();
}

void ResultList::Clear() {
    rows_.clear();
    addressCounts_.clear();
    indexedRows_ = 0;
    resultCount_ = 0;
}

void ResultList::RemoveAllRows() {
    rows_.clear();
    addressCounts_.clear();
    indexedRows_ = 0;
}

bool ResultList::IsDuplicate(std::u16string_view address) const {
    return addressCounts_.find(address) != addressCounts_.end();
}

void ResultList::index(std::size_t row) { ++addressCounts_[rows_[row].address]; }

void ResultList::unindex(std::size_t row) {
    auto it = addressCounts_.find(std::u16string_view(rows_[row].address));
    if (it != addressCounts_.end() && --it->second == 0)
        addressCounts_.erase(it);
}

void ResultList::syncIndex() {
    const auto target = static_cast<std::size_t>(std::clamp<std::int64_t>(resultCount_, 0, std::int64_t(rows_.size())));
    while (indexedRows_ < target)
        index(indexedRows_++);
    while (indexedRows_ > target)
        unindex(--indexedRows_);
}

} // namespace velmora
