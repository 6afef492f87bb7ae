#include "FrameBuilder.h"
#include "capture/FrameMarkers.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/TcpPayload.h"

#include <gtest/gtest.h>

using namespace velmora;
using test::Bytes;
using test::Framing;
using test::TcpFrame;

namespace {

FileTypeTable mediaTable() {
    return FileTypeTable({{u".mp4", u"视频", u""},
                          {u".flv", u"视频", u"使用"},
                          {u".wmv", u"视频", u""},
                          {u".mp3", u"音频", u""},
                          {u".jpg", u"图片", u"禁用"}});
}

struct Harness {
    explicit Harness(FileTypeTable table = mediaTable()) : fileTypes(std::move(table)) {}
    // A payload-only frame: no link layer, so only the rendered text counts.
    void feed(const std::string& bytes, ExtractionOptions options = {}) {
        extractor.vpacket_PacketReceived(Bytes(bytes), -1, options);
    }
    void feedFrame(const std::vector<std::uint8_t>& frame, int linkType) {
        extractor.vpacket_PacketReceived(frame, linkType, {});
    }
    std::vector<std::u16string> addresses() const {
        std::vector<std::u16string> out;
        for (const auto& row : results.Rows())
            out.push_back(row.address);
        return out;
    }
    PacketStore store;
    ResultList results;
    FileTypeTable fileTypes;
    MediaAddressExtractor extractor{store, results, fileTypes};
};

using Addresses = std::vector<std::u16string>;

} // namespace

TEST(SchemeScan, CutsCleansAndClassifiesHttpAddresses) {
    struct Case {
        std::string frame;
        Addresses expected;
    };
    const Case cases[] = {
        {"<a href=\"http://a.example/v/clip.mp4\">", {u"http://a.example/v/clip.mp4"}},
        {"HTTP://A.EXAMPLE/V/CLIP.MP4 and Http://a.example/x.mp4", {}}, // only lower-case prefixes
        {"\r\nhttp://a.example/v/clip.wmv", {u"http://a.example/v/clip.wmv"}}, // runs to the end: keeps its "v"
        {"src='http://a.example/v.d/clip'", {}},          // the last "." is in a directory
        {"http://a.example/a.flv?x=1&y=2;z", {u"http://a.example/a.flv?x=1&y=2"}},
        {"http://a.example/a b.mp4 tail\r\n", {u"http://a.example/a b.mp4"}}, // cut at the space after the "."
        {"http://a.example/a.mp4%20tail\r\n", {u"http://a.example/a.mp4"}},
        {"http://a.example/%D6%D0.mp4\"", {u"http://a.example/中.mp4"}}, // escapes written by the page too
        {"x http://a.example/\xD6\xD0\xCE\xC4.mp4\r\n", {u"http://a.example/中文.mp4"}},
        {"x http://a.example/\xE4\xB8\xAD\xE6\x96\x87.mp4\r\n", {u"http://a.example/中文.mp4"}}, // raw UTF-8
        {"http://a.example/%E4%B8%AD%E6%96%87.mp4\"", {u"http://a.example/中文.mp4"}},
        {"http://a.example/pic.JPG\" http://a.example/song.MP3\"", {u"http://a.example/song.MP3"}},
        {"http://a.example/a.mp4\" 'http://a.example/b.flv' <http://a.example/a.mp4>",
         {u"http://a.example/a.mp4", u"http://a.example/b.flv"}},
        {"http://a.b/.mp4\"", {u"http://a.b/.mp4"}},
        {"http://a/.mp4\"", {u"http://a/.mp4"}},
        {"http://x.mp4\"", {u"http://x.mp4"}},
        {"http://a.example/page.html\"", {}},           // not in the table
    };
    for (const auto& c : cases) {
        Harness h;
        h.feed(c.frame);
        EXPECT_EQ(h.addresses(), c.expected) << c.frame;
    }
}

