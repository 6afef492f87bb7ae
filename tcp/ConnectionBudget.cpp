#include "tcp/ConnectionBudget.h"

#include <algorithm>

namespace velmora {

ConnectionBudget::ConnectionBudget(std::size_t totalBytes, std::size_t connections)
    : bytes_(totalBytes), connections_(connections) {
    for (std::size_t k = 0; k < kKinds; ++k) {
        Share& share = shares_[k];
        share.bytes = std::make_unique<ByteBudget>(totalBytes, &bytes_);
        share.connections = std::make_unique<ByteBudget>(connections, &connections_);
        // Asked for what is missing: what was wanted is that and the room there was.
        share.bytes->SetReclaim([this, k](std::size_t missing) { makeRoom(k, true, missing + shares_[k].bytes->Room()); });
        share.connections->SetReclaim(
            [this, k](std::size_t missing) { makeRoom(k, false, missing + shares_[k].connections->Room()); });
    }
}

void ConnectionBudget::SetReclaim(Kind kind, const void* owner, Reclaim reclaim, bool forItself) {
    Share& share = shares_[index(kind)];
    share.owner = owner;
    share.reclaim = std::move(reclaim);
    share.forItself = forItself;
}

void ConnectionBudget::ClearReclaim(Kind kind, const void* owner) {
    Share& share = shares_[index(kind)];
    if (share.owner != owner)
        return; // a newer table of the kind took its place
    share.owner = nullptr;
    share.reclaim = nullptr;
}

void ConnectionBudget::makeRoom(std::size_t kind, bool bytes, std::size_t wanted) {
    if (reclaiming_)
        return;
    reclaiming_ = true;
    ByteBudget& total = bytes ? bytes_ : connections_;
    auto used = [bytes](const Share& s) { return bytes ? s.bytes->Used() : s.connections->Used(); };
    const std::size_t floor = total.Total() / kFloorShare;
    auto stillMissing = [&] { return wanted > total.Free() ? wanted - total.Free() : 0; };
    if (used(shares_[kind]) + wanted <= floor) {
        // Within its floor: the kinds furthest above theirs give back, never below their floor.
        for (std::size_t round = 0; round < kKinds && stillMissing() > 0; ++round) {
            std::size_t most = kKinds, over = 0;
            for (std::size_t k = 0; k < kKinds; ++k)
                if (k != kind && shares_[k].reclaim && used(shares_[k]) > floor + over)
                    most = k, over = used(shares_[k]) - floor;
            if (most == kKinds)
                break;
            const std::size_t give = std::min(stillMissing(), over);
            shares_[most].reclaim(bytes ? give : 0, bytes ? 0 : give);
        }
    }
    // Above its floor, or the others had nothing to give: its own idlest go, when it allows that.
    if (stillMissing() > 0 && bytes && shares_[kind].forItself && shares_[kind].reclaim)
        shares_[kind].reclaim(stillMissing(), 0);
    reclaiming_ = false;
}

} // namespace velmora
