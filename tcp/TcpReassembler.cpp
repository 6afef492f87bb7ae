#include "tcp/TcpReassembler.h"

#include <algorithm>

namespace velmora {

void TcpReassembler::Start(std::uint32_t sequence) {
    clear();
    started_ = true;
    firstSequence_ = sequence;
    nextSequence_ = sequence;
    delivered_ = 0;
}

void TcpReassembler::clear() {
    budget_.Give(held_);
    held_ = 0;
    ahead_.clear();
}

void TcpReassembler::Track(std::uint32_t sequence, std::size_t length) {
    if (!started_ || length == 0)
        return;
    const auto distance = static_cast<std::int32_t>(sequence - nextSequence_);
    const auto end = static_cast<std::int64_t>(distance) + static_cast<std::int64_t>(length);
    // A frame the capture missed leaves a gap the stream never fills: ahead within the limit counts too.
    if (end > 0 && distance <= static_cast<std::int64_t>(limit_)) {
        nextSequence_ += static_cast<std::uint32_t>(end);
        delivered_ += static_cast<std::uint64_t>(end);
    }
}

bool TcpReassembler::AtNext(std::uint32_t sequence) const {
    const std::uint32_t distance = sequence - nextSequence_;
    return started_ && distance <= 1;
}

bool TcpReassembler::Within(std::uint32_t sequence) const {
    const auto distance = static_cast<std::int64_t>(static_cast<std::int32_t>(sequence - nextSequence_));
    return started_ && distance >= -static_cast<std::int64_t>(std::min<std::uint64_t>(delivered_, INT32_MAX)) &&
           distance <= static_cast<std::int64_t>(limit_);
}

void TcpReassembler::drop(Segments::iterator it) {
    const std::size_t c = cost(it->second.capacity());
    held_ -= c;
    budget_.Give(c);
    ahead_.erase(it);
}

bool TcpReassembler::grow(std::vector<std::uint8_t>& run, std::span<const std::uint8_t> bytes) {
    const std::size_t needed = run.size() + bytes.size();
    if (needed > run.capacity()) {
        const std::size_t capacity = std::max(needed, run.capacity() * 2);
        const std::size_t more = capacity - run.capacity();
        if (held_ + more > limit_ || !budget_.Take(more))
            return false;
        held_ += more;
        run.reserve(capacity);
    }
    run.insert(run.end(), bytes.begin(), bytes.end());
    return true;
}

bool TcpReassembler::keep(std::uint64_t at, std::span<const std::uint8_t> payload) {
    // A segment that continues (or overlaps the end of) a kept run grows it; any other starts a run of
    // its own. Runs are never folded into one another: that would copy a run again at every fill.
    auto it = ahead_.upper_bound(at);
    if (it != ahead_.begin() && std::prev(it)->first + std::prev(it)->second.size() >= at) {
        it = std::prev(it);
        const std::uint64_t end = it->first + it->second.size();
        if (end >= at + payload.size())
            return true; // all of it is kept already
        return grow(it->second, payload.subspan(static_cast<std::size_t>(end - at)));
    }
    if (ahead_.size() >= kMaxHeldSegments)
        return false;
    const std::size_t c = cost(payload.size());
    if (held_ + c > limit_ || !budget_.Take(c))
        return false;
    held_ += c;
    ahead_.emplace_hint(it, at, std::vector<std::uint8_t>(payload.begin(), payload.end()));
    return true;
}

void TcpReassembler::Add(std::uint32_t sequence, std::span<const std::uint8_t> payload, TcpStreamSink& sink,
                         std::uint32_t missing) {
    if (!started_ || (payload.empty() && missing == 0))
        return;
    // Sequence numbers wrap: the distance from the next expected byte is taken modulo 2^32.
    const auto distance = static_cast<std::int32_t>(sequence - nextSequence_);
    if (distance <= 0) {
        // Where the segment ends in the stream, the bytes the frame lacked included.
        const std::int64_t end = static_cast<std::int64_t>(delivered_) + distance +
                                 static_cast<std::int64_t>(payload.size()) + missing;
        const auto repeated = static_cast<std::size_t>(-static_cast<std::int64_t>(distance));
        if (repeated < payload.size()) {
            payload = payload.subspan(repeated);
            sink.Bytes(payload);
            nextSequence_ += static_cast<std::uint32_t>(payload.size());
            delivered_ += payload.size();
        }
        // The frame was cut short: its tail is a gap of known length, settled at once.
        if (missing > 0 && end > static_cast<std::int64_t>(delivered_))
            settleTo(static_cast<std::uint64_t>(end), sink);
    } else if (static_cast<std::size_t>(distance) > limit_) {
        return; // past the window: not this stream's, or never to be reached
    } else if (payload.empty()) {
        return; // nothing captured ahead of a gap: the gap is settled by what comes later
    } else {
        // Ahead of a gap: keep it (a copy) until the gap fills. When it cannot be kept any longer,
        // the gap is given up as lost and the stream goes on from this segment.
        const std::uint64_t at = delivered_ + static_cast<std::uint64_t>(distance);
        if (keep(at, payload))
            return;
        settleTo(at, sink);
        return Add(sequence, payload, sink, missing);
    }
    deliverKept(sink);
}

void TcpReassembler::deliverKept(TcpStreamSink& sink) {
    while (!ahead_.empty() && ahead_.begin()->first <= delivered_) {
        auto node = ahead_.extract(ahead_.begin());
        const std::vector<std::uint8_t>& bytes = node.mapped();
        const std::size_t c = cost(bytes.capacity());
        held_ -= c;
        const std::uint64_t repeated = delivered_ - node.key();
        if (repeated < bytes.size()) {
            const std::span<const std::uint8_t> rest = std::span(bytes).subspan(static_cast<std::size_t>(repeated));
            sink.Bytes(rest);
            nextSequence_ += static_cast<std::uint32_t>(rest.size());
            delivered_ += rest.size();
        }
        budget_.Give(c);
    }
}

void TcpReassembler::settleTo(std::uint64_t to, TcpStreamSink& sink) {
    while (delivered_ < to) {
        deliverKept(sink);
        if (delivered_ >= to)
            break;
        const std::uint64_t holeEnd = ahead_.empty() ? to : std::min(to, ahead_.begin()->first);
        const std::uint64_t n = holeEnd - delivered_;
        nextSequence_ += static_cast<std::uint32_t>(n);
        delivered_ += n;
        lost_ += n;
        sink.Lost(n);
    }
    deliverKept(sink);
}

void TcpReassembler::Acknowledged(std::uint32_t acknowledgement, TcpStreamSink& sink) {
    const auto distance = static_cast<std::int32_t>(acknowledgement - nextSequence_);
    if (!started_ || distance <= 0 || static_cast<std::size_t>(distance) > limit_)
        return;
    settleTo(delivered_ + static_cast<std::uint64_t>(distance), sink);
}

void TcpReassembler::Flush(TcpStreamSink& sink) {
    if (ahead_.empty())
        return;
    const auto last = std::prev(ahead_.end());
    settleTo(last->first + last->second.size(), sink);
}

} // namespace velmora
