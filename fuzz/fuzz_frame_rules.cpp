// Compares the frame handler with a literal walk of its rules on the same frames: every fast path
// (byte pre-checks, cached searches, the duplicate index, the payload locator's text position,
// the renderer and the decoder) must give exactly the rows the rules give.
// Input as for fuzz_frame_handler: the first byte picks the link type and mode, the rest is split
// into frames at "\xFF\xFE\xFD".
#include "FuzzFrames.h"
#include "LiteralFrameWalk.h"
#include "capture/FrameMarkers.h"
#include "capture/FrameText.h"
#include "capture/MediaAddressExtractor.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace velmora;

namespace {

std::string utf8(std::u16string_view s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
    return out;
}

[[noreturn]] void differ(const char* what, std::u16string_view fast, std::u16string_view literal) {
    std::fprintf(stderr, "%s differs\n  handler: %s\n  literal: %s\n", what, utf8(fast).c_str(), utf8(literal).c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int linkType = fuzz::FuzzLinkType(data[0]);
    ExtractionOptions options;
    options.allPacketsValue = (data[0] >> 4) == 15 ? 1 : (data[0] >> 4) == 13 ? 2 : 0;
    options.minimumLength = (data[0] >> 4) == 14 ? 40 : 0;
    const bool passMarkers = (data[0] & 0x08) != 0;

    static const FileTypeTable table({{u".mp4", u"视频", u""},
                                      {u".rm", u"视频", u""},
                                      {u".rmvb", u"视频", u"禁用"},
                                      {u".flv", u"视频", u"使用"},
                                      {u".JPG", u"图片", u"禁用"},
                                      {u"", u"其它", u""}});
    PacketStore store(2 * PacketStore::kBlockBytes);
    ResultList results;
    MediaAddressExtractor extractor(store, results, table);

    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzz::ForEachFuzzFrame(input, [&](std::span<const std::uint8_t> frame) {
        std::vector<std::u16string> listed;
        for (std::size_t r = 0; r < static_cast<std::size_t>(results.ResultCount()); ++r)
            listed.push_back(results[r].address);
        const std::size_t before = results.size();
        const auto expected = literal::FrameRows(frame, linkType, options, table, listed, store.PacketCount() + 1);

        const auto cut = frame.first(std::min(frame.size(), PacketStore::kMaxFrameBytes));
        const FrameMarkers markers = FindFrameMarkers(cut);
        extractor.vpacket_PacketReceived(frame, linkType, options, passMarkers ? &markers : nullptr);

        if (results.size() - before != expected.size())
            differ("row count", std::u16string(results.size() - before, u'+'), std::u16string(expected.size(), u'+'));
        for (std::size_t r = 0; r < expected.size(); ++r) {
            const ResultRow& row = results[before + r];
            if (row.address != expected[r].address)
                differ("address", row.address, expected[r].address);
            if (row.type != expected[r].type)
                differ("type", row.type, expected[r].type);
            if (row.packet != expected[r].packet)
                differ("packet", u"", u"");
        }
        // A row in the middle goes, so later duplicate tests see a list with a gap.
        if (results.size() > 2 && frame.size() % 5 == 0)
            results.DeleteRow(results.size() / 2);
    });

    // The renderer and the decoder on their own, on the input as bytes and as text.
    const std::span all(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    const std::u16string rendered = PacketToTextCn(all);
    if (rendered != literal::PacketToTextCn(all))
        differ("PacketToTextCn", rendered, literal::PacketToTextCn(all));
    std::u16string raw;
    for (unsigned char c : input)
        raw.push_back(c);
    for (const std::u16string& text : {raw, rendered})
        if (DecodeCnEscapes(text) != literal::DecodeCnEscapes(text))
            differ("DecodeCnEscapes", DecodeCnEscapes(text), literal::DecodeCnEscapes(text));
    return 0;
}
