#pragma once
// Where a frame's characters stand in its PacketToTextCn text, worked out from the bytes alone.
//
// The text has one character per byte except that two adjacent bytes 0x81..0xFF, paired from the
// left, become a six-character group "%XX%YY". The address search looks for ASCII patterns and
// for "·", none of which can occur inside such a group, so it can search the bytes and map
// positions through this layout instead of rendering the whole frame.
//
// A "unit" is one byte or one high-byte pair; a byte index is a unit boundary when no pair spans
// it. Every ASCII byte starts a unit.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora {

class FrameLayout {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // Finds the pairs of `bytes`, which must stay alive while the layout is used.
    void Assign(std::span<const std::uint8_t> bytes);

    // The length of the frame text.
    std::size_t TextLength() const { return bytes_.size() + 4 * pairStarts_.size(); }
    // The 0-based text index of the unit that starts at byte `boundary` (TextLength() for the end).
    std::size_t TextIndex(std::size_t boundary) const;
    // The first unit boundary whose text index is at least `textIndex`; size() when there is none.
    std::size_t BoundaryAtOrAfterText(std::size_t textIndex) const;
    // Whether byte i renders as "·" on its own: a control byte or a lone high byte.
    bool IsMiddleDot(std::size_t i) const;
    // The first unit at or after boundary `from` that renders as "·", or npos.
    std::size_t NextMiddleDot(std::size_t from) const;

    std::size_t size() const { return bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::vector<std::uint32_t> pairStarts_; // byte index of each pair's first byte, ascending
};

} // namespace velmora
