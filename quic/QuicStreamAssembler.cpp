#include "quic/QuicStreamAssembler.h"

namespace velmora {

bool QuicStreamAssembler::append(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (offset + bytes.size() <= end_)
        return true; // seen already
    const auto fresh = bytes.subspan(static_cast<std::size_t>(end_ - offset));
    if (!ready_.Append(fresh))
        return false;
    end_ += fresh.size();
    return true;
}

bool QuicStreamAssembler::Add(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (stopped_ || bytes.empty())
        return true;
    if (offset > end_) {
        if (offset - end_ > kMaxAhead || pieces_.size() >= kMaxPieces)
            return false;
        auto [it, inserted] = pieces_.try_emplace(offset);
        if (!inserted && it->second.size() >= bytes.size())
            return true;
        if (!budget_.Take(bytes.size()))
            return false;
        budget_.Give(it->second.size());
        it->second.assign(bytes.begin(), bytes.end());
        return true;
    }
    if (!append(offset, bytes))
        return false;
    // Pieces the gap closed up to.
    while (!pieces_.empty() && pieces_.begin()->first <= end_) {
        auto node = pieces_.extract(pieces_.begin());
        const bool ok = append(node.key(), node.mapped());
        budget_.Give(node.mapped().size());
        if (!ok)
            return false;
    }
    return true;
}

void QuicStreamAssembler::dropPieces() {
    for (const auto& [offset, bytes] : pieces_)
        budget_.Give(bytes.size());
    pieces_.clear();
}

void QuicStreamAssembler::Stop() {
    stopped_ = true;
    dropPieces();
    ready_.Clear();
}

} // namespace velmora
