#pragma once
// Bytes that may be kept: each connection has its own budget, drawn from one shared by all
// connections, so a connection that cannot take what it needs gives up rather than pushing the
// process past its bound. What is taken is what memory really holds: buffers by their capacity,
// kept segments and records with their nodes, not the payload alone.
//
// A budget may have a reclaimer: when it would refuse (it, or the budget it draws from, lacks the
// room), it first asks the reclaimer to make room (the connection table drops its idlest holders),
// so that a few connections holding much cannot starve every newcomer.

#include <algorithm>
#include <cstddef>
#include <functional>

namespace velmora {

class ByteBudget final {
public:
    using Reclaim = std::function<void(std::size_t bytesWanted)>;

    explicit ByteBudget(std::size_t total, ByteBudget* shared = nullptr) : total_(total), shared_(shared) {}
    ~ByteBudget() {
        if (shared_)
            shared_->Give(used_);
    }
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    bool Take(std::size_t bytes) {
        if (reclaim_ && !reclaiming_ && bytes > Room()) {
            reclaiming_ = true;
            reclaim_(bytes - Room());
            reclaiming_ = false;
        }
        if (bytes > Free() || (shared_ && !shared_->Take(bytes)))
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
    std::size_t Free() const { return used_ < total_ ? total_ - used_ : 0; }
    // What may still be taken: the free bytes here, within those of the budgets drawn from.
    std::size_t Room() const { return shared_ ? std::min(Free(), shared_->Room()) : Free(); }
    // A new bound; what is already taken stays taken.
    void SetTotal(std::size_t total) { total_ = total; }
    void SetReclaim(Reclaim reclaim) { reclaim_ = std::move(reclaim); }

private:
    std::size_t total_;
    ByteBudget* shared_;
    std::size_t used_ = 0;
    Reclaim reclaim_;
    bool reclaiming_ = false;
};

} // namespace velmora
