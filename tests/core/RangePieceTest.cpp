// A file fetched in pieces with its range in the query string (as web players fetch video and audio):
// one row, the file's, without the parameters that change from piece to piece, sized by clen or at
// least by the largest end seen.
#include "capture/FileTypeTable.h"
#include "capture/Gbk.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/RangePiece.h"

#include <gtest/gtest.h>

using namespace velmora;

namespace {

HttpResponseHead answer(std::string type, std::uint64_t length, PacketNumber packet) {
    HttpResponseHead head;
    head.status = 200;
    head.contentType = std::move(type);
    head.contentLength = length;
    head.packet = packet;
    return head;
}

} // namespace

TEST(RangePieces, PiecesOfOneFileAreOneRowSizedByClenOrTheLargestEnd) {
    PacketStore store(0);
    ResultList results;
    FileTypeTable table;
    MediaAddressExtractor extractor(store, results, table);
    const std::u16string video = u"https://rr3.example/videoplayback?expire=1&itag=137&mime=video%2Fmp4&clen=9000000";
    const std::u16string audio = u"https://rr3.example/videoplayback?expire=1&itag=140&mime=audio%2Fmp4";
    std::uint64_t start = 0;
    for (int n = 1; n <= 4; ++n, start += 1000000) {
        const std::u16string range = u"&range=" + utf8::ToU16(std::to_string(start)) + u"-" +
                                     utf8::ToU16(std::to_string(start + 999999)) + u"&rn=" +
                                     utf8::ToU16(std::to_string(n)) + u"&rbuf=" + utf8::ToU16(std::to_string(n * 7));
        extractor.ListAnsweredRequest(video + range, answer("video/mp4", 1000000, 10 * n), true);
        extractor.ListAnsweredRequest(audio + range, answer("audio/mp4", 1000000, 10 * n + 1), true);
    }
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].address, video);
    EXPECT_EQ(results[0].type, u"视频");
    EXPECT_EQ(results[0].size, 9000000u);
    EXPECT_FALSE(results[0].sizeAtLeast);
    EXPECT_EQ(results[0].packet, 10u); // the first piece's answer
    EXPECT_EQ(results[1].address, audio);
    EXPECT_EQ(results[1].type, u"音频");
    EXPECT_EQ(results[1].size, 4000000u); // no clen: at least the largest end
    EXPECT_TRUE(results[1].sizeAtLeast);

    // A piece seen out of order does not shrink what is known; "bytes=" names a range as "range=" does.
    extractor.ListAnsweredRequest(audio + u"&range=0-99&rn=9", answer("audio/mp4", 100, 90), true);
    EXPECT_EQ(results[1].size, 4000000u);
    const auto bytes = ReadRangePiece(u"http://cdn.example/a.mp4?bytes=100-199&token=x");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->address, u"http://cdn.example/a.mp4?token=x");
    EXPECT_EQ(bytes->end, 200u);
    // Not a range: left alone.
    for (const char16_t* other : {u"http://cdn.example/v?range=abc", u"http://cdn.example/v?rn=1", u"http://cdn.example/v",
                                  u"http://cdn.example/v?range=9-1"})
        EXPECT_FALSE(ReadRangePiece(other)) << utf8::FromU16(other);
}
