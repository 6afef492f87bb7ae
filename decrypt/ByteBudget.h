#pragma once
// Bytes that the followed connections may keep in all, shared by them: a connection that cannot
// take what it needs gives up rather than pushing the process past its bound.

#include <cstddef>

namespace velmora {

class ByteBudget final {
public:
    explicit ByteBudget(std::size_t total) : total_(total) {}
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    bool Take(std::size_t bytes) {
        if (bytes > total_ - used_)
            return false;
        used_ += bytes;
        return true;
    }
    void Give(std::size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
    std::size_t Used() const { return used_; }
    std::size_t Total() const { return total_; }

private:
    std::size_t total_;
    std::size_t used_ = 0;
};

} // namespace velmora
