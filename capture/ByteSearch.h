#pragma once
// Finding short ASCII patterns in frame bytes. The address search looks for a handful of patterns
// of 1 to 10 bytes ("://", "/1.", "GET ", "Host: ") whose first byte is common in web text (":" and
// "/" stand in every URL), so testing each of its occurrences costs more than testing the first two
// bytes of sixteen positions at once.

#include <cstddef>
#include <string_view>

namespace velmora {

// The first index at or after `from` where `needle` (not empty) starts, or std::string_view::npos.
std::size_t FindBytes(std::string_view haystack, std::size_t from, std::string_view needle);

} // namespace velmora
