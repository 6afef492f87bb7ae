#pragma once
// SipHash-2-4 under a key drawn at random once per process. Tables indexed by what the network
// sends (endpoints, client randoms, connection ids) hash with it, so that nobody can compute keys
// that share one bucket: with a fixed seed, a few thousand such keys turn every lookup into a walk.

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

std::uint64_t KeyedHash(std::span<const std::uint8_t> bytes);

// For std::unordered_map and the like over fixed-size byte arrays (std::array<std::uint8_t, N>).
struct KeyedBytesHash {
    template <class Bytes> std::size_t operator()(const Bytes& bytes) const {
        return static_cast<std::size_t>(KeyedHash(std::span<const std::uint8_t>(bytes.data(), bytes.size())));
    }
};

} // namespace velmora
