#include "capture/ResultList.h"

#include <algorithm>
#include <bit>
#include <cstring>

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
    // Four independent multiply-rotate lanes over 32 bytes at a time (addresses are long, and
    // every candidate is hashed), then a final mix so that every input bit reaches the low bits
    // that place the entry.
    constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL, kPrime2 = 0xC2B2AE3D27D4EB4FULL;
    auto round = [](std::uint64_t lane, std::uint64_t input) {
        return std::rotl(lane + input * kPrime2, 31) * kPrime1;
    };
    auto word = [](const unsigned char* p) {
        std::uint64_t value;
        std::memcpy(&value, p, sizeof value);
        return value;
    };
    const auto* p = reinterpret_cast<const unsigned char*>(address.data());
    std::size_t length = address.size() * sizeof(char16_t);
    std::uint64_t hash = length * kPrime1;
    if (length >= 32) {
        std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
        for (; length >= 32; p += 32, length -= 32)
            for (int k = 0; k < 4; ++k)
                lanes[k] = round(lanes[k], word(p + 8 * k));
        hash += std::rotl(lanes[0], 1) + std::rotl(lanes[1], 7) + std::rotl(lanes[2], 12) + std::rotl(lanes[3], 18);
    }
    for (; length >= 8; p += 8, length -= 8)
        hash = std::rotl(hash ^ round(0, word(p)), 27) * kPrime1 + kPrime2;
    if (length > 0) { // the last bytes as one word padded with zeros (the length is in already)
        std::uint64_t last = 0;
        std::memcpy(&last, p, length);
        hash = std::rotl(hash ^ round(0, last), 27) * kPrime1 + kPrime2;
    }
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime1;
    return hash ^ (hash >> 32);
}

bool ResultList::IsDuplicate(std::u16string_view address) const {
    return FindCaptureRow(address).has_value();
}

std::optional<std::size_t> ResultList::FindCaptureRow(std::u16string_view address) const {
    if (indexedRows_ == 0)
        return std::nullopt;
    const auto hash = static_cast<std::uint32_t>(hashOf(address));
    // A row is usually added right after the test of its address: remember the hash for it.
    lastTested_.assign(address);
    lastTestedHash_ = hash;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].row != kFree; i = (i + 1) & mask) {
        if (slots_[i].hash == hash && rows_[slots_[i].row].address == address)
            return slots_[i].row;
    }
    return std::nullopt;
}

void ResultList::SetAnswer(std::size_t index, std::string contentType, std::optional<std::uint64_t> size,
                           bool atLeast, bool piece) {
    if (index >= rows_.size())
        return;
    ResultRow& row = rows_[index];
    if (piece && row.pieces < UINT32_MAX)
        ++row.pieces;
    row.contentType = std::move(contentType);
    if (size && atLeast && row.sizeAtLeast && row.size)
        size = std::max(*size, *row.size);
    if (size) {
        row.size = size;
        row.sizeAtLeast = atLeast;
    }
    ++answersSet_;
}

void ResultList::SetNote(std::size_t index, std::u16string note, std::optional<std::uint64_t> size) {
    if (index >= rows_.size())
        return;
    rows_[index].note = std::move(note);
    if (size)
        rows_[index].size = size;
    ++answersSet_;
}

void ResultList::SetPair(std::size_t index, std::u16string partner) {
    if (index >= rows_.size())
        return;
    rows_[index].note = u"配对：" + partner;
    rows_[index].pair = std::move(partner);
    ++answersSet_;
}

void ResultList::place(Slot slot) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].row != kFree)
        i = (i + 1) & mask;
    slots_[i] = slot;
}

void ResultList::index(std::size_t row) {
    if ((indexedRows_ + 1) * 2 > slots_.size()) {
        std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2), Slot{0, kFree});
        old.swap(slots_);
        for (const Slot& slot : old)
            if (slot.row != kFree)
                place(slot);
    }
    const std::u16string& address = rows_[row].address;
    const auto hash = address == lastTested_ ? lastTestedHash_ : static_cast<std::uint32_t>(hashOf(address));
    place(Slot{hash, static_cast<std::uint32_t>(row)});
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
