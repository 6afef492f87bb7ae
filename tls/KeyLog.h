#pragma once
// The NSS key log file that browsers and curl write when SSLKEYLOGFILE is set: one secret a line,
//     LABEL <client random, 64 hex digits> <secret, hex>
// CLIENT_RANDOM carries a TLS 1.2 master secret; CLIENT_HANDSHAKE_TRAFFIC_SECRET,
// CLIENT_TRAFFIC_SECRET_0 and CLIENT_EARLY_TRAFFIC_SECRET the TLS 1.3 client secrets, and
// SERVER_HANDSHAKE_TRAFFIC_SECRET and SERVER_TRAFFIC_SECRET_0 the server's, whose records are opened
// as far as the answers' heads. Comments ("#"), other labels and damaged lines are skipped.
//
// The file grows while the browser runs. Refresh reads what was appended since the last read,
// keeping a partial last line for the next read, and reads the file again from its start when it
// was truncated or replaced.

#include "tls/HttpsRequestFinder.h"
#include "tcp/KeyedHash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

namespace velmora {

using ClientRandom = std::array<std::uint8_t, 32>;

// One secret of up to 64 bytes (TLS 1.3 secrets are as long as the suite's hash: 32 or 48).
struct TlsSecret {
    std::array<std::uint8_t, 64> bytes{};
    std::uint8_t length = 0;
    bool known() const { return length != 0; }
    std::span<const std::uint8_t> span() const { return {bytes.data(), length}; }
};

struct TlsSecrets {
    TlsSecret master;          // CLIENT_RANDOM (TLS 1.2), 48 bytes
    TlsSecret clientEarly;     // CLIENT_EARLY_TRAFFIC_SECRET
    TlsSecret clientHandshake; // CLIENT_HANDSHAKE_TRAFFIC_SECRET
    TlsSecret clientTraffic;   // CLIENT_TRAFFIC_SECRET_0
    TlsSecret serverHandshake; // SERVER_HANDSHAKE_TRAFFIC_SECRET
    TlsSecret serverTraffic;   // SERVER_TRAFFIC_SECRET_0
};

class KeyLog final {
public:
    static constexpr std::size_t kMaxClientRandoms = 65536; // the oldest are forgotten first
    static constexpr std::size_t kMaxLineBytes = 512;       // longer lines are damaged
    static constexpr std::size_t kReadChunk = 64 << 10;
    static constexpr std::size_t kHeadBytes = 128;

    KeyLogOpen Open(const std::string& path);
    // Reads what was appended since the last read. Returns true when keys were added.
    bool Refresh();

    // Takes bytes as if they had been appended to the file.
    void AddText(std::span<const std::uint8_t> bytes);
    void AddText(std::string_view text) {
        AddText(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }

    const TlsSecrets* Find(std::span<const std::uint8_t, 32> clientRandom) const;
    std::size_t size() const { return secrets_.size(); }
    // Rises whenever keys are added, so a connection waiting for keys knows when to look again.
    std::uint64_t Generation() const { return generation_; }
    std::uint64_t DamagedLines() const { return damagedLines_; }
    // The most client randoms sharing one bucket: what a lookup may have to walk.
    std::size_t LongestChain() const;

private:
    void addLine(std::string_view line);
    KeyLogOpen readAppended();

    std::string path_;
    std::uint64_t offset_ = 0; // bytes of the file read so far
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::string head_;    // the file's first bytes as read: a file rewritten in place no longer starts so
    std::string partial_; // a last line without its line feed yet
    bool skippingLongLine_ = false;
    // Keyed over all 32 bytes: a key log is written by whoever can write the file, and its randoms
    // need not be random.
    std::unordered_map<ClientRandom, TlsSecrets, KeyedBytesHash> secrets_;
    std::deque<ClientRandom> order_; // oldest first
    std::uint64_t generation_ = 0;
    std::uint64_t damagedLines_ = 0;
};

} // namespace velmora