TEST(SchemeScan, ListsStreamsAsVideoWhateverTheTable) {
    Harness h{FileTypeTable()};
    h.feed("DESCRIBE rtsp://cam.example/live/ch1 RTSP/1.0\r\nCSeq: 2\r\n");
    h.feed("rtsp://cam.example/live/streamid=0 RTSP/1.0\r\n");
    h.feed("\nrtsp://cam.example\r\n");                              // host but no path
    h.feed("<ref href=\"mms://media.example/show\"/><ref href=\"mmst://media.example/show.asf\"/>");
    h.feed("rtsp://cam.example/a b c\r\n");                          // stream cut at the space
    EXPECT_EQ(h.addresses(), (Addresses{u"rtsp://cam.example/live/ch1", u"rtsp://cam.example/live",
                                        u"mms://media.example/show", u"mmst://media.example/show.asf",
                                        u"rtsp://cam.example/a"}));
    for (const auto& row : h.results.Rows())
        EXPECT_EQ(row.type, u"视频");
}

TEST(SchemeScan, FirstMatchingRowDecides) {
    const std::string frame = "\"http://a.example/movie.rmvb\"";
    Harness rmFirst{FileTypeTable({{u".rm", u"视频", u""}, {u".rmvb", u"其它", u"禁用"}})};
    rmFirst.feed(frame);
    ASSERT_EQ(rmFirst.results.size(), 1u);
    EXPECT_EQ(rmFirst.results[0].type, u"视频");

    Harness rmvbFirst{FileTypeTable({{u".rmvb", u"其它", u"禁用"}, {u".rm", u"视频", u""}})};
    rmvbFirst.feed(frame);
    EXPECT_TRUE(rmvbFirst.results.empty());

    Harness emptyExtension{FileTypeTable({{u"", u"其它", u""}})};
    emptyExtension.feed("\"http://ab/x.\""); // cleaning strips the only "." of the address
    EXPECT_EQ(emptyExtension.addresses(), (Addresses{u"http://ab/x"}));
}

TEST(RequestLineScan, JoinsTargetsToTheirHost) {
    Harness h;
    h.feed("\r\nGET /v/a.flv HTTP/1.1\r\nHost: media.example\r\nAccept: */*\r\n\r\n");
    h.feed("\r\nGET /v/b.mp4 HTTP/1.1\r\nUser-Agent: x\r\n\r\n");        // no Host: the path alone
    h.feed("\r\nGET /%D6%D0%CE%C4.mp3 HTTP/1.1\r\nHost: m.example\r\n"); // escaped Chinese is decoded
    h.feed("\r\nGET /index.html HTTP/1.1\r\nHost: m.example\r\n");
    h.feed("\r\nGET /v/cut.mp4");                                       // target cut at the frame's end
    h.feed("\r\nGET /v/c.mp4 HTTP/1.1\r\nHost: cut.example");           // Host line cut off
    EXPECT_EQ(h.addresses(), (Addresses{u"http://media.example/v/a.flv", u"/v/b.mp4", u"http://m.example/中文.mp3"}));
}

// Both scans refuse candidates shorter than 8 characters, counted before decoding. In the scheme scan
// the check never decides alone: a candidate that passes its other rules has at least 9 characters
// ("mms://a/b"), so only the request-line scan shows it.
TEST(RequestLineScan, NeedsATargetOfEightCharactersBeforeDecoding) {
    Harness h;
    h.feed("\r\nGET /ab.mp4 HTTP/1.1\r\n\r\n");      // 7: refused
    h.feed("\r\nGET /abc.mp4 HTTP/1.1\r\n\r\n");     // 8: listed
    h.feed("\r\nGET /%D6%D0.mp4 HTTP/1.1\r\n\r\n");  // 11, decoded to 6: listed
    h.feed("\r\nGET /a.mp4 HTTP/1.1\r\nHost: h\r\n"); // joined to its host first: listed
    h.feed("mms://a/b\r\n");                          // the shortest stream address
    EXPECT_EQ(h.addresses(), (Addresses{u"/abc.mp4", u"/中.mp4", u"http://h/a.mp4", u"mms://a/b"}));
}

