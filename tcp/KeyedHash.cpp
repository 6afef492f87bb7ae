#include "tcp/KeyedHash.h"

#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <sys/random.h>

namespace velmora {
namespace {

std::array<std::uint64_t, 2> makeKey() {
    std::array<std::uint64_t, 2> key{};
    auto* bytes = reinterpret_cast<std::uint8_t*>(key.data());
    std::size_t have = 0;
    while (have < sizeof key) {
        const ssize_t got = ::getrandom(bytes + have, sizeof key - have, 0);
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    if (have < sizeof key) {
        // No random source (a kernel before 3.17): the clock still keeps the key from being known offline.
        const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        key[0] ^= now * 0x9E3779B97F4A7C15ull;
        key[1] ^= std::bit_cast<std::uint64_t>(&key) ^ now;
    }
    return key;
}

std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

} // namespace

std::uint64_t KeyedHash(std::span<const std::uint8_t> bytes) {
    static const std::array<std::uint64_t, 2> key = makeKey();
    std::uint64_t v0 = 0x736f6d6570736575ull ^ key[0];
    std::uint64_t v1 = 0x646f72616e646f6dull ^ key[1];
    std::uint64_t v2 = 0x6c7967656e657261ull ^ key[0];
    std::uint64_t v3 = 0x7465646279746573ull ^ key[1];
    auto round = [&] {
        v0 += v1, v1 = std::rotl(v1, 13), v1 ^= v0, v0 = std::rotl(v0, 32);
        v2 += v3, v3 = std::rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = std::rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = std::rotl(v1, 17), v1 ^= v2, v2 = std::rotl(v2, 32);
    };
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    const std::uint8_t* end = p + (n & ~std::size_t{7});
    for (; p != end; p += 8) {
        const std::uint64_t m = load64(p);
        v3 ^= m;
        round(), round();
        v0 ^= m;
    }
    std::uint64_t last = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t i = 0; i < (n & 7); ++i)
        last |= std::uint64_t{p[i]} << (8 * i);
    v3 ^= last;
    round(), round();
    v0 ^= last;
    v2 ^= 0xFF;
    round(), round(), round(), round();
    return v0 ^ v1 ^ v2 ^ v3;
}

} // namespace velmora
