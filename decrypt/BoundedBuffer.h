#pragma once
// Bytes waiting for the rest of a record, message or header block. Every byte it holds is taken
// from a budget; an append that the budget refuses leaves the buffer as it was and fails.

#include "decrypt/ByteBudget.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace velmora {

class BoundedBuffer final {
public:
    explicit BoundedBuffer(ByteBudget& budget) : budget_(&budget) {}
    ~BoundedBuffer() { Clear(); }
    BoundedBuffer(const BoundedBuffer&) = delete;
    BoundedBuffer& operator=(const BoundedBuffer&) = delete;

    bool Append(std::span<const std::uint8_t> bytes) {
        if (bytes.empty())
            return true;
        compact();
        if (!budget_->Take(bytes.size()))
            return false;
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return true;
    }
    // Drops `n` bytes from the front.
    void Consume(std::size_t n) {
        start_ += n < size() ? n : size();
        if (start_ == data_.size())
            Clear();
    }
    void Clear() {
        budget_->Give(data_.size());
        data_.clear();
        start_ = 0;
        if (data_.capacity() > kKeptCapacity)
            data_.shrink_to_fit();
    }
    std::span<const std::uint8_t> Bytes() const { return std::span(data_).subspan(start_); }
    std::size_t size() const { return data_.size() - start_; }
    bool empty() const { return size() == 0; }

private:
    static constexpr std::size_t kKeptCapacity = 32 << 10;

    void compact() {
        if (start_ == 0)
            return;
        budget_->Give(start_);
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }

    ByteBudget* budget_;
    std::vector<std::uint8_t> data_;
    std::size_t start_ = 0;
};

} // namespace velmora
