#pragma once
// One bound over every kind of connection followed (decrypted TLS, QUIC, clear-text answers, the TLS
// probe's): the bytes they hold and how many there are. Each kind draws from its own ByteBudget here,
// which draws from the common total. When the total is full, a kind still within its floor (a quarter) makes
// room by dropping the idlest connections of kinds above theirs; a kind above its floor can only
// make room among its own. So a flood of one kind (clear-text GETs need no keys) cannot evict the
// connections of another that stays within its floor.

#include "tcp/ByteBudget.h"

#include <array>
#include <cstddef>
#include <functional>
#include <memory>

namespace velmora {

class ConnectionBudget final {
public:
    enum class Kind { Tls, Quic, ClearText, Probe };
    static constexpr std::size_t kKinds = 4;
    static constexpr std::size_t kFloorShare = 4; // each kind keeps 1/kFloorShare of both bounds

    // Drops the kind's idlest connections until `bytes` and `connections` are freed, or none is left
    // that may go.
    using Reclaim = std::function<void(std::size_t bytes, std::size_t connections)>;

    ConnectionBudget(std::size_t totalBytes, std::size_t connections);
    ConnectionBudget(const ConnectionBudget&) = delete;
    ConnectionBudget& operator=(const ConnectionBudget&) = delete;

    // What a kind's connections draw from: their bytes, and one unit a connection.
    ByteBudget& Bytes(Kind kind) { return *shares_[index(kind)].bytes; }
    ByteBudget& Connections(Kind kind) { return *shares_[index(kind)].connections; }

    // How `owner`, the table of a kind, gives back room. `forItself`: it may also be asked when it
    // is its own connection that wants bytes (it then spares the connections in use).
    void SetReclaim(Kind kind, const void* owner, Reclaim reclaim, bool forItself);
    void ClearReclaim(Kind kind, const void* owner);

    std::size_t UsedBytes() const { return bytes_.Used(); }
    std::size_t UsedConnections() const { return connections_.Used(); }
    std::size_t TotalBytes() const { return bytes_.Total(); }
    std::size_t TotalConnections() const { return connections_.Total(); }

private:
    struct Share {
        std::unique_ptr<ByteBudget> bytes, connections;
        Reclaim reclaim;
        const void* owner = nullptr;
        bool forItself = false;
    };
    static std::size_t index(Kind kind) { return static_cast<std::size_t>(kind); }
    // The total of bytes (or of connections) has less free than `kind` wants.
    void makeRoom(std::size_t kind, bool bytes, std::size_t wanted);

    ByteBudget bytes_;
    ByteBudget connections_;
    std::array<Share, kKinds> shares_;
    bool reclaiming_ = false; // a table dropping connections takes no room from the others meanwhile
};

} // namespace velmora
