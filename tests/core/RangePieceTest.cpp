// A file fetched in pieces with its range in the query string (as web players fetch video and audio):
// one row, the file's, without the parameters that change from piece to piece, sized by clen or at
// least by the largest end seen.
#include "capture/FileTypeTable.h"
#include "capture/Gbk.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/RangePiece.h"

#include "PlayedCapture.h"

#include <gtest/gtest.h>

#include <map>

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

// Headless Chromium over HTTP/2 running a page that fetches files as web players do
// (tests/streams/pieces.html.in): a video .mp4 and an audio .m4a in pieces by "Range: bytes=A-B" (206),
// then video itag 137 (clen in its addresses) and audio itag 140 (no clen) in pieces named by the query's
// range (200). Each file is one row: sized by Content-Range's whole, by clen, or at least by the largest
// end when nothing says the whole; nginx's log says how many bytes each file has.
TEST(RangePieces, ChromiumsPiecesOverHttp2AreOneRowPerFile) {
    const test::PlayedCapture played("stream_h2_chromium_pieces");
    std::map<std::string, std::uint64_t> servedBytes; // by the file's address
    std::map<std::string, std::uint32_t> servedPieces;
    for (const test::Served& served : test::servedOf("stream_h2_chromium_pieces")) {
        const auto piece = ReadRangePiece(utf8::ToU16(served.path));
        const std::string file = piece ? utf8::FromU16(piece->address) : served.path;
        servedBytes[file] += served.bytes;
        servedPieces[file] += 1;
    }
    const auto fileWith = [&](const std::string& part) {
        for (const auto& [path, bytes] : servedBytes)
            if (path.find(part) != std::string::npos)
                return path;
        ADD_FAILURE() << part;
        return std::string();
    };
    const std::string origin = "https://media.velmora.test:8443";
    struct File {
        std::string path;
        const char* type;
        bool atLeast;
    };
    const std::vector<File> files = {
        {"/pieces/video.mp4", "视频", false},
        {"/pieces/audio.m4a", "音频", false},
        {fileWith("&itag=137&"), "视频", false},
        {fileWith("&itag=140&"), "音频", true},
    };
    const ResultList& rows = played.engine.Results();
    for (const File& file : files) {
        SCOPED_TRACE(file.path);
        const auto row = rows.FindCaptureRow(utf8::ToU16(origin + file.path));
        ASSERT_TRUE(row);
        EXPECT_EQ(utf8::FromU16(rows[*row].type), file.type);
        EXPECT_EQ(rows[*row].size, servedBytes.at(file.path)); // every piece was fetched: the whole
        EXPECT_EQ(rows[*row].sizeAtLeast, file.atLeast);
        EXPECT_EQ(rows[*row].pieces, servedPieces.at(file.path));
    }
    EXPECT_NE(files[2].path.find("&clen=" + std::to_string(servedBytes.at(files[2].path)) + "&"), std::string::npos);
    EXPECT_EQ(files[3].path.find("clen="), std::string::npos);
    // Nothing else of them: no piece is a row of its own.
    EXPECT_EQ(rows.size(), files.size() + 1); // and the progressive file
    for (const ResultRow& row : rows.Rows())
        EXPECT_EQ(utf8::FromU16(row.address).find("range="), std::string::npos) << utf8::FromU16(row.address);
}

// The same page's progressive .mp4, video and audio in one file fetched whole in one answer: one row with
// the answer's size.
TEST(RangePieces, AFileFetchedWholeIsOneRowWithItsSize) {
    const test::PlayedCapture played("stream_h2_chromium_pieces");
    std::uint64_t served = 0;
    for (const test::Served& s : test::servedOf("stream_h2_chromium_pieces"))
        if (s.path == "/media/progressive.mp4")
            served += s.bytes;
    std::size_t listed = 0;
    for (const ResultRow& row : played.engine.Results().Rows())
        if (row.address == u"https://media.velmora.test:8443/media/progressive.mp4") {
            ++listed;
            EXPECT_EQ(row.type, u"视频");
            EXPECT_EQ(row.size, served);
            EXPECT_FALSE(row.sizeAtLeast);
            EXPECT_EQ(row.pieces, 0u); // fetched whole
        }
    EXPECT_EQ(listed, 1u);
}
