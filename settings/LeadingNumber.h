#pragma once
// Numbers typed by users or read from setting.ini, taken the forgiving way the original took them:
// the leading number of the text, 0 when there is none.

#include <cstdint>
#include <string_view>

namespace velmora {

// The whole-number part of the number the text begins with: blanks before and between digits are
// skipped, a sign is allowed, anything from the first other character on (a decimal point included) is
// ignored. "100abc" -> 100, " 12" -> 12, "1 000" -> 1000, "-5" -> -5, "" and "abc" -> 0.
// Saturates at the limits of the type instead of overflowing.
std::int64_t ParseLeadingNumber(std::string_view text);
std::int64_t ParseLeadingNumber(std::u16string_view text);

} // namespace velmora
