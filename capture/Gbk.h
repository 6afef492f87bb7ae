#pragma once
// Code page 936 (GBK), the encoding of the program's texts, of setting.ini and of saved lists.
// The tables come from the C library's iconv, built once on first use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::gbk {

// Character of a single byte 0x00..0x80; 0x80 is the euro sign, as in code page 936.
char16_t SingleByte(std::uint8_t byte);

// Character of a double-byte pair, or 0 when code page 936 does not map the pair.
char16_t Pair(std::uint8_t lead, std::uint8_t trail);

// Whole-text conversions. Decode replaces bytes it cannot map by U+FFFD and reports that through
// `clean`; Encode gives nothing when a character has no GBK form.
std::u16string Decode(std::string_view bytes, bool* clean = nullptr);
std::optional<std::string> Encode(std::u16string_view text);

} // namespace velmora::gbk

namespace velmora::utf8 {

bool IsValid(std::string_view bytes);
// Malformed sequences become U+FFFD. Characters outside the Basic Multilingual Plane become
// surrogate pairs, so the text round-trips.
std::u16string ToU16(std::string_view bytes);
std::string FromU16(std::u16string_view text);

} // namespace velmora::utf8
