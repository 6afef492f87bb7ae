#include "capture/FrameMarkers.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VELMORA_X86 1
#endif

namespace velmora {
namespace {

#if defined(VELMORA_X86)
// Each routine looks at the positions of whole blocks from 0 while the block and the three bytes
// after it lie within n, and returns where it stopped. A position is looked at closely only when
// its byte and the next one begin a marker (":/" or "GE"): in most blocks of real traffic, text or
// binary, none does.

std::size_t findSse2(const std::uint8_t* p, std::size_t n, FrameMarkers& found) {
    const __m128i colon = _mm_set1_epi8(':'), slash = _mm_set1_epi8('/');
    const __m128i g = _mm_set1_epi8('G'), e = _mm_set1_epi8('E'), t = _mm_set1_epi8('T'), space = _mm_set1_epi8(' ');
    auto load = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
    std::size_t i = 0;
    for (; i + 19 <= n; i += 16) {
        const __m128i b0 = load(i), b1 = load(i + 1);
        const __m128i colonSlash = _mm_and_si128(_mm_cmpeq_epi8(b0, colon), _mm_cmpeq_epi8(b1, slash));
        const __m128i ge = _mm_and_si128(_mm_cmpeq_epi8(b0, g), _mm_cmpeq_epi8(b1, e));
        if (_mm_movemask_epi8(_mm_or_si128(colonSlash, ge)) == 0)
            continue;
        const __m128i b2 = load(i + 2), b3 = load(i + 3);
        found.scheme |= _mm_movemask_epi8(_mm_and_si128(colonSlash, _mm_cmpeq_epi8(b2, slash))) != 0;
        found.get |=
            _mm_movemask_epi8(_mm_and_si128(ge, _mm_and_si128(_mm_cmpeq_epi8(b2, t), _mm_cmpeq_epi8(b3, space)))) != 0;
        if (found.scheme && found.get)
            return n;
    }
    return i;
}

#define VELMORA_LOAD256(at) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + (at)))

__attribute__((target("avx2"))) std::size_t findAvx2(const std::uint8_t* p, std::size_t n, FrameMarkers& found) {
    const __m256i colon = _mm256_set1_epi8(':'), slash = _mm256_set1_epi8('/');
    const __m256i g = _mm256_set1_epi8('G'), e = _mm256_set1_epi8('E');
    const __m256i t = _mm256_set1_epi8('T'), space = _mm256_set1_epi8(' ');
    std::size_t i = 0;
    for (; i + 67 <= n; i += 64) {
        const __m256i a0 = VELMORA_LOAD256(i), a1 = VELMORA_LOAD256(i + 1);
        const __m256i c0 = VELMORA_LOAD256(i + 32), c1 = VELMORA_LOAD256(i + 33);
        const __m256i aColonSlash = _mm256_and_si256(_mm256_cmpeq_epi8(a0, colon), _mm256_cmpeq_epi8(a1, slash));
        const __m256i aGe = _mm256_and_si256(_mm256_cmpeq_epi8(a0, g), _mm256_cmpeq_epi8(a1, e));
        const __m256i cColonSlash = _mm256_and_si256(_mm256_cmpeq_epi8(c0, colon), _mm256_cmpeq_epi8(c1, slash));
        const __m256i cGe = _mm256_and_si256(_mm256_cmpeq_epi8(c0, g), _mm256_cmpeq_epi8(c1, e));
        const __m256i any = _mm256_or_si256(_mm256_or_si256(aColonSlash, aGe), _mm256_or_si256(cColonSlash, cGe));
        if (_mm256_testz_si256(any, any))
            continue;
        for (std::size_t half = 0; half < 64; half += 32) {
            const __m256i colonSlash = half == 0 ? aColonSlash : cColonSlash;
            const __m256i ge = half == 0 ? aGe : cGe;
            const __m256i b2 = VELMORA_LOAD256(i + half + 2), b3 = VELMORA_LOAD256(i + half + 3);
            const __m256i scheme = _mm256_and_si256(colonSlash, _mm256_cmpeq_epi8(b2, slash));
            const __m256i get =
                _mm256_and_si256(ge, _mm256_and_si256(_mm256_cmpeq_epi8(b2, t), _mm256_cmpeq_epi8(b3, space)));
            found.scheme |= !_mm256_testz_si256(scheme, scheme);
            found.get |= !_mm256_testz_si256(get, get);
        }
        if (found.scheme && found.get)
            return n;
    }
    return i;
}

#undef VELMORA_LOAD256

using BlockFinder = std::size_t (*)(const std::uint8_t*, std::size_t, FrameMarkers&);

BlockFinder chooseFinder() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? findAvx2 : findSse2;
}
#endif

} // namespace

FrameMarkers FindFrameMarkers(std::span<const std::uint8_t> bytes) {
    FrameMarkers found;
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
#if defined(VELMORA_X86)
    static const BlockFinder findBlocks = chooseFinder();
    const std::size_t done = findBlocks(p, n, found);
    if (done >= n)
        return found;
    // The rest (every small frame is all rest) goes through the same blocks from a copy padded
    // with zero bytes, which belong to no marker.
    std::array<std::uint8_t, 2 * 64 + 32> padded{};
    std::memcpy(padded.data(), p + done, n - done);
    findBlocks(padded.data(), padded.size(), found);
#else
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 3 <= n && p[i] == ':' && p[i + 1] == '/' && p[i + 2] == '/')
            found.scheme = true;
        if (i + 4 <= n && p[i] == 'G' && p[i + 1] == 'E' && p[i + 2] == 'T' && p[i + 3] == ' ')
            found.get = true;
    }
#endif
    return found;
}

} // namespace velmora
