// Whole frames, and the bytes a capture never had. Real captures recorded on the loopback device
// (frames of up to 64 KiB, as GRO and TSO give) of curl and Chromium fetching media on one keep-alive
// connection over clear text, HTTP/1.1 over TLS and HTTP/2 over TLS (Chromium also opens an idle one); their twins cut to 1514 bytes a
// frame (tcpdump -s 1514); and the same captures with frames taken out, as a kernel drops them.
#include "capture/Gbk.h"
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"
#include "tcp/TcpReassembler.h"

#include "PcapFrames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace velmora;

namespace {

const std::string kData = VELMORA_TEST_DATA;
using test::Frame;
using test::readPcap;

struct Capture {
    const char* name;
    const char* origin;
    bool tls;
};
const Capture kCaptures[] = {
    {"large_http", "http://media.velmora.test:8080", false},
    {"large_h1_tls", "https://media.velmora.test:8443", true},
    {"large_h2_tls", "https://media.velmora.test:8443", true},
    {"large_chromium_http", "http://media.velmora.test:8080", false},
    {"large_chromium_h2", "https://media.velmora.test:8443", true},
    {"large_chromium_h1_tls", "https://media.velmora.test:8444", true},
};

// What the server's log says was answered: path -> (status, media type, body bytes).
struct Served {
    int status = 0;
    std::string contentType;
    std::uint64_t bytes = 0;
};
std::map<std::string, Served> servedLog(const std::string& name) {
    std::ifstream in(kData + "/" + name + ".served.txt");
    std::map<std::string, Served> served;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        f.resize(4);
        served[f[0]] = {std::stoi(f[1]), f[2], std::stoull(f[3])};
    }
    return served;
}

struct EngineRun {
    FileTypeTable table = LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine{table};
    std::map<std::string, ResultRow> rows; // by address

    EngineRun(const Capture& capture, const std::vector<Frame>& frames, int linkType) {
        if (capture.tls)
            EXPECT_TRUE(engine.OpenKeyLog(kData + "/" + capture.name + ".keys"));
        for (const Frame& frame : frames)
            engine.FrameReceived(frame, linkType, {0, 0, true});
        engine.EndCapture();
        for (const ResultRow& row : engine.Results().Rows())
            rows[utf8::FromU16(row.address)] = row;
    }
    std::set<std::string> Addresses() const {
        std::set<std::string> all;
        for (const auto& [address, row] : rows)
            all.insert(address);
        return all;
    }
    // Connections that lost something to a gap, and whether every connection has exactly one outcome.
    std::uint64_t WithGaps() const {
        return engine.Stats().withGaps + engine.ClearTextConnections().withGaps;
    }
    bool OutcomesAddUp() const {
        const TlsStats s = engine.Stats();
        return s.seen == s.decrypted + s.withGaps + s.withoutKeys + s.unsupported + s.failed;
    }
};

// Every media answer of the log, less the two types the shipped table disables (.ts and .m4s).
std::set<std::string> expectedRows(const Capture& capture) {
    std::set<std::string> expected;
    for (const auto& [path, served] : servedLog(capture.name)) {
        const bool media = served.contentType.starts_with("video/") || served.contentType.starts_with("audio/");
        if (served.status == 200 && media && path != "/hls/seg1.ts")
            expected.insert(capture.origin + path);
    }
    return expected;
}

} // namespace

TEST(LargeFrames, WholeCapturesListEveryMediaAnswerAndCutOnesCountWhatTheyLost) {
    for (const Capture& capture : kCaptures) {
        SCOPED_TRACE(capture.name);
        int linkType = 0;
        const auto frames = readPcap(kData + "/" + capture.name + ".pcap", linkType);
        std::size_t large = 0;
        for (const Frame& frame : frames)
            large += frame.size() > PacketStore::kMaxFrameBytes;
        ASSERT_GT(large, 10u) << "recorded with large frames";

        const EngineRun whole(capture, frames, linkType);
        const std::set<std::string> expected = expectedRows(capture);
        ASSERT_EQ(expected.size(), 7u); // the log holds what the captures were made to hold
        EXPECT_EQ(whole.Addresses(), expected);
        const auto served = servedLog(capture.name);
        for (const auto& [address, row] : whole.rows) {
            const Served& log = served.at(address.substr(std::string(capture.origin).size()));
            EXPECT_EQ(row.size, log.bytes) << address;
        }
        EXPECT_EQ(whole.WithGaps(), 0u);
        EXPECT_TRUE(whole.OutcomesAddUp());
        if (capture.tls)
            EXPECT_EQ(whole.engine.Stats().decrypted, whole.engine.Stats().seen);
        else
            EXPECT_GE(whole.engine.ClearTextConnections().followed, 1u);

        // The same traffic cut to 1514 bytes a frame: clear text loses nothing (the cuts fall in bodies);
        // over TLS what the tags cannot confirm is lost, and the connection says so.
        int cutLink = 0;
        const auto cutFrames = readPcap(kData + "/" + capture.name + ".s1514.pcap", cutLink);
        const EngineRun cut(capture, cutFrames, cutLink);
        for (const auto& [address, row] : cut.rows)
            EXPECT_TRUE(whole.rows.count(address)) << address;
        if (!capture.tls) {
            EXPECT_EQ(cut.Addresses(), whole.Addresses());
            EXPECT_EQ(cut.WithGaps(), 0u);
        } else {
            // Nothing in a 16 KB record cut to 1514 bytes can be confirmed; Chromium's ClientHello (with its
            // post-quantum key share) is itself longer than that, so its connection fails outright.
            EXPECT_LT(cut.rows.size(), whole.rows.size());
            EXPECT_EQ(cut.engine.Stats().decrypted, 0u);
            EXPECT_GE(cut.engine.Stats().withGaps + cut.engine.Stats().failed, 1u);
        }
        EXPECT_TRUE(cut.OutcomesAddUp());
    }
}

