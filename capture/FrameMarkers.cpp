#include "capture/FrameMarkers.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {

FrameMarkers FindFrameMarkers(std::span<const std::uint8_t> bytes) {
    FrameMarkers found;
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i colon = _mm_set1_epi8(':'), slash = _mm_set1_epi8('/');
    const __m128i g = _mm_set1_epi8('G'), e = _mm_set1_epi8('E'), t = _mm_set1_epi8('T'), space = _mm_set1_epi8(' ');
    auto load = [&](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
    // 16 positions at a time, loading the three bytes after each too.
    for (; i + 19 <= n; i += 16) {
        const __m128i b0 = load(i);
        // Most blocks hold neither ":" nor "G": one comparison pair rules them out.
        if (_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b0, colon), _mm_cmpeq_epi8(b0, g))) == 0)
            continue;
        const __m128i b1 = load(i + 1), b2 = load(i + 2), b3 = load(i + 3);
        const __m128i scheme =
            _mm_and_si128(_mm_cmpeq_epi8(b0, colon), _mm_and_si128(_mm_cmpeq_epi8(b1, slash), _mm_cmpeq_epi8(b2, slash)));
        const __m128i get = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(b0, g), _mm_cmpeq_epi8(b1, e)),
                                          _mm_and_si128(_mm_cmpeq_epi8(b2, t), _mm_cmpeq_epi8(b3, space)));
        found.scheme |= _mm_movemask_epi8(scheme) != 0;
        found.get |= _mm_movemask_epi8(get) != 0;
        if (found.scheme && found.get)
            return found;
    }
#endif
    for (; i < n; ++i) {
        if (i + 3 <= n && p[i] == ':' && p[i + 1] == '/' && p[i + 2] == '/')
            found.scheme = true;
        if (i + 4 <= n && p[i] == 'G' && p[i + 1] == 'E' && p[i + 2] == 'T' && p[i + 3] == ' ')
            found.get = true;
    }
    return found;
}

} // namespace velmora
