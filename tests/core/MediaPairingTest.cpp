// The audio and the video of one title fetched as two lone files: paired by the page they were fetched
// for and the time, as web players fetch them; through the engine, on answers read from real frames.
#include "capture/Gbk.h"
#include "capture/RangePiece.h"
#include "engine/CaptureEngine.h"
#include "stream/MediaPairing.h"

#include "PlayedCapture.h"
#include "TlsCaptureWriter.h"

#include <gtest/gtest.h>

using namespace velmora;
using namespace std::chrono_literals;

TEST(MediaPairing, AudioAndVideoOfOnePagePairNearestInTimeOnTheSameHost) {
    MediaPairing pairing;
    const std::string page = "https://www.example.cn/video/BV1xx/";
    auto media = [&](const char16_t* address, std::chrono::microseconds at, bool audio, std::string referer) {
        return MediaPairing::Media{address, std::move(referer), HostOf(address), at, audio};
    };
    // Two videos of the page, then its audio: the audio pairs with the video on its own host.
    EXPECT_FALSE(pairing.Add(media(u"https://cdn-a.example/v/1.m4s", 0s, false, page)));
    EXPECT_FALSE(pairing.Add(media(u"https://cdn-b.example/v/2.m4s", 5s, false, page)));
    EXPECT_EQ(pairing.Add(media(u"https://cdn-a.example/a/1.m4s", 6s, true, page)).value_or(u""),
              u"https://cdn-a.example/v/1.m4s");
    // Another page's audio, or one past 30 s, or one without a Referer, pairs with nothing.
    EXPECT_FALSE(pairing.Add(media(u"https://cdn-b.example/a/9.m4s", 7s, true, "https://other.example/")));
    EXPECT_FALSE(pairing.Add(media(u"https://cdn-b.example/a/2.m4s", 40s, true, page)));
    EXPECT_FALSE(pairing.Add(media(u"https://cdn-b.example/a/3.m4s", 41s, true, "")));
    // Nearest in time when the hosts say nothing.
    EXPECT_FALSE(pairing.Add(media(u"https://c.example/v/3.mp4", 100s, false, page)));
    EXPECT_FALSE(pairing.Add(media(u"https://d.example/v/4.mp4", 110s, false, page)));
    EXPECT_EQ(pairing.Add(media(u"https://e.example/a/4.mp4", 112s, true, page)).value_or(u""), u"https://d.example/v/4.mp4");
    EXPECT_EQ(HostOf(u"https://CDN.Example:8443/x?y"), "cdn.example:8443");
}

// Through the engine: clear-text GETs with the page's Referer answered video/mp4 and audio/mp4 a few
// seconds apart are one title; the rows name each other.
TEST(MediaPairing, TheEngineNamesEachRowsPartner) {
    FileTypeTable table;
    CaptureEngine engine(table);
    const std::string referer = "http://www.example.cn/play/42";
    std::uint16_t port = 40100;
    auto bytes = [](const std::string& text) { return std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); };
    auto fetch = [&](const std::string& path, const std::string& type, std::chrono::seconds at) {
        test::TcpFlow flow(0x7F000002, port++, 1000, 50000, 0x7F000001, 80);
        const std::string get = "GET " + path + " HTTP/1.1\r\nHost: cdn.example\r\nReferer: " + referer + "\r\n\r\n";
        const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: 4\r\n\r\nabcd";
        engine.FrameReceived(flow.Client(bytes(get)), 1, {0, 0, true, true}, nullptr, at);
        engine.FrameReceived(flow.Server(bytes(answer)), 1, {0, 0, true, true}, nullptr, at + 1s);
    };
    fetch("/v/title/video", "video/mp4", 10s);
    fetch("/v/title/audio", "audio/mp4", 12s);
    const ResultList& rows = engine.Results();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].pair, u"http://cdn.example/v/title/audio");
    EXPECT_EQ(rows[1].pair, u"http://cdn.example/v/title/video");
    EXPECT_EQ(utf8::FromU16(rows[0].note), "配对：http://cdn.example/v/title/audio");
}

// Headless Chromium over HTTP/2, one page fetching a video .mp4 and an audio .m4a in pieces by Range,
// then video itag 137 and audio itag 140 in pieces named by the query, then a progressive .mp4 whole
// (tests/streams/pieces.html.in), every request with the page as Referer, read at the frames' capture
// times: each lone video pairs with the audio fetched beside it, pieces after the first change nothing,
// and the progressive file, which has its audio in it, pairs with nothing.
TEST(MediaPairing, ChromiumsLoneVideoAndAudioPairAsTheyWereFetched) {
    const test::PlayedCapture played("stream_h2_chromium_pieces");
    const std::u16string origin = u"https://media.velmora.test:8443";
    std::u16string video137, audio140; // the files, without the pieces' range, rn and rbuf
    for (const test::Served& served : test::servedOf("stream_h2_chromium_pieces")) {
        if (served.path != "/pieces.html") {
            EXPECT_EQ(served.referer, "https://media.velmora.test:8443/pieces.html") << served.path;
        }
        if (const auto piece = ReadRangePiece(utf8::ToU16(served.path)))
            (served.path.find("&itag=137&") != std::string::npos ? video137 : audio140) = origin + piece->address;
    }
    const std::u16string video = origin + u"/pieces/video.mp4", audio = origin + u"/pieces/audio.m4a";
    const ResultList& rows = played.engine.Results();
    auto pairOf = [&](const std::u16string& address) {
        const auto row = rows.FindCaptureRow(address);
        EXPECT_TRUE(row) << utf8::FromU16(address);
        return row ? utf8::FromU16(rows[*row].pair) : std::string("(not listed)");
    };
    EXPECT_EQ(pairOf(video), utf8::FromU16(audio));
    EXPECT_EQ(pairOf(audio), utf8::FromU16(video));
    EXPECT_EQ(pairOf(video137), utf8::FromU16(audio140));
    EXPECT_EQ(pairOf(audio140), utf8::FromU16(video137));
    EXPECT_EQ(pairOf(origin + u"/media/progressive.mp4"), "");
}
