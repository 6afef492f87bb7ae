#include "decrypt/TcpReassembler.h"

namespace velmora {

void TcpReassembler::Start(std::uint32_t sequence) {
    clear();
    started_ = true;
    nextSequence_ = sequence;
    delivered_ = 0;
}

void TcpReassembler::clear() {
    budget_.Give(held_);
    held_ = 0;
    ahead_.clear();
}

bool TcpReassembler::Add(std::uint32_t sequence, std::span<const std::uint8_t> payload, const Deliver& deliver) {
    if (!started_ || payload.empty())
        return true;
    // Sequence numbers wrap: the distance from the next expected byte is taken modulo 2^32.
    const auto distance = static_cast<std::int32_t>(sequence - nextSequence_);
    if (distance <= 0) {
        const auto repeated = static_cast<std::size_t>(-static_cast<std::int64_t>(distance));
        if (repeated >= payload.size())
            return true; // all of it was delivered before
        payload = payload.subspan(repeated);
        deliver(payload);
        nextSequence_ += static_cast<std::uint32_t>(payload.size());
        delivered_ += payload.size();
    } else {
        // Ahead of a gap: keep it (a copy) until the gap fills.
        if (static_cast<std::size_t>(distance) > limit_ || held_ + payload.size() > limit_ ||
            !budget_.Take(payload.size()))
            return false;
        const std::uint64_t at = delivered_ + static_cast<std::uint64_t>(distance);
        auto [it, inserted] = ahead_.try_emplace(at);
        if (!inserted && it->second.size() >= payload.size()) {
            budget_.Give(payload.size());
            return true;
        }
        held_ -= it->second.size();
        budget_.Give(it->second.size());
        it->second.assign(payload.begin(), payload.end());
        held_ += payload.size();
        return true;
    }
    // Kept segments that the stream has now reached.
    while (!ahead_.empty() && ahead_.begin()->first <= delivered_) {
        auto node = ahead_.extract(ahead_.begin());
        const std::vector<std::uint8_t>& bytes = node.mapped();
        held_ -= bytes.size();
        budget_.Give(bytes.size());
        const std::uint64_t repeated = delivered_ - node.key();
        if (repeated < bytes.size()) {
            const std::span<const std::uint8_t> rest = std::span(bytes).subspan(static_cast<std::size_t>(repeated));
            deliver(rest);
            nextSequence_ += static_cast<std::uint32_t>(rest.size());
            delivered_ += rest.size();
        }
    }
    return true;
}

} // namespace velmora
