#pragma once
// Bytes that may be kept: each connection has its own budget, drawn from one shared by all
// connections, so a connection that cannot take what it needs gives up rather than pushing the
// process past its bound.

#include <cstddef>

namespace velmora {

class ByteBudget final {
public:
    explicit ByteBudget(std::size_t total, ByteBudget* shared = nullptr) : total_(total), shared_(shared) {}
    ~ByteBudget() {
        if (shared_)
            shared_->Give(used_);
    }
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    bool Take(std::size_t bytes) {
        if (bytes > total_ - used_ || (shared_ && !shared_->Take(bytes)))
            return false;
        used_ += bytes;
        return true;
    }
    void Give(std::size_t bytes) {
        if (bytes > used_)
            bytes = used_;
        used_ -= bytes;
        if (shared_)
            shared_->Give(bytes);
    }
    std::size_t Used() const { return used_; }
    std::size_t Total() const { return total_; }

private:
    std::size_t total_;
    ByteBudget* shared_;
    std::size_t used_ = 0;
};

} // namespace velmora