TEST(RequestLineScan, ProxyRequestIsListedOnceAndTargetsNeedAPathOrExtension) {
    Harness h;
    h.feed("\r\nGET http://a.example/v/a.mp4 HTTP/1.1\r\nHost: a.example\r\n\r\n");
    EXPECT_EQ(h.addresses(), (Addresses{u"http://a.example/v/a.mp4"}));

    Harness any{FileTypeTable({{u"", u"其它", u""}})};
    any.feed("\r\nGET abcdefghij HTTP/1.1\r\n\r\n"); // neither "/" nor "."
    EXPECT_TRUE(any.results.empty());
}

TEST(RequestLineScan, FindsARequestAtTheStartOfTheTcpPayload) {
    const std::string request = "GET /v/a.mp4 HTTP/1.1\r\nHost: h.example\r\n\r\n";
    struct Case {
        Framing framing;
        bool ipv6;
        int linkType;
    };
    const Case cases[] = {
        {Framing::Ethernet, false, linktype::kEthernet},   {Framing::Ethernet, true, linktype::kEthernet},
        {Framing::EthernetVlan, false, linktype::kEthernet}, {Framing::LinuxSll, false, linktype::kLinuxSll},
        {Framing::LinuxSll2, true, linktype::kLinuxSll2},  {Framing::RawIp, false, linktype::kRaw},
        {Framing::RawIp, true, linktype::kIpv6},           {Framing::BsdLoopback, false, linktype::kNull},
        {Framing::BsdLoopback, true, linktype::kNull},
    };
    for (const auto& c : cases) {
        Harness h;
        // 'Z' before "GET" renders as itself, so only the payload's start marks the request.
        h.feedFrame(TcpFrame(request, c.framing, c.ipv6, 'Z'), c.linkType);
        EXPECT_EQ(h.addresses(), (Addresses{u"http://h.example/v/a.mp4"}))
            << static_cast<int>(c.framing) << (c.ipv6 ? " v6" : " v4");
    }
    Harness unknownLink;
    unknownLink.feedFrame(TcpFrame(request, Framing::Ethernet, false, 'Z'), -1);
    EXPECT_TRUE(unknownLink.results.empty());

    // A high byte before "GET" renders as six characters; the position must still land on "G".
    Harness highByte;
    highByte.feedFrame(TcpFrame("GET /v/\xD6\xD0.mp4 HTTP/1.1\r\nHost: h.example\r\n\r\n", Framing::Ethernet, false,
                                0xC8),
                       linktype::kEthernet);
    EXPECT_EQ(highByte.addresses(), (Addresses{u"http://h.example/v/中.mp4"}));
}

TEST(FrameHandler, AppliesTheModesAndTheMinimumLength) {
    const std::string frame = "\"http://a.example/a.mp4\""; // 24 characters
    Harness h;
    h.feed(frame, {0, 24});
    EXPECT_TRUE(h.results.empty()); // equal to the minimum: dropped
    h.feed(frame, {0, 23});
    EXPECT_EQ(h.results.size(), 1u);
    EXPECT_EQ(h.results[0].packet, 2u);
    h.feed(frame, {2, 0}); // any other mode value lists nothing
    h.feed("", {0, 0});
    h.feed("", {1, 0}); // an empty frame is stored but never listed
    EXPECT_EQ(h.results.size(), 1u);
    EXPECT_EQ(h.store.PacketCount(), 5u);

    h.feed("ab\r\n", {1, 1000}); // all packets: no length filter, no duplicate test
    h.feed("ab\r\n", {1, 0});
    ASSERT_EQ(h.results.size(), 3u);
    EXPECT_EQ(h.results[1].type, u"");
    EXPECT_EQ(h.results[1].address, u"ab··");
    EXPECT_EQ(h.results[2].packet, 7u);
    EXPECT_EQ(h.results.ResultCount(), 3);
}

TEST(FrameHandler, HandlesTheLargestFramesAndLongRuns) {
    Harness h;
    std::string big(15000 - 30, '\xC8'); // pairs of high bytes: about 45,000 characters of text
    big += " \"http://a.example/z.mp4\"";
    h.feed(big);
    EXPECT_EQ(h.addresses(), (Addresses{u"http://a.example/z.mp4"}));
    for (int i = 0; i < 33000; ++i)
        h.feed("x");
    h.feed("\"http://a.example/late.mp4\"");
    ASSERT_EQ(h.results.size(), 2u);
    EXPECT_EQ(h.results[1].packet, 33002u);
}

