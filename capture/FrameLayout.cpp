#include "capture/FrameLayout.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora {
namespace {

bool isHigh(std::uint8_t b) {
    return b > 0x80;
}
bool isControl(std::uint8_t b) {
    return b < 0x20;
}

// The first byte at or after i that is above 0x80, or n. Most frames hold none, so 16 bytes are
// ruled out at a time.
std::size_t nextHigh(const std::uint8_t* p, std::size_t n, std::size_t i) {
#if defined(__SSE2__)
    const __m128i euro = _mm_set1_epi8(static_cast<char>(0x80));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v)) &
                              ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, euro)));
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
#endif
    while (i < n && !isHigh(p[i]))
        ++i;
    return i;
}

// The first byte at or after i that is not above 0x80, or n: the end of a run of high bytes, which
// in Chinese text is long.
std::size_t nextNotHigh(const std::uint8_t* p, std::size_t n, std::size_t i) {
#if defined(__SSE2__)
    const __m128i euro = _mm_set1_epi8(static_cast<char>(0x80));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v)) &
                              ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, euro)));
        if (high != 0xFFFF)
            return i + static_cast<std::size_t>(__builtin_ctz(~high));
    }
#endif
    while (i < n && isHigh(p[i]))
        ++i;
    return i;
}

// The first byte at or after i that is a control byte or above 0x80, or n.
std::size_t nextControlOrHigh(const std::uint8_t* p, std::size_t n, std::size_t i) {
#if defined(__SSE2__)
    // b - 0x20 lies in 0x00..0x60 exactly for 0x20..0x80; shifted by 0x80 so a signed comparison
    // does the unsigned one.
    const __m128i base = _mm_set1_epi8(0x20), flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(0x60 ^ 0x80));
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i shifted = _mm_xor_si128(_mm_sub_epi8(v, base), flip);
        const int mask = _mm_movemask_epi8(_mm_cmpgt_epi8(shifted, limit));
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (i < n && !isControl(p[i]) && !isHigh(p[i]))
        ++i;
    return i;
}

} // namespace

void FrameLayout::Assign(std::span<const std::uint8_t> bytes) {
    bytes_ = bytes;
    pairStarts_.clear();
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    // Pairs are formed from the left within each run of high bytes; an odd run ends in a lone byte.
    for (std::size_t i = nextHigh(p, n, 0); i < n; i = nextHigh(p, n, i)) {
        const std::size_t end = nextNotHigh(p, n, i);
        for (; i + 1 < end; i += 2)
            pairStarts_.push_back(static_cast<std::uint32_t>(i));
        i = end;
    }
}

std::size_t FrameLayout::TextIndex(std::size_t boundary) const {
    const auto before = std::lower_bound(pairStarts_.begin(), pairStarts_.end(), boundary) - pairStarts_.begin();
    return boundary + 4 * static_cast<std::size_t>(before);
}

std::size_t FrameLayout::BoundaryAtOrAfterText(std::size_t textIndex) const {
    // k = the pairs whose group starts before textIndex; group j starts at text index start + 4j.
    std::size_t low = 0, high = pairStarts_.size();
    while (low < high) {
        const std::size_t mid = (low + high) / 2;
        if (pairStarts_[mid] + 4 * mid < textIndex)
            low = mid + 1;
        else
            high = mid;
    }
    const std::size_t k = low;
    if (k > 0) {
        const std::size_t groupStart = pairStarts_[k - 1] + 4 * (k - 1);
        if (textIndex < groupStart + 6) // inside the group: the next unit is the one after the pair
            return pairStarts_[k - 1] + 2;
    }
    return std::min(textIndex - 4 * k, bytes_.size());
}

bool FrameLayout::IsMiddleDot(std::size_t i) const {
    const std::uint8_t b = bytes_[i];
    if (isControl(b))
        return true;
    if (!isHigh(b))
        return false;
    // A high byte is "·" unless a pair starts at it or just before it.
    const auto after = std::upper_bound(pairStarts_.begin(), pairStarts_.end(), i);
    return after == pairStarts_.begin() || *(after - 1) + 1 < i;
}

std::size_t FrameLayout::NextMiddleDot(std::size_t from) const {
    const std::uint8_t* p = bytes_.data();
    const std::size_t n = bytes_.size();
    auto pair = std::lower_bound(pairStarts_.begin(), pairStarts_.end(), from);
    for (std::size_t i = nextControlOrHigh(p, n, from); i < n; i = nextControlOrHigh(p, n, i)) {
        if (isControl(p[i]))
            return i;
        while (pair != pairStarts_.end() && *pair < i)
            ++pair;
        if (pair == pairStarts_.end() || *pair != i)
            return i; // a lone high byte
        i += 2;
    }
    return npos;
}

} // namespace velmora