// Each server frame of a download taken out in turn, as a kernel drops frames. Over clear text and
// HTTP/1.1 over TLS, a frame within a body costs nothing (the reader skips the gap by the body's
// length; over TLS the records are found again by their tags), and one that held an answer's head
// costs that answer alone; over HTTP/2 any gap outside DATA gives up the rest, and is counted.
TEST(LargeFrames, DroppedFramesCostNothingInsideBodiesAndAreCountedWhereTheyCostAnswers) {
    for (const Capture& capture : {kCaptures[0], kCaptures[1], kCaptures[2]}) {
        SCOPED_TRACE(capture.name);
        int linkType = 0;
        const auto frames = readPcap(kData + "/" + capture.name + ".pcap", linkType);
        const EngineRun whole(capture, frames, linkType);
        std::size_t costless = 0, costly = 0;
        for (std::size_t drop = 0; drop < frames.size(); ++drop) {
            if (frames[drop].size() < 1000)
                continue; // the server's large frames only
            auto fewer = frames;
            fewer.erase(fewer.begin() + static_cast<std::ptrdiff_t>(drop));
            const EngineRun run(capture, fewer, linkType);
            SCOPED_TRACE(drop + 1);
            EXPECT_TRUE(run.OutcomesAddUp());
            std::set<std::string> missing;
            for (const auto& [address, row] : whole.rows)
                if (!run.rows.count(address))
                    missing.insert(address);
            if (missing.empty() && run.WithGaps() == 0) {
                ++costless;
                continue;
            }
            ++costly;
            // Counted: with gaps, or failed when the frame held the server's hello.
            EXPECT_EQ(run.WithGaps() + run.engine.Stats().failed, 1u);
            if (!std::string(capture.name).ends_with("h2_tls") && run.engine.Stats().failed == 0)
                EXPECT_LE(missing.size(), 1u);
        }
        if (std::string(capture.name).ends_with("h2_tls")) {
            EXPECT_GT(costly, 0u); // frames of 8 KB DATA frames: every drop takes DATA frame headers
        } else {
            EXPECT_GT(costless, 10u);
            EXPECT_LE(costly, 12u); // at most one per answer: the frame that held its head
        }
    }
}

// The rules of a known gap, on hand-made segments: a frame cut short, a hole the peer acknowledged,
// one the limit will not wait for, one the stream's end leaves; and a reader that takes no gaps.
TEST(TcpReassembler, GapsAreSettledInPlaceByLengthAcknowledgementLimitAndEnd) {
    // The stream as read, each lost byte a '?'.
    struct Text final : TcpStreamSink {
        std::string stream;
        void Bytes(std::span<const std::uint8_t> b) override { stream.append(b.begin(), b.end()); }
        void Lost(std::uint64_t n) override { stream.append(n, '?'); }
    } sink;
    const std::string& stream = sink.stream;
    const auto bytes = [](const char* text) {
        return std::span(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
    };
    ByteBudget budget(1 << 20);
    TcpReassembler tcp(budget, 400);
    tcp.Start(1000);
    tcp.Add(1000, bytes("abc"), sink, 4); // 3 captured, 4 cut off
    tcp.Add(1007, bytes("de"), sink);
    EXPECT_EQ(stream, "abc????de");
    tcp.Add(1020, bytes("xy"), sink); // ahead of a hole: kept
    EXPECT_TRUE(tcp.Holding());
    tcp.Acknowledged(1015, sink); // the peer had up to 1015: that much is lost, the rest may still come
    tcp.Add(1015, bytes("12345"), sink);
    EXPECT_EQ(stream, "abc????de??????12345xy");
    // Holes between runs until the runs outgrow the limit: the holes are given up, the runs read.
    for (const std::uint32_t at : {1060u, 1100u, 1140u, 1180u})
        tcp.Add(at, bytes("0123456789"), sink);
    EXPECT_FALSE(tcp.Holding());
    EXPECT_EQ(stream.substr(22), std::string(38, '?') + "0123456789" + std::string(30, '?') + "0123456789" +
                                     std::string(30, '?') + "0123456789" + std::string(30, '?') + "0123456789");
    tcp.Add(1300, bytes("end"), sink);
    EXPECT_TRUE(tcp.Holding());
    tcp.Flush(sink);
    EXPECT_FALSE(tcp.Holding());
    EXPECT_TRUE(stream.ends_with(std::string(110, '?') + "end"));
    EXPECT_EQ(tcp.LostBytes(), 4u + 6 + 38 + 30 + 30 + 30 + 110);
    EXPECT_EQ(tcp.Held(), 0u);
}
