// Feeds arbitrary frames through the frame handler: the first byte picks the link type and mode,
// the rest is the frame. Several frames per input (split at "\xFF\xFE\xFD") exercise the duplicate index.
#include "FuzzFrames.h"
#include "capture/FrameText.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/RequestHeaders.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const int linkType = fuzz::FuzzLinkType(data[0]);
    ExtractionOptions options;
    options.allPacketsValue = (data[0] >> 4) == 15 ? 1 : 0;
    options.minimumLength = (data[0] >> 4) == 14 ? 40 : 0;

    static const FileTypeTable table({{u".mp4", u"视频", u""},
                                      {u".rm", u"视频", u""},
                                      {u".rmvb", u"视频", u"禁用"},
                                      {u"", u"其它", u""},
                                      {u".jpg", u"图片", u"禁用"}});
    PacketStore store(2 * PacketStore::kBlockBytes);
    ResultList results;
    MediaAddressExtractor extractor(store, results, table);

    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzz::ForEachFuzzFrame(input, [&](std::span<const std::uint8_t> frame) {
        extractor.vpacket_PacketReceived(frame, linkType, options);
    });
    // The decoder on the raw input as text, too.
    std::u16string text(input.begin(), input.end());
    (void)DecodeCnEscapes(text);
    // Each row's request headers, read back as the hand-off to a downloader reads them.
    for (std::size_t i = 0; i < results.size(); ++i)
        (void)FindRequestHeaders(store.PacketData(results[i].packet), results[i].address);
    if (!results.empty())
        results.DeleteRow(results.size() / 2);
    return 0;
}
