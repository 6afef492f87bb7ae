// Streams folded into one row, on captures of ffmpeg playing one title served three ways over HTTP on
// lo (tests/streams/record-stream-captures.sh): HLS with MPEG-TS segments and three variants, HLS with
// fMP4 segments and a separate audio rendition, DASH with video and audio adaptation sets. ffmpeg reads
// every media playlist and probes every variant before it keeps to one; nginx's log says what it fetched.
#include "capture/Gbk.h"
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"

#include "PcapFrames.h"
#include "PlayedCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

using namespace velmora;

namespace {

const std::string kData = VELMORA_TEST_DATA;

// The segments nginx answered (init sections apart) and their bytes.
std::pair<std::uint64_t, std::uint64_t> servedSegments(const std::string& name) {
    std::ifstream in(kData + "/" + name + ".served.txt");
    std::uint64_t count = 0, bytes = 0;
    const std::regex segment(R"((seg_\d+\.(ts|m4s)|chunk-stream\d+-\d+\.m4s)$)");
    for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        std::string path, status, type, size;
        std::getline(fields, path, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, type, '\t');
        std::getline(fields, size, '\t');
        if (std::regex_search(path, segment)) {
            ++count;
            bytes += std::stoull(size);
        }
    }
    return {count, bytes};
}

struct Played {
    FileTypeTable table = LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine{table};

    explicit Played(const std::string& name, bool readStreams = true) {
        int linkType = 0;
        for (const test::Frame& frame : test::readPcap(kData + "/" + name + ".pcap", linkType))
            engine.FrameReceived(frame, linkType, {0, 0, true, readStreams});
        engine.EndCapture();
    }
};

std::vector<ResultRow> rowsOf(const std::string& name, bool readStreams = true) {
    return Played(name, readStreams).engine.Results().Rows();
}

} // namespace

// One row a title: the manifest ffmpeg opened, saying what the stream is, which renditions were played
// and how many segment bytes went by; no playlist, init section or segment is listed alone.
TEST(StreamFolding, EachTitleIsOneRowWithItsRenditionsAndNothingListedAlone) {
    struct Title {
        const char* capture;
        const char* address;
        const char* note; // up to the segment count
    };
    for (const Title& title : {
             Title{"stream_hls_ts", "http://media.velmora.test:8080/hlsts/master.m3u8",
                   "HLS · 3 档 (720p/480p/360p) · 已播 720p/480p/360p · 20 秒"},
             Title{"stream_hls_fmp4", "http://media.velmora.test:8080/hlsfmp4/master.m3u8",
                   "HLS · 2 档 (720p/360p) · 已播 720p/360p/音频 "},
             Title{"stream_dash", "http://media.velmora.test:8080/dash/manifest.mpd",
                   "DASH · 2 档 (720p/360p) · 已播 720p/360p/音频 "},
         }) {
        SCOPED_TRACE(title.capture);
        const std::vector<ResultRow> rows = rowsOf(title.capture);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(utf8::FromU16(rows[0].address), title.address);
        EXPECT_EQ(utf8::FromU16(rows[0].type), "视频");
        const std::string note = utf8::FromU16(rows[0].note);
        EXPECT_TRUE(note.starts_with(title.note)) << note;
        const auto [segments, bytes] = servedSegments(title.capture);
        // The data window: the manifest as served, then the requests folded into it.
        const Played played(title.capture);
        const auto text = played.engine.StreamTextOf(played.engine.Results()[0]);
        ASSERT_TRUE(text);
        EXPECT_TRUE(text->starts_with(std::string(title.address).ends_with(".mpd") ? "<?xml" : "#EXTM3U")) << *text;
        EXPECT_NE(text->find("折叠的请求"), std::string::npos);
        EXPECT_NE(text->find(std::string(title.address).substr(0, std::string(title.address).rfind('/') + 1)),
                  text->find("折叠的请求"));
        EXPECT_NE(note.find(" · " + std::to_string(segments) + " 段 "), std::string::npos) << note;
        EXPECT_EQ(rows[0].size, bytes);
    }
}

// Switched off ("[FileType] Streams=0", --no-streams), rows are as the file-type table gives them: the
// master and its three media playlists (the shipped table disables .ts).
TEST(StreamFolding, SwitchedOffTheRowsAreTheTablesAsBefore) {
    std::vector<std::string> addresses;
    for (const ResultRow& row : rowsOf("stream_hls_ts", false)) {
        addresses.push_back(utf8::FromU16(row.address));
        EXPECT_TRUE(row.note.empty());
    }
    const std::string base = "http://media.velmora.test:8080/hlsts/";
    EXPECT_EQ(addresses, (std::vector<std::string>{base + "master.m3u8", base + "720p/index.m3u8", base + "480p/index.m3u8",
                                                    base + "360p/index.m3u8"}));
}

