#pragma once
// The frame handler's rules walked literally: 1-based positions, every search from scratch, no
// byte pre-checks, no caches, its own renderer and decoder. It is slow on purpose; the fuzz target
// compares the real handler with it, so a fast path that changes a row shows up as a difference.

#include "capture/FileTypeTable.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/ResultList.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::literal {

// The rows that one frame adds, in order, each carrying `packet`. `listed` holds the addresses of
// the rows the duplicate test covers (those counted by ResultCount) before this frame.
std::vector<ResultRow> FrameRows(std::span<const std::uint8_t> frame, int linkType, const ExtractionOptions& options,
                                 const FileTypeTable& fileTypes, const std::vector<std::u16string>& listed = {},
                                 PacketNumber packet = 1);

// The renderers and the decoder, as the rules state them.
std::u16string PacketToText(std::span<const std::uint8_t> frame);
std::u16string PacketToTextCn(std::span<const std::uint8_t> frame);
std::u16string DecodeCnEscapes(std::u16string_view text);

} // namespace velmora::literal
