// The extraction on public captures of real traffic: every media request that stands whole in one
// frame is found.
#include "capture/MediaAddressExtractor.h"
#include "capture/Gbk.h"
#include "capture/pcap/CaptureComponent.h"
#include "settings/FileTypeSettings.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <regex>
#include <set>

using namespace velmora;

namespace {

const std::string kData = VELMORA_TEST_DATA;

// The shipped table with every row enabled.
FileTypeTable everyRowEnabled() {
    const SettingsFile defaults(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini");
    FileTypeTable table = LoadFileTypeTable(defaults);
    for (std::size_t i = 0; i < table.size(); ++i)
        table.SetState(i, u"");
    return table;
}

struct Extraction {
    std::set<std::string> addresses;
    std::uint64_t frames = 0;
    CaptureResult end;
};

Extraction extract(const std::string& file, const FileTypeTable& table) {
    Extraction run;
    PacketStore store;
    ResultList results;
    MediaAddressExtractor extractor(store, results, table);
    CaptureComponent vpacket;
    std::array<std::uint8_t, CaptureComponent::kMaxFrameBytes + 1> buffer{};
    vpacket.SetPacketReceived([&](std::int32_t numbytes) {
        vpacket.ReadPacket(buffer);
        // The markers the capture thread found must be what the handler would find itself.
        const std::span frame(buffer.data(), static_cast<std::size_t>(numbytes));
        const FrameMarkers own = FindFrameMarkers(frame);
        EXPECT_EQ(own.scheme, vpacket.CurrentFrameMarkers().scheme);
        EXPECT_EQ(own.get, vpacket.CurrentFrameMarkers().get);
        extractor.vpacket_PacketReceived(frame, vpacket.CurrentLinkType(), {0, 0}, &vpacket.CurrentFrameMarkers());
        ++run.frames;
    });
    EXPECT_TRUE(vpacket.OpenFile(kData + "/" + file)) << file;
    EXPECT_TRUE(vpacket.StartCapture()) << file;
    while (!vpacket.Finished())
        if (vpacket.WaitForFrames(std::chrono::milliseconds(200)))
            vpacket.DispatchPending(1024);
    run.end = vpacket.EndResult();
    for (const auto& row : results.Rows())
        run.addresses.insert(utf8::FromU16(row.address));
    return run;
}

// The oracle's media requests: http addresses whose path (before any query) ends in an extension
// of the table.
std::vector<std::string> mediaRequests(const std::string& oracleFile, const FileTypeTable& table) {
    std::ifstream in(kData + "/" + oracleFile);
    std::vector<std::string> out;
    const std::regex extension(R"(\.([A-Za-z0-9]+)$)");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("http://", 0) != 0)
            continue;
        const std::string path = line.substr(0, line.find('?'));
        std::smatch m;
        if (std::regex_search(path, m, extension) && table.Find(utf8::ToU16("." + m[1].str())))
            out.push_back(line);
    }
    return out;
}

} // namespace

TEST(RealCaptures, FindTheMediaRequestsOfEveryCapture) {
    const FileTypeTable table = everyRowEnabled();
    ASSERT_EQ(table.size(), 34u);
    struct Capture {
        const char* file;
        const char* oracle;
        std::uint64_t frames;
        std::size_t mediaRequests; // distinct
    };
    const Capture captures[] = {
        {"espn_http.pcapng", "espn_http.oracle.txt", 956, 42},
        {"ndpi_1kxun.pcap", "ndpi_1kxun.oracle.txt", 1723, 63},
        {"ndpi_hls.pcapng", "ndpi_hls.oracle.txt", 13, 1},                  // raw IP
        {"ndpi_mpeg-dash.pcap", "ndpi_mpeg-dash.oracle.txt", 13, 4}, // two .m4s segments
        {"ndpi_mpeg.pcap", "ndpi_mpeg.oracle.txt", 19, 1},
        {"ndpi_netflix.pcap", "ndpi_netflix.oracle.txt", 1793, 7},
        {"ndpi_quickplay.pcap", "ndpi_quickplay.oracle.txt", 155, 62},      // Linux cooked
        {"ndpi_rtsp.pcap", "ndpi_rtsp.oracle.txt", 568, 0},
        {"ndpi_rtsp_setup_http.pcapng", "ndpi_rtsp_setup_http.oracle.txt", 1, 0},
        {"zeek_bro.org.pcap", "zeek_bro.org.oracle.txt", 751, 11},
        {"zeek_erspan.pcap", "zeek_erspan.oracle.txt", 287, 10},
        {"zeek_flash-version.pcap", "zeek_flash-version.oracle.txt", 74, 1},
        {"zeek_socks.pcap", "zeek_socks.oracle.txt", 53, 7},
        {"zeek_wikipedia.pcap", "zeek_wikipedia.oracle.txt", 136, 13},
    };
    // The one request the rules refuse on purpose: its query holds "drmVersion=1.5", and the last "."
    // of an address decides its extension.
    const std::set<std::string> refusedByTheLastDotRule = {
        "http://play-singtelhawk.quickplay.com/vstb/playlist_5_6241_357.m3u8?action=145&appId=5006&carrierId=23&"
        "appVersion=1.0&contentId=6241&contentTypeId=3&deviceName=androidmobile&encodingId=357&drmId=4&"
        "drmVersion=1.5&delivery=5&prefLanguage=eng&webvtt=true&userid=09154974536&vstbtype=streaming"};
    std::size_t found = 0, wanted = 0;
    for (const auto& capture : captures) {
        const Extraction run = extract(capture.file, table);
        EXPECT_TRUE(run.end) << capture.file << ": " << run.end.message;
        EXPECT_EQ(run.frames, capture.frames) << capture.file;
        const auto requests = mediaRequests(capture.oracle, table);
        const std::set<std::string> distinct(requests.begin(), requests.end());
        EXPECT_EQ(distinct.size(), capture.mediaRequests) << capture.file;
        for (const auto& request : distinct) {
            ++wanted;
            if (run.addresses.count(request))
                ++found;
            else
                EXPECT_TRUE(refusedByTheLastDotRule.count(request)) << capture.file << " misses " << request;
        }
    }
    EXPECT_EQ(found + refusedByTheLastDotRule.size(), wanted);
}

TEST(RealCaptures, StreamsOfAnRtspSessionAreListedAsVideo) {
    const Extraction run = extract("ndpi_rtsp_setup_http.pcapng", FileTypeTable());
    std::ifstream oracle(kData + "/ndpi_rtsp_setup_http.oracle.txt");
    std::string expected;
    std::getline(oracle, expected);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(run.addresses.count(expected)) << expected;
}