// Over HTTP/3: headless Chromium running a page that plays as a web player does (fetch() of the manifest,
// then the playlists, init sections and segments of 640x360 and the audio, in turn) from Caddy over QUIC,
// the manifests gzipped (tests/streams/record-h3-stream-captures.sh, with the browser's key log). The
// manifests' bodies are read from their QUIC streams as from TCP: each title is one row, nothing else
// of it is listed alone.
TEST(StreamFolding, OverHttp3EachTitleIsOneRowWithItsRenditions) {
    struct Title {
        const char* capture;
        const char* address;
        const char* note; // up to the segment count
    };
    for (const Title& title : {
             Title{"stream_h3_hls", "https://media.velmora.test:8443/hlsfmp4/master.m3u8",
                   "HLS · 2 档 (720p/360p) · 已播 360p/音频 "},
             Title{"stream_h3_dash", "https://media.velmora.test:8443/dash/manifest.mpd",
                   "DASH · 2 档 (720p/360p) · 已播 360p/音频 "},
         }) {
        SCOPED_TRACE(title.capture);
        const FileTypeTable table =
            LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
        CaptureEngine engine{table};
        ASSERT_TRUE(engine.OpenKeyLog(kData + "/" + title.capture + ".keys"));
        int linkType = 0;
        for (const test::Frame& frame : test::readPcap(kData + "/" + title.capture + ".pcap", linkType))
            engine.FrameReceived(frame, linkType, {0, 0, true, true});
        engine.EndCapture();
        const std::vector<ResultRow> rows = engine.Results().Rows();
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(utf8::FromU16(rows[0].address), title.address);
        EXPECT_EQ(utf8::FromU16(rows[0].type), "视频");
        const std::string note = utf8::FromU16(rows[0].note);
        EXPECT_TRUE(note.starts_with(title.note)) << note;
        const auto [segments, bytes] = servedSegments(title.capture);
        EXPECT_NE(note.find(" · " + std::to_string(segments) + " 段 "), std::string::npos) << note;
        EXPECT_EQ(rows[0].size, bytes);
        // The manifest as served, unzipped.
        const auto text = engine.StreamTextOf(rows[0]);
        ASSERT_TRUE(text);
        EXPECT_TRUE(text->starts_with(std::string(title.address).ends_with(".mpd") ? "<?xml" : "#EXTM3U")) << *text;
    }
}

// Real players over TLS, read with their key logs (tests/streams/record-https-stream-captures.sh): mpv
// playing the HLS master with MPEG-TS segments and ffmpeg reading the DASH MPD, both over HTTP/1.1, and
// headless Chromium running a page that fetches HLS in fMP4 segments with a separate audio rendition as a
// web player does, over HTTP/2. Each title is one row sized by the segments nginx served, and every
// request of it nginx answered is folded into it, none listed alone.
TEST(StreamFolding, OverTlsEachPlayersTitleIsOneRowWithEveryRequestFolded) {
    struct Title {
        const char* capture;
        const char* manifest; // path
        const char* note;     // up to the renditions played
    };
    for (const Title& title : {
             Title{"stream_tls_mpv_hls", "/hlsts/master.m3u8", "HLS · 3 档 (720p/480p/360p) · 已播 "},
             Title{"stream_tls_ffmpeg_dash", "/dash/manifest.mpd", "DASH · 2 档 (720p/360p) · 已播 "},
             Title{"stream_h2_chromium_hls", "/hlsfmp4/master.m3u8", "HLS · 2 档 (720p/360p) · 已播 "},
         }) {
        SCOPED_TRACE(title.capture);
        const test::PlayedCapture played(title.capture);
        const std::vector<ResultRow>& rows = played.engine.Results().Rows();
        ASSERT_EQ(rows.size(), 1u);
        const std::string origin = "https://media.velmora.test:8443";
        EXPECT_EQ(utf8::FromU16(rows[0].address), origin + title.manifest);
        EXPECT_EQ(utf8::FromU16(rows[0].type), "视频");
        const std::string note = utf8::FromU16(rows[0].note);
        EXPECT_TRUE(note.starts_with(title.note)) << note;
        const auto [segments, bytes] = servedSegments(title.capture);
        EXPECT_NE(note.find(" · " + std::to_string(segments) + " 段 "), std::string::npos) << note;
        EXPECT_EQ(rows[0].size, bytes);
        const auto text = played.engine.StreamTextOf(rows[0]);
        ASSERT_TRUE(text);
        const std::string folded = text->substr(text->find("折叠的请求"));
        for (const test::Served& served : test::servedOf(title.capture))
            if (served.path != title.manifest && !served.path.ends_with(".html") && served.path != "/done") {
                EXPECT_NE(folded.find(origin + served.path), std::string::npos) << served.path;
            }
    }
}

// The renditions marked played are those whose segments nginx served: mpv (--hls-bitrate=min) reads the
// start of every variant before it keeps to 360p; the web page fetches 360p and the audio only.
TEST(StreamFolding, OverTlsTheRenditionsPlayedAreTheOnesWhoseSegmentsWereServed) {
    struct Title {
        const char* capture;
        const char* played; // as the row says it
    };
    for (const Title& title : {
             Title{"stream_tls_mpv_hls", " · 已播 720p/480p/360p · "},
             Title{"stream_h2_chromium_hls", " · 已播 360p/音频 en · "},
         }) {
        SCOPED_TRACE(title.capture);
        const test::PlayedCapture played(title.capture);
        ASSERT_EQ(played.engine.Results().size(), 1u);
        EXPECT_NE(utf8::FromU16(played.engine.Results()[0].note).find(title.played), std::string::npos)
            << utf8::FromU16(played.engine.Results()[0].note);
        const StreamInfo* stream = played.engine.StreamOf(played.engine.Results()[0]);
        ASSERT_TRUE(stream);
        const std::vector<test::Served> served = test::servedOf(title.capture);
        for (const StreamRendition& rendition : stream->renditions) {
            // Its media playlist's folder, as nginx logs it.
            const std::string path = rendition.address.substr(rendition.address.find('/', 8));
            const std::string folder = path.substr(0, path.rfind('/') + 1);
            const bool segmentServed = std::any_of(served.begin(), served.end(), [&](const test::Served& s) {
                return s.path.starts_with(folder) && s.path.find("/seg_") != std::string::npos;
            });
            EXPECT_EQ(rendition.played, segmentServed) << rendition.label;
        }
    }
}
