#include "settings/LeadingNumber.h"

#include <limits>

namespace velmora {
namespace {

template <typename Char> bool IsBlank(Char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

template <typename Char> std::int64_t Parse(std::basic_string_view<Char> text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated as a negative number, whose range is one larger, so the minimum fits exactly.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t value = 0;
    bool saturated = false;
    for (; i < text.size(); ++i) {
        Char c = text[i];
        if (IsBlank(c))
            continue;
        if (c < '0' || c > '9')
            break;
        int digit = static_cast<int>(c - '0');
        if (saturated || value < (kMin + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated)
        return negative ? kMin : std::numeric_limits<std::int64_t>::max();
    if (negative)
        return value;
    return value == kMin ? std::numeric_limits<std::int64_t>::max() : -value;
}

} // namespace

std::int64_t ParseLeadingNumber(std::string_view text) {
    return Parse(text);
}

std::int64_t ParseLeadingNumber(std::u16string_view text) {
    return Parse(text);
}

} // namespace velmora
