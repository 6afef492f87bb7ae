#pragma once
// The two text renderings of a frame and the decoder of percent-escaped Chinese characters.
// A frame text holds one UTF-16 code unit per character (every GBK character is in the Basic
// Multilingual Plane), so positions are plain indexes. Every control byte renders as the middle
// dot U+00B7, which the address search relies on. Decoded text may hold surrogate pairs: a file
// name escaped as UTF-8 can name any character.

#include "capture/PacketStore.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

inline constexpr char16_t kMiddleDot = u'\u00B7';
// What PacketToText shows for a lone byte 0x81..0xFF, which has no single-byte character.
inline constexpr char16_t kNoSingleByteCharacter = u'\uFFFD';

// One character per byte.
std::u16string PacketToText(std::span<const std::uint8_t> frame);
std::u16string PacketToText(const PacketStore& store, PacketNumber n);

// Adjacent bytes 0x81..0xFF become "%XX%YY" (upper-case digits); a lone high byte becomes "·".
std::u16string PacketToTextCn(std::span<const std::uint8_t> frame);
std::u16string PacketToTextCn(const PacketStore& store, PacketNumber n);
// Renders into `out` (cleared first), reusing its capacity.
void PacketToTextCn(std::span<const std::uint8_t> frame, std::u16string& out);

// Decodes percent groups: a run of groups that is valid UTF-8 with a 3- or 4-byte sequence as
// UTF-8, otherwise "%XX%YY" pairs that form a GBK double-byte character; everything else stays.
std::u16string DecodeCnEscapes(std::u16string_view text);

// 0..15 for one hexadecimal digit, 0 for anything else (also for texts of other lengths).
int HexToCed(std::u16string_view hexStr);
// 0..255 for one or two hexadecimal digits, 0 for any other length.
int HexToCed1(std::u16string_view hexStr);

} // namespace velmora
