// The TLS probe's stream through the engine: requests listed with their programs, and a stream that
// loses calls, reuses handles, starts mid-connection or is hostile read only where it can be read right.
#include "HttpsExtraction.h"
#include "PcapFrames.h"
#include "ProbeStreamWriter.h"
#include "TlsCaptureWriter.h"
#include "engine/CaptureEngine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace velmora::test {
namespace {

using probe::Direction;
using Caller = ProbeStreamWriter::Caller;
using Fields = std::vector<std::pair<std::string, std::string>>;

Fields get(const std::string& authority, const std::string& path) {
    return {{":method", "GET"}, {":scheme", "https"}, {":authority", authority}, {":path", path}, {"accept", "*/*"}};
}

struct ProbedEngine {
    FileTypeTable table = shippedTable();
    CaptureEngine engine;
    explicit ProbedEngine(CaptureEngine::Limits limits = {}) : engine(table, limits) {}

    bool Feed(const std::vector<std::uint8_t>& stream, std::size_t piece = SIZE_MAX) {
        bool ok = true;
        for (std::size_t at = 0; at < stream.size(); at += piece)
            ok = engine.ProbeBytesReceived(std::span(stream).subspan(at, std::min(piece, stream.size() - at)),
                                           {0, 0, true, true});
        return ok;
    }
    std::vector<std::string> Rows() const {
        std::vector<std::string> out;
        for (const ResultRow& row : engine.Results().Rows())
            out.push_back(utf8::FromU16(row.address));
        return out;
    }
};

std::vector<std::uint8_t> recording(const std::string& name) {
    std::ifstream in(std::string(VELMORA_TEST_DATA) + "/probe/" + name + ".vtls", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> requestedUrls(const std::string& name) {
    std::ifstream in(std::string(VELMORA_TEST_DATA) + "/probe/" + name + ".urls.txt");
    std::vector<std::string> urls;
    for (std::string line; std::getline(in, line);)
        urls.push_back(line);
    return urls;
}

TEST(ProbeStream, RecordedClientsRequestsAreListedWithTheirProgram) {
    // What velmora-tls wrote while curl (HTTP/1.1, HTTP/2), Python's urllib (a connection a request on
    // one reused SSL object), wget (GnuTLS) and Firefox (NSPR, HTTP/2 from its socket thread) fetched
    // their URLs; with _receive the answers too.
    struct Recorded {
        std::string name, program;
        std::uint64_t connections;
    };
    for (const Recorded& r : std::vector<Recorded>{{"curl_h1", "curl", 1},
                                                   {"curl_h2", "curl", 1},
                                                   {"python3", "python3.11", 3},
                                                   {"wget", "wget", 1},
                                                   {"firefox", "firefox-esr", 1}}) {
        for (const bool receive : {false, true}) {
            const std::string name = r.name + (receive ? "_receive" : "");
            const std::vector<std::uint8_t> stream = recording(name);
            ASSERT_FALSE(stream.empty()) << name;
            // Every URL asked for but the page, the poster and the segment (the shipped table leaves .jpg
            // and .ts off); streams are not folded here, so the playlist stays a row of its own.
            std::vector<std::string> expected;
            for (const std::string& url : requestedUrls(name))
                if (!url.ends_with(".html") && !url.ends_with(".jpg") && !url.ends_with(".ts"))
                    expected.push_back(url);
            for (const std::size_t piece : {std::size_t{1}, std::size_t{61}, SIZE_MAX}) {
                ProbedEngine probed;
                bool ok = true;
                for (std::size_t at = 0; at < stream.size(); at += piece)
                    ok = probed.engine.ProbeBytesReceived(
                        std::span(stream).subspan(at, std::min(piece, stream.size() - at)), {0, 0, true, false});
                ASSERT_TRUE(ok && probed.engine.ProbeEnded()) << name << ": " << probed.engine.ProbeProblem();
                EXPECT_EQ(probed.Rows(), expected) << name << " in pieces of " << piece;
                std::set<std::uint32_t> pids;
                for (const ResultRow& row : probed.engine.Results().Rows()) {
                    const auto program = probed.engine.ProgramOf(row);
                    ASSERT_TRUE(program) << name;
                    EXPECT_EQ(program->Name(), r.program) << name;
                    pids.insert(program->pid);
                    // The answer's media type only when the answers were recorded; the request's text for the data
                    // window.
                    EXPECT_EQ(row.contentType.empty(), !receive) << name << " " << utf8::FromU16(row.address);
                    const std::string* request = probed.engine.Https().RequestText(row);
                    ASSERT_TRUE(request) << name;
                    const bool http2 = r.name == "curl_h2" || r.name == "firefox";
                    EXPECT_NE(request->find(http2 ? ":path: /" : "GET /"), std::string::npos);
                }
                EXPECT_EQ(pids.size(), 1u) << name;
                const probe::ProbeStats stats = probed.engine.ProbeCounts();
                EXPECT_EQ(stats.connections, r.connections) << name;
                EXPECT_GE(stats.programs, 1u) << name; // Firefox names each of its processes
                EXPECT_EQ(stats.droppedAtGaps + stats.droppedCut + stats.beganBefore + stats.notHttp, 0u) << name;
            }
        }
    }
}

TEST(ProbeStream, LostCallsChunksAndCutCallsStopTheConnection) {
    const Caller lostCall{1, "a", 0x1}, lostChunk{2, "b", 0x2}, cut{3, "c", 0x3}, received{4, "d", 0x4};
    ProbeStreamWriter w;
    // A lost call between two of HTTP/2: the header table may have changed, so nothing after is read.
    w.Call(lostCall, Direction::Sent, Http2Requests({get("h.example", "/1.mp4")}));
    w.LostCall(lostCall, Direction::Sent);
    w.Call(lostCall, Direction::Sent, Http2Requests({get("h.example", "/2.mp4")}, false, 5));
    // A chunk lost inside a call, then calls that are whole.
    w.Call(lostChunk, Direction::Sent, HttpGet("h.example", "/3.mp4") + HttpGet("h.example", "/4.mp4"), 16, 4);
    w.Call(lostChunk, Direction::Sent, HttpGet("h.example", "/5.mp4"));
    // A call larger than the helper reports (a large upload), then a request.
    w.Call(cut, Direction::Sent, HttpGet("h.example", "/6.mp4"));
    w.CutCall(cut, Direction::Sent, std::string(probe::kMaxCallBytes, 'x'), probe::kMaxCallBytes + 100);
    w.Call(cut, Direction::Sent, HttpGet("h.example", "/7.mp4"));
    // A lost answer counts as well.
    w.Call(received, Direction::Sent, HttpGet("h.example", "/8.mp4"));
    w.Call(received, Direction::Received, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    w.LostCall(received, Direction::Received);
    w.Call(received, Direction::Received, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    w.Call(received, Direction::Sent, HttpGet("h.example", "/9.mp4"));

    ProbedEngine probed;
    ASSERT_TRUE(probed.Feed(w.Bytes()));
    EXPECT_EQ(probed.Rows(), (std::vector<std::string>{"https://h.example/1.mp4", "https://h.example/3.mp4",
                                                       "https://h.example/6.mp4", "https://h.example/8.mp4"}));
    const probe::ProbeStats stats = probed.engine.ProbeCounts();
    EXPECT_EQ(stats.connections, 4u);
    EXPECT_EQ(stats.droppedAtGaps, 3u);
    EXPECT_EQ(stats.droppedCut, 1u);
}

TEST(ProbeStream, ReusedHandleIsReadAsANewConnection) {
    const Caller browser{50, "browser", 0xabc};
    ProbeStreamWriter w;
    w.Connection(browser, 7, 41000, 443);
    w.Call(browser, Direction::Sent, Http2Requests({get("one.example", "/a.mp4")}));
    w.LostCall(browser, Direction::Sent); // the first connection is given up here
    w.Call(browser, Direction::Sent, Http2Requests({get("one.example", "/lost.mp4")}, false, 3));
    // The library freed the object and gave the same address to a new connection on another socket:
    // its sequence numbers go on from the old one's.
    w.Connection(browser, 8, 41001, 443);
    w.Call(browser, Direction::Sent, Http2Requests({get("two.example", "/b.mp4")}));
    // Another, HTTP/1.1 this time, after a call of the last one that was not reported.
    w.LostCall(browser, Direction::Sent);
    w.Connection(browser, 9, 41002, 443);
    w.Call(browser, Direction::Sent, HttpGet("three.example", "/c.mp4"));
    // The same socket told again is the same connection.
    w.Connection(browser, 9, 41002, 443);
    w.Call(browser, Direction::Sent, HttpGet("three.example", "/d.mp4"));
    // A new connection whose socket the helper did not tell: its bytes begin with the preface.
    w.LostCall(browser, Direction::Sent);
    w.Call(browser, Direction::Sent, Http2Requests({get("four.example", "/e.mp4")}));

    ProbedEngine probed;
    ASSERT_TRUE(probed.Feed(w.Bytes()));
    EXPECT_EQ(probed.Rows(), (std::vector<std::string>{"https://one.example/a.mp4", "https://two.example/b.mp4",
                                                       "https://three.example/c.mp4", "https://three.example/d.mp4",
                                                       "https://four.example/e.mp4"}));
    EXPECT_EQ(probed.engine.ProbeCounts().connections, 4u);
    EXPECT_EQ(probed.engine.ProbeCounts().droppedAtGaps, 1u);
}

TEST(ProbeStream, ConnectionRunningBeforeTheProbeIsCountedNotRead) {
    // HTTP/2 caught mid-connection: its header blocks may refer to a table the probe never saw.
    const Caller midStream{60, "browser", 0x60}, fresh{60, "browser", 0x61};
    ProbeStreamWriter w;
    w.Call(midStream, Direction::Sent, Http2Requests({get("old.example", "/x.mp4")}, false, 41));
    w.Call(midStream, Direction::Received, std::string_view("\0\0\0\x04\x01\0\0\0\0", 9));
    w.Call(midStream, Direction::Sent, Http2Requests({get("old.example", "/y.mp4")}, false, 43));
    w.Call(fresh, Direction::Sent, Http2Requests({get("new.example", "/z.mp4")}));

    ProbedEngine probed;
    ASSERT_TRUE(probed.Feed(w.Bytes()));
    EXPECT_EQ(probed.Rows(), std::vector<std::string>{"https://new.example/z.mp4"});
    EXPECT_EQ(probed.engine.ProbeCounts().beganBefore, 1u);
    EXPECT_EQ(probed.engine.ProbeCounts().connections, 1u);
}

TEST(ProbeStream, RequestSeenByProbeAndKeyLogIsListedOnce) {
    // curl's HTTP/2 requests decrypted from the capture with its key log, and the same requests as
    // the probe saw curl write them; whichever comes first lists them.
    ProbeStreamWriter w;
    const Caller curl{900, "curl", 0x900};
    w.Process(curl, "/usr/bin/curl");
    w.Call(curl, Direction::Sent,
           Http2Requests({get("media.velmora.test:8443", "/media/clip.mp4"),
                          get("media.velmora.test:8443", "/only/the-probe-saw.mp4")}));
    const std::string base = std::string(VELMORA_TEST_DATA) + "/media_h2_tls";
    int linkType = 0;
    const std::vector<Frame> frames = readPcap(base + ".pcap", linkType);
    ASSERT_FALSE(frames.empty());
    std::vector<std::string> seen[2];
    for (const bool probeFirst : {false, true}) {
        ProbedEngine probed;
        ASSERT_TRUE(probed.engine.OpenKeyLog(base + ".keys"));
        if (probeFirst)
            probed.Feed(w.Bytes());
        for (const Frame& frame : frames)
            probed.engine.FrameReceived(frame, linkType, {0, 0, true, true});
        if (!probeFirst)
            probed.Feed(w.Bytes());
        probed.engine.EndCapture();
        std::vector<std::string> rows = probed.Rows();
        for (const std::string& address : {std::string("https://media.velmora.test:8443/media/clip.mp4"),
                                           std::string("https://media.velmora.test:8443/only/the-probe-saw.mp4")})
            EXPECT_EQ(std::count(rows.begin(), rows.end(), address), 1)
                << address << (probeFirst ? " probe first" : "");
        EXPECT_GT(probed.engine.Stats().decrypted, 0u);
        std::sort(rows.begin(), rows.end());
        seen[probeFirst] = rows;
        // The row only the probe saw is the program's; the clip is the probe's only when it came first.
        for (const ResultRow& row : probed.engine.Results().Rows()) {
            const std::string address = utf8::FromU16(row.address);
            if (address.ends_with("the-probe-saw.mp4") || (probeFirst && address.ends_with("clip.mp4"))) {
                EXPECT_EQ(probed.engine.ProgramOf(row)->executable, "/usr/bin/curl") << address;
            } else if (address.ends_with("clip.mp4")) {
                EXPECT_FALSE(probed.engine.ProgramOf(row)) << address;
            }
        }
    }
    EXPECT_EQ(seen[0], seen[1]);
}

TEST(ProbeStream, HostileStreamsAreBoundedAndReported) {
    const Caller c{1, "x", 0x1};
    const std::vector<std::uint8_t> good = ProbeStreamWriter::DataRecord(c, Direction::Sent, 0, 40, 0, probe::LastChunk,
                                                                         HttpGet("h.example", "/a.mp4").substr(0, 40));
    auto with = [&](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> record = good;
        record[at] = value;
        return record;
    };
    std::vector<std::uint8_t> tooLarge = good;
    tooLarge[0] = 0xff, tooLarge[1] = 0xff; // a size past kMaxRecordBytes
    std::vector<std::uint8_t> pastTheCall =
        ProbeStreamWriter::DataRecord(c, Direction::Sent, 0, 10, 5, 0, "0123456789");
    std::vector<std::uint8_t> connectionTooShort =
        ProbeStreamWriter::DataRecord(c, Direction::Sent, 0, 4, 0, 0, "abcd");
    connectionTooShort[4] = 2; // a connection record of a data record's size
    struct Case {
        const char* name;
        std::vector<std::uint8_t> record;
        const char* problem;
    };
    const std::vector<Case> cases = {
        {"size below the header", with(0, 47), "record size 47"},
        {"size past the bound", tooLarge, "record size 65535"},
        {"unknown type", with(4, 9), "unknown record type 9"},
        {"unknown direction", with(probe::kHeaderBytes + 17, 2), "unknown direction 2"},
        {"unknown library", with(probe::kHeaderBytes + 16, 0), "unknown library 0"},
        {"unknown flag", with(6, 8), "unknown data flags"},
        {"bytes past the call", pastTheCall, "past the call's 10"},
        {"connection of the wrong size", connectionTooShort, "connection record of"},
    };
    for (const Case& bad : cases) {
        ProbeStreamWriter w;
        w.Call(c, Direction::Sent, HttpGet("h.example", "/before.mp4"));
        w.Raw(bad.record);
        w.Call({2, "y", 0x2}, Direction::Sent, HttpGet("h.example", "/after.mp4"));
        for (const std::size_t piece : {std::size_t{3}, SIZE_MAX}) {
            ProbedEngine probed;
            EXPECT_FALSE(probed.Feed(w.Bytes(), piece)) << bad.name;
            EXPECT_NE(probed.engine.ProbeProblem().find(bad.problem), std::string::npos)
                << bad.name << ": " << probed.engine.ProbeProblem();
            EXPECT_EQ(probed.Rows(), std::vector<std::string>{"https://h.example/before.mp4"}) << bad.name;
            EXPECT_EQ(probed.engine.ProbeCounts().malformed, 1u);
            EXPECT_FALSE(probed.engine.ProbeEnded());
        }
    }
    {
        // A stream that ends inside a record.
        ProbedEngine probed;
        EXPECT_TRUE(probed.Feed(std::vector<std::uint8_t>(good.begin(), good.end() - 1)));
        EXPECT_FALSE(probed.engine.ProbeEnded());
        EXPECT_NE(probed.engine.ProbeProblem().find("ended 107 bytes into a record"), std::string::npos)
            << probed.engine.ProbeProblem();
    }
    {
        // 100,000 handles, each with a request head that never ends: the table and its bytes stay within
        // their bounds, the idlest go, and a connection made after them is still read.
        CaptureEngine::Limits limits;
        limits.connections = 512;
        limits.connectionBytes = std::size_t{1} << 20;
        ProbedEngine probed(limits);
        ProbeStreamWriter w;
        const std::string head = "GET /" + std::string(2000, 'p') + " HTTP/1.1\r\nHost: h.example\r\n";
        for (std::uint64_t handle = 0; handle < 100'000; ++handle) {
            w.Call({7, "flood", 0x1000 + handle}, Direction::Sent, head);
            if (w.Bytes().size() > (8u << 20)) {
                ASSERT_TRUE(probed.Feed(w.Bytes()));
                w = ProbeStreamWriter();
                ASSERT_LE(probed.engine.ConnectionsBudget().UsedBytes(), limits.connectionBytes);
                ASSERT_LE(probed.engine.ConnectionsBudget().UsedConnections(), limits.connections);
            }
        }
        w.Call({8, "late", 0x1}, Direction::Sent, HttpGet("late.example", "/late.mp4"));
        ASSERT_TRUE(probed.Feed(w.Bytes()));
        EXPECT_EQ(probed.Rows(), std::vector<std::string>{"https://late.example/late.mp4"});
        const probe::ProbeStats stats = probed.engine.ProbeCounts();
        EXPECT_EQ(stats.connections, 100'001u);
        EXPECT_GE(stats.evicted, 100'000u - limits.connections);
        EXPECT_LE(probed.engine.ConnectionsBudget().UsedConnections(), limits.connections);
    }
}

} // namespace
} // namespace velmora::test