TEST(ResultList, DuplicateTestFollowsResultCount) {
    Harness h;
    const std::string frame = "\"http://a.example/a.mp4\"";
    h.feed(frame);
    h.feed(frame);
    EXPECT_EQ(h.results.size(), 1u);

    h.results.AddSearchRow({u"关键字搜索", u"http://a.example/b.mp4", 1});
    h.feed("\"http://a.example/b.mp4\""); // a search row is not one of the first ResultCount rows
    EXPECT_EQ(h.results.size(), 3u);
    EXPECT_EQ(h.results.ResultCount(), 2);

    h.results.DeleteRow(0);
    h.feed(frame); // deleted: found again
    EXPECT_EQ(h.results.size(), 3u);
    EXPECT_EQ(h.results.ResultCount(), 2);

    h.results.Clear();
    EXPECT_EQ(h.results.ResultCount(), 0);
    h.feed(frame);
    EXPECT_EQ(h.results.size(), 1u);
}

TEST(ResultList, DeletingASearchRowShrinksTheWindowOfCountedRows) {
    ResultList list;
    list.AddCaptureRow({u"视频", u"a", 1});
    list.AddCaptureRow({u"视频", u"b", 2});
    list.AddSearchRow({u"关键字搜索", u"c", 3});
    list.DeleteRow(2);                   // ResultCount 1: only row "a" counts now
    EXPECT_EQ(list.ResultCount(), 1);
    EXPECT_TRUE(list.IsDuplicate(u"a"));
    EXPECT_FALSE(list.IsDuplicate(u"b"));
    list.DeleteRow(0);
    list.DeleteRow(0);
    EXPECT_EQ(list.ResultCount(), -1);   // as many deletions as the user makes
    EXPECT_FALSE(list.IsDuplicate(u"b"));
    list.DeleteRow(5);                   // out of range: nothing happens
    EXPECT_EQ(list.ResultCount(), -1);
}

TEST(FrameHandler, FindsMarkersAtEveryOffset) {
    // The quick test for "://" and "GET " works on blocks of bytes; a marker may straddle any edge.
    for (std::size_t offset = 0; offset < 40; ++offset) {
        Harness h;
        const std::string junk(offset, '\x01');
        h.feed(junk + "\nGET /v/a.mp4 HTTP/1.1\r\nHost: h.example\r\n");
        h.feed(junk + "\"http://h.example/b.mp4\"");
        h.feed(junk + "\"http://h.example/c.mp4");
        EXPECT_EQ(h.addresses(),
                  (Addresses{u"http://h.example/v/a.mp4", u"http://h.example/b.mp4", u"http://h.example/c.mp4"}))
            << offset;
    }
}

TEST(ResultList, RemovingAllRowsKeepsTheCount) {
    ResultList list;
    list.AddCaptureRow({u"视频", u"a", 1});
    list.AddCaptureRow({u"视频", u"b", 2});
    list.RemoveAllRows();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.ResultCount(), 2);
    EXPECT_FALSE(list.IsDuplicate(u"a"));
    list.AddSearchRow({u"关键字搜索", u"a", 1}); // now one of the first ResultCount rows
    EXPECT_TRUE(list.IsDuplicate(u"a"));
}

TEST(FrameMarkers, FindsEachMarkerOnItsOwn) {
    struct Case {
        std::string bytes;
        bool scheme, get;
    };
    const Case cases[] = {
        {"", false, false},          {"://", true, false},       {"GET ", false, true},
        {"GET", false, false},       {":/", false, false},       {"get / http://", true, false},
        {std::string(100, 'G') + "ET :// ", true, true},          {std::string(33, ':') + "/", false, false},
        {std::string(61, 'x') + "GET /", false, true},
    };
    for (const auto& c : cases) {
        const FrameMarkers found = FindFrameMarkers(Bytes(c.bytes));
        EXPECT_EQ(found.scheme, c.scheme) << c.bytes;
        EXPECT_EQ(found.get, c.get) << c.bytes;
    }
}
