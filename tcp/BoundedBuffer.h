#pragma once
// Bytes waiting for the rest of a record, message or header block. The buffer's capacity, not only
// the bytes it holds, is taken from a budget; an append that the budget refuses leaves the buffer
// as it was and fails.

#include "tcp/ByteBudget.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

class BoundedBuffer final {
public:
    explicit BoundedBuffer(ByteBudget& budget) : budget_(&budget) {}
    ~BoundedBuffer() {
        data_.clear();
        data_.shrink_to_fit();
        budget_->Give(charged_);
    }
    BoundedBuffer(const BoundedBuffer&) = delete;
    BoundedBuffer& operator=(const BoundedBuffer&) = delete;

    bool Append(std::span<const std::uint8_t> bytes) {
        if (bytes.empty())
            return true;
        compact();
        const std::size_t needed = data_.size() + bytes.size();
        if (needed > data_.capacity()) {
            // Grown by half again where the budget allows, else to what is needed.
            std::size_t capacity = std::max(needed, data_.capacity() + data_.capacity() / 2);
            if (!budget_->Take(capacity - charged_)) {
                capacity = needed;
                if (!budget_->Take(capacity - charged_))
                    return false;
            }
            data_.reserve(capacity);
            charged_ = capacity;
            settle();
        }
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return true;
    }
    // Drops `n` bytes from the front.
    void Consume(std::size_t n) {
        start_ += n < size() ? n : size();
        if (start_ == data_.size())
            Clear();
    }
    // Empties the buffer; a small capacity stays (and stays counted) for the next record.
    void Clear() {
        data_.clear();
        start_ = 0;
        if (data_.capacity() > kKeptCapacity) {
            data_.shrink_to_fit();
            settle();
        }
    }
    // Empties the buffer and gives all of its memory back: it will not be needed again.
    void Release() {
        Clear();
        data_.shrink_to_fit();
        settle();
    }
    std::span<const std::uint8_t> Bytes() const { return std::span(data_).subspan(start_); }
    std::size_t size() const { return data_.size() - start_; }
    bool empty() const { return size() == 0; }
    std::size_t Charged() const { return charged_; }

private:
    static constexpr std::size_t kKeptCapacity = 4 << 10;

    void compact() {
        if (start_ == 0)
            return;
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    // The charge follows the capacity the vector really has.
    void settle() {
        if (data_.capacity() < charged_) {
            budget_->Give(charged_ - data_.capacity());
            charged_ = data_.capacity();
        }
    }

    ByteBudget* budget_;
    std::vector<std::uint8_t> data_;
    std::size_t start_ = 0;
    std::size_t charged_ = 0; // what the budget has given for data_'s capacity
};

} // namespace velmora
