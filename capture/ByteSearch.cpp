#include "capture/ByteSearch.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

std::size_t FindBytes(std::string_view haystack, std::size_t from, std::string_view needle) {
    const std::size_t n = haystack.size(), m = needle.size();
    if (m == 0 || from > n || n - from < m)
        return std::string_view::npos;
    const char* h = haystack.data();
    if (m == 1) {
        const void* at = std::memchr(h + from, needle[0], n - from);
        return at ? static_cast<std::size_t>(static_cast<const char*>(at) - h) : std::string_view::npos;
    }
    const std::size_t lastStart = n - m;
    // The first two bytes are known to match; the rest is a few bytes, compared in place.
    auto matchesAt = [&](std::size_t i) {
        for (std::size_t k = 2; k < m; ++k)
            if (h[i + k] != needle[k])
                return false;
        return true;
    };
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(needle[0]), second = _mm_set1_epi8(needle[1]);
    // Positions i..i+15 whose two bytes lie within the haystack.
    for (; i + 16 <= lastStart + 1; i += 16) {
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + 1));
        auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(b0, first), _mm_cmpeq_epi8(b1, second))));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (matchesAt(at))
                return at;
            mask &= mask - 1;
        }
    }
#endif
    for (; i <= lastStart; ++i) {
        if (h[i] == needle[0] && h[i + 1] == needle[1] && matchesAt(i))
            return i;
    }
    return std::string_view::npos;
}

} // namespace velmora
