// The HTTPS path fed crafted captures and key logs (tests/support/TlsCaptureWriter): header blocks
// that refer back to long values, endpoints and client randoms made to share a bucket, segments and
// records that cost more than their bytes, connections that hold the budget, spoofed and reused
// endpoints, and key logs others can write. Each keeps every real request and every bound.
#include "ClearTextCaptures.h"
#include "HttpsExtraction.h"
#include "PcapFrames.h"
#include "TlsCaptureWriter.h"
#include "engine/CaptureEngine.h"
#include "http/HttpRequestReader.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnectionTable.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

constexpr int kEthernet = 1;
constexpr std::uint32_t kClientAddress = 0x0A000001; // 10.0.0.1, talking to 127.0.0.1:443

fs::path tempPath(const std::string& name) {
    return fs::temp_directory_path() / ("velmora-" + name + "-" + std::to_string(getpid()));
}

// The frame path with a key log file holding `keys`; End() closes every connection and checks that
// each was counted in exactly one outcome.
struct KeyedRun : Extraction {
    fs::path keyLog;
    explicit KeyedRun(const std::string& keys, HttpsRequestFinder::Limits limits = {}) : Extraction(limits) {
        keyLog = tempPath("hostile-keys");
        std::ofstream(keyLog) << keys;
        EXPECT_TRUE(https.OpenKeyLog(keyLog));
    }
    ~KeyedRun() { fs::remove(keyLog); }
    void Feed(const std::vector<Bytes>& frames) {
        for (const Bytes& frame : frames)
            Frame(frame, kEthernet);
    }
    TlsStats End() {
        https.EndCapture();
        const TlsStats s = https.Stats();
        EXPECT_EQ(s.seen, s.decrypted + s.withGaps + s.withoutKeys + s.unsupported + s.failed) << statsText(s);
        return s;
    }
};

void append(std::vector<Bytes>& to, std::vector<Bytes> frames) {
    to.insert(to.end(), std::make_move_iterator(frames.begin()), std::make_move_iterator(frames.end()));
}

// HPACK by hand (RFC 7541), as a hostile client would write it.
void hpackInteger(Bytes& out, std::uint8_t first, int prefixBits, std::size_t value) {
    const std::size_t max = (std::size_t{1} << prefixBits) - 1;
    if (value < max) {
        out.push_back(static_cast<std::uint8_t>(first | value));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(first | max));
    for (value -= max; value >= 128; value >>= 7)
        out.push_back(static_cast<std::uint8_t>(value % 128 + 128));
    out.push_back(static_cast<std::uint8_t>(value));
}
struct Hpack {
    Bytes bytes;
    Hpack& Indexed(std::size_t index) { return hpackInteger(bytes, 0x80, 7, index), *this; }
    Hpack& TableSize(std::size_t size) { return hpackInteger(bytes, 0x20, 5, size), *this; }
    // A literal value under a static table name; `keep` adds it to the dynamic table.
    Hpack& Literal(std::size_t nameIndex, std::string_view value, bool keep = false) {
        hpackInteger(bytes, keep ? 0x40 : 0x00, keep ? 6 : 4, nameIndex);
        hpackInteger(bytes, 0x00, 7, value.size());
        bytes.insert(bytes.end(), value.begin(), value.end());
        return *this;
    }
    Hpack& Get() { return Indexed(2).Indexed(7); } // :method GET, :scheme https
};
constexpr std::size_t kAuthority = 1, kPath = 4, kCookie = 32, kNewest = 62;

// The frames of one HTTP/2 connection from client port `port`.
std::vector<Bytes> http2Connection(TlsClient& client, std::uint16_t port, const std::vector<Hpack>& blocks) {
    std::vector<Bytes> raw;
    for (const Hpack& block : blocks)
        raw.push_back(block.bytes);
    TcpFlow flow(kClientAddress, port);
    return HttpsFrames(client, flow, {Http2Stream(raw)});
}

std::size_t heapInUse() {
    return mallinfo2().uordblks;
}

struct Collected final : HttpRequestSink {
    std::vector<std::string> targets;
    void Request(HttpRequest& request) override { targets.push_back(request.target); }
};

// The connection table alone, fed frames as the finder feeds it.
struct Table {
    KeyLog keyLog;
    Collected sink;
    TlsConnectionTable table;
    explicit Table(const HttpsRequestFinder::Limits& limits = {}) : table(keyLog, sink, limits) {}
    void Feed(const Bytes& frame) {
        TcpSegment segment;
        ASSERT_TRUE(ReadTcpSegment(frame, kEthernet, segment));
        table.Segment(segment, 1);
    }
};

} // namespace

TEST(HostileHttps, LongAddressesReferredBackAreRefusedAndRowsGrowOnlyWithTraffic) {
    // One 60,000-byte path into the dynamic table, then blocks of a few bytes that pair it with a
    // new authority each.
    TlsClient hostile(1);
    std::vector<Hpack> blocks{Hpack()
                                  .TableSize(65536)
                                  .Get()
                                  .Literal(kAuthority, "media.example", true)
                                  .Literal(kPath, "/" + std::string(60000, 'a') + ".mp4", true)};
    for (int i = 0; i < 300; ++i)
        blocks.push_back(Hpack().Get().Literal(kAuthority, "h" + std::to_string(i) + ".example").Indexed(kNewest));
    blocks.push_back(Hpack().Get().Literal(kAuthority, "ok.example").Literal(kPath, "/ok/clip.mp4"));
    // A path just under the bound, paired with 2,000 authorities: the rows may carry a few times the
    // bytes the client sent, no more.
    TlsClient amplifying(2);
    const std::string path = "/" + std::string(8000, 'b') + ".mp4";
    std::vector<Hpack> many{Hpack().TableSize(65536).Get().Literal(kAuthority, "m.example").Literal(kPath, path, true)};
    for (int i = 0; i < 2000; ++i)
        many.push_back(Hpack().Get().Literal(kAuthority, "m" + std::to_string(i) + ".example").Indexed(kNewest));
    std::vector<Bytes> frames = http2Connection(hostile, 40001, blocks);
    append(frames, http2Connection(amplifying, 40002, many));
    std::size_t sent = 0;
    for (const Bytes& frame : frames)
        sent += frame.size();

    KeyedRun run(hostile.KeyLogLines() + amplifying.KeyLogLines());
    run.Feed(frames);
    const auto rows = run.Rows(false);
    ASSERT_FALSE(rows.empty());
    ASSERT_LT(rows.size(), 100u); // (the rows are too long to print)
    EXPECT_TRUE(rows.front() == "https://ok.example/ok/clip.mp4") << rows.front().substr(0, 80);
    std::size_t addressBytes = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_NE(rows[i].find("bbbb.mp4"), std::string::npos) << rows[i].substr(0, 80);
        addressBytes += rows[i].size();
    }
    EXPECT_GT(rows.size(), 2u); // the second connection's first rows are listed
    EXPECT_LE(addressBytes, HttpRequestReader::kAddressAllowance + HttpRequestReader::kAddressPerSentByte * sent);
    EXPECT_EQ(statsText(run.End()), "2 seen, 2 decrypted, 0 without keys, 0 unsupported, 0 failed");
}

TEST(HostileHttps, RepeatedPseudoHeadersAndOverlongDecodedBlocksAreMalformed) {
    TlsClient client(3);
    const std::vector<Hpack> blocks{
        // :path twice (RFC 9113 section 8.3)
        Hpack().Get().Literal(kAuthority, "a.example").Literal(kPath, "/one.mp4").Literal(kPath, "/two.mp4"),
        // :method twice
        Hpack().Get().Indexed(2).Literal(kAuthority, "a.example").Literal(kPath, "/three.mp4"),
        // a 3,000-byte cookie into the table, then 25 one-byte references to it
        [] {
            Hpack h;
            h.Get()
                .Literal(kAuthority, "a.example")
                .Literal(kPath, "/four.mp4")
                .Literal(kCookie, std::string(3000, 'c'), true);
            for (int i = 0; i < 25; ++i)
                h.Indexed(kNewest);
            return h;
        }(),
        // after them the stream reads on, the dynamic table as the client's
        Hpack().Get().Literal(kAuthority, "a.example").Literal(kPath, "/five.mp4").Indexed(kNewest),
    };
    KeyedRun run(client.KeyLogLines());
    run.Feed(http2Connection(client, 40003, blocks));
    EXPECT_EQ(run.Rows(false), std::vector<std::string>{"https://a.example/five.mp4"});
    EXPECT_EQ(statsText(run.End()), "1 seen, 1 decrypted, 0 without keys, 0 unsupported, 0 failed");
}

TEST(HostileHttps, EndpointsCraftedAgainstAFixedHashSpreadOverTheTable) {
    // 1,024 client endpoints whose key bytes (as the table lays them out) share one bucket of
    // std::hash at the table's size.
    std::unordered_map<int, int> sized;
    for (int i = 0; i < 1024; ++i)
        sized[i] = i;
    const std::size_t buckets = sized.bucket_count();
    std::vector<std::pair<std::uint32_t, std::uint16_t>> crafted;
    std::size_t target = SIZE_MAX;
    for (std::uint32_t candidate = 0; crafted.size() < 1024; ++candidate) {
        const std::uint32_t address = 0x0A000000 | (candidate >> 14);
        const auto port = static_cast<std::uint16_t>(1024 + (candidate & 0x3FFF));
        std::array<char, 40> key{};
        const std::uint8_t bytes[] = {static_cast<std::uint8_t>(address >> 24),
                                      static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
                                      static_cast<std::uint8_t>(address)};
        std::memcpy(key.data(), bytes, 4);
        key[16] = static_cast<char>(port >> 8), key[17] = static_cast<char>(port);
        key[18] = 127, key[21] = 1, key[34] = 443 >> 8, key[35] = static_cast<char>(443 & 0xFF), key[36] = 4;
        const std::size_t bucket = std::hash<std::string_view>{}(std::string_view(key.data(), key.size())) % buckets;
        if (target == SIZE_MAX)
            target = bucket;
        if (bucket == target)
            crafted.emplace_back(address, port);
    }
    Table t;
    for (const auto& [address, port] : crafted) {
        TcpFlow flow(address, port);
        t.Feed(flow.Client(TlsClient(port).ClientHello()));
    }
    EXPECT_EQ(t.table.size(), 1024u);
    EXPECT_LE(t.table.LongestChain(), 12u);
}

TEST(HostileHttps, ClientRandomsSharingTheirFirstBytesSpreadOverTheKeyLog) {
    KeyLog log;
    std::string text;
    char line[200];
    for (int i = 0; i < 4096; ++i) {
        std::snprintf(line, sizeof line, "CLIENT_RANDOM 0011223344556677%048x %096d\n", i * 7919, i);
        text += line;
    }
    log.AddText(text);
    EXPECT_EQ(log.size(), 4096u);
    EXPECT_LE(log.LongestChain(), 12u);
    std::array<std::uint8_t, 32> random{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const std::uint32_t last = 4095 * 7919;
    for (int i = 0; i < 4; ++i)
        random[28 + i] = static_cast<std::uint8_t>(last >> (24 - 8 * i));
    EXPECT_NE(log.Find(random), nullptr);
}

TEST(HostileHttps, SegmentsHeldAheadOfAGapCostWhatTheHeapHolds) {
    // A request's records sent a byte a segment, all but the first byte before it: the held bytes
    // join into one run, and the request is read when the gap fills.
    TlsClient client(5);
    TcpFlow flow(kClientAddress, 40005);
    std::vector<Bytes> frames{flow.Client(client.ClientHello()), flow.Server(TlsClient::ServerHello()),
                              flow.Client(client.Finished())};
    const Bytes records = client.ApplicationData(AsBytes(HttpGet("a.example", "/one.mp4")));
    const std::uint32_t start = flow.ClientNext();
    for (std::size_t i = 1; i < records.size(); ++i)
        frames.push_back(
            flow.ClientAt(start + static_cast<std::uint32_t>(i), std::span(records).subspan(i, 1), tcp::kAck));
    frames.push_back(flow.ClientAt(start, std::span(records).first(1), tcp::kAck));
    // A second connection sends one byte in every two ahead of a gap, 200,000 times.
    TlsClient hostile(6);
    TcpFlow holes(kClientAddress, 40006);
    frames.push_back(holes.Client(hostile.ClientHello()));
    frames.push_back(holes.Server(TlsClient::ServerHello()));
    const std::uint32_t after = holes.ClientNext() + 1;
    const std::uint8_t one = 0x17;
    for (std::uint32_t i = 0; i < 200000; ++i)
        frames.push_back(holes.ClientAt(after + 2 * i, std::span(&one, 1), tcp::kAck));

    Table t;
    t.keyLog.AddText(client.KeyLogLines() + hostile.KeyLogLines());
    const std::size_t before = heapInUse();
    for (const Bytes& frame : frames)
        t.Feed(frame);
    const std::size_t grown = heapInUse() - before;
    EXPECT_EQ(t.sink.targets, std::vector<std::string>{"/one.mp4"});
    EXPECT_LE(grown, t.table.BytesHeld() + (64 << 10)) << "held " << t.table.BytesHeld();
    EXPECT_LE(t.table.BytesHeld(), HttpsRequestFinder::Limits{}.connectionBytes * 2);
}

TEST(HostileHttps, ArrivalsBuffersAndOpenedRecordsCostWhatTheHeapHolds) {
    std::vector<Bytes> frames;
    std::string keys;
    // 256 connections each send a record header announcing 16 KiB, then its body a byte a segment
    // (an arrival record each, and a buffer that grows a byte at a time) and no server hello.
    const std::uint8_t header[] = {23, 3, 3, 0x40, 0};
    const std::uint8_t one = 0;
    for (std::uint16_t c = 0; c < 256; ++c) {
        TcpFlow flow(kClientAddress, static_cast<std::uint16_t>(20000 + c));
        frames.push_back(flow.Client(TlsClient(c).ClientHello()));
        frames.push_back(flow.Client(header));
        for (int i = 0; i < 1000; ++i)
            frames.push_back(flow.Client(std::span(&one, 1)));
    }
    // 256 connections with keys each send one 16 KiB record (a request with its body), opened and
    // read, and then stay open.
    const std::string body(16000, 'x');
    for (std::uint16_t c = 0; c < 256; ++c) {
        TlsClient client(1000 + c);
        TcpFlow flow(kClientAddress, static_cast<std::uint16_t>(30000 + c));
        append(frames, HttpsFrames(client, flow,
                                   {"POST /up HTTP/1.1\r\nHost: a.example\r\nContent-Length: 16000\r\n\r\n" + body}));
        keys += client.KeyLogLines();
    }
    Table t;
    t.keyLog.AddText(keys);
    const std::size_t before = heapInUse();
    for (const Bytes& frame : frames)
        t.Feed(frame);
    const std::size_t grown = heapInUse() - before;
    EXPECT_EQ(t.sink.targets.size(), 256u);
    EXPECT_EQ(t.table.size(), 512u);
    EXPECT_LE(grown, t.table.BytesHeld() + (256 << 10)) << "held " << t.table.BytesHeld();
}

TEST(HostileHttps, ConnectionsHoldingTheBudgetCannotStarveNewcomers) {
    // The product's budgets scaled down eight times: 8 MiB shared, 1 MiB a connection.
    HttpsRequestFinder::Limits limits;
    limits.totalBytes = 8 << 20;
    std::string keys;
    std::vector<TlsClient> ordinary;
    for (std::uint16_t c = 0; c < 300; ++c) {
        ordinary.emplace_back(5000 + c);
        keys += ordinary.back().KeyLogLines();
    }
    KeyedRun run(keys, limits);
    Bytes junk;
    for (int i = 0; i < 64; ++i) {
        junk.insert(junk.end(), {23, 3, 3, 0x40, 0});
        junk.resize(junk.size() + 16384, 0xA5);
    }
    // Nine clients talk to no server and send records that, held, fill the shared budget to within a
    // hundred bytes; then eight have a server but no keys, and send just under 1 MiB each. All stay.
    std::vector<std::size_t> hogs(8, 1040384);
    hogs.push_back(65436);
    hogs.insert(hogs.end(), 8, 1040384);
    for (std::uint16_t c = 0; c < hogs.size(); ++c) {
        TlsClient client(c);
        TcpFlow flow(kClientAddress, static_cast<std::uint16_t>(10000 + c));
        run.Frame(flow.Client(client.ClientHello()), kEthernet);
        if (c >= 9)
            run.Frame(flow.Server(TlsClient::ServerHello()), kEthernet);
        for (std::size_t at = 0; at < hogs[c]; at += 16384)
            run.Frame(flow.Client(std::span(junk).subspan(at, std::min<std::size_t>(16384, hogs[c] - at))), kEthernet);
    }
    // Then 300 ordinary connections, a request each.
    for (std::uint16_t c = 0; c < 300; ++c) {
        TcpFlow flow(kClientAddress, static_cast<std::uint16_t>(50000 + c));
        run.Feed(HttpsFrames(ordinary[c], flow, {HttpGet("a.example", "/v/" + std::to_string(c) + ".mp4")}));
    }
    EXPECT_EQ(run.results.size(), 300u);
    const TlsStats stats = run.End();
    EXPECT_EQ(stats.seen, 317u);
    EXPECT_EQ(stats.decrypted, 300u);
}

TEST(HostileHttps, SpoofedSegmentsDoNotEndAConnection) {
    TlsClient client(7);
    TcpFlow flow(kClientAddress, 40007);
    std::vector<Bytes> frames = HttpsFrames(client, flow, {HttpGet("a.example", "/r1.mp4")});
    const std::uint8_t junk[] = {23, 3, 3, 0, 1, 0};
    auto request = [&](const char* target) {
        frames.push_back(flow.Client(client.ApplicationData(AsBytes(HttpGet("a.example", target)))));
    };
    frames.push_back(flow.ClientAt(flow.ClientNext() + (2 << 20), junk, tcp::kAck)); // far past the window
    request("/r2.mp4");
    frames.push_back(flow.ClientAt(flow.ClientNext() + 5000, {}, tcp::kRst));      // the client's RST, elsewhere
    frames.push_back(flow.ServerAt(flow.ServerNext() + 123456789, {}, tcp::kRst)); // the server's
    request("/r3.mp4");
    frames.push_back(flow.ClientAt(flow.ClientNext() - 777, {}, tcp::kFin | tcp::kAck));  // a FIN behind the stream
    frames.push_back(flow.ClientAt(flow.ClientNext() + 3000, {}, tcp::kFin | tcp::kAck)); // and ahead of it
    request("/r4.mp4");
    frames.push_back(flow.Client({}, tcp::kFin | tcp::kAck)); // the real end
    // A second connection ends with a RST where its stream stands: a request after it is not read.
    TlsClient other(8);
    TcpFlow reset(kClientAddress, 40008);
    append(frames, HttpsFrames(other, reset, {HttpGet("a.example", "/s1.mp4")}));
    frames.push_back(reset.Client({}, tcp::kRst));
    frames.push_back(reset.Client(other.ApplicationData(AsBytes(HttpGet("a.example", "/s2.mp4")))));

    KeyedRun run(client.KeyLogLines() + other.KeyLogLines());
    run.Feed(frames);
    EXPECT_EQ(run.Rows(false), (std::vector<std::string>{"https://a.example/r1.mp4", "https://a.example/r2.mp4",
                                                         "https://a.example/r3.mp4", "https://a.example/r4.mp4",
                                                         "https://a.example/s1.mp4"}));
    EXPECT_EQ(statsText(run.End()), "2 seen, 2 decrypted, 0 without keys, 0 unsupported, 0 failed");
}

TEST(HostileHttps, ANewConnectionOnTheSamePortsIsFollowedAfresh) {
    // Three connections on one pair of endpoints, none of whose ends was captured: the second opens
    // with a SYN just past the first's stream (as a reused port's often is), the third with a
    // ClientHello far from where the second's stream stood.
    TlsClient first(9), second(10), third(11);
    TcpFlow a(kClientAddress, 40009, 1000, 50000), b(kClientAddress, 40009, 9000, 7000000),
        c(kClientAddress, 40009, 3000000000u, 123);
    std::vector<Bytes> frames = HttpsFrames(first, a, {HttpGet("a.example", "/a.mp4")});
    frames.push_back(b.Syn());
    append(frames, HttpsFrames(second, b, {HttpGet("a.example", "/b.mp4")}));
    append(frames, HttpsFrames(third, c, {HttpGet("a.example", "/c.mp4")}));
    // The first connection's last request, retransmitted late, is still its own and changes nothing.
    frames.push_back(frames[3]);

    KeyedRun run(first.KeyLogLines() + second.KeyLogLines() + third.KeyLogLines());
    run.Feed(frames);
    EXPECT_EQ(run.Rows(false), (std::vector<std::string>{"https://a.example/a.mp4", "https://a.example/b.mp4",
                                                         "https://a.example/c.mp4"}));
    EXPECT_EQ(statsText(run.End()), "3 seen, 3 decrypted, 0 without keys, 0 unsupported, 0 failed");
}

TEST(HostileHttps, EveryConnectionEndsInOneOutcome) {
    TlsClient late(12), refused(13), cut(14), keyless(15), fine(16);
    std::vector<Bytes> frames;
    {
        // The server's hello captured before the client's.
        TcpFlow flow(kClientAddress, 40012);
        const Bytes hello = flow.Client(late.ClientHello());
        frames.push_back(flow.Server(TlsClient::ServerHello()));
        frames.push_back(hello);
        frames.push_back(flow.Client(late.Finished()));
        frames.push_back(flow.Client(late.ApplicationData(AsBytes(HttpGet("a.example", "/late.mp4")))));
    }
    {
        // An alert for an answer.
        TcpFlow flow(kClientAddress, 40013);
        frames.push_back(flow.Client(refused.ClientHello()));
        const std::uint8_t alert[] = {21, 3, 3, 0, 2, 2, 40};
        frames.push_back(flow.Server(alert));
    }
    {
        // The capture ends in the handshake.
        TcpFlow flow(kClientAddress, 40014);
        frames.push_back(flow.Client(cut.ClientHello()));
    }
    TcpFlow noKeys(kClientAddress, 40015), ok(kClientAddress, 40016);
    append(frames, HttpsFrames(keyless, noKeys, {HttpGet("a.example", "/k.mp4")}));
    append(frames, HttpsFrames(fine, ok, {HttpGet("a.example", "/f.mp4")}));
    KeyedRun run(fine.KeyLogLines());
    run.Feed(frames);
    EXPECT_EQ(statsText(run.End()), "5 seen, 1 decrypted, 1 without keys, 0 unsupported, 3 failed");
}

TEST(HostileHttps, KeysReadWhileDroppingAConnectionReachTheOthers) {
    // Two connections wait for keys in a table of two; their keys are written; a third connection
    // drops the idlest, whose last look reads the keys: the other gets them at once.
    TlsClient a(17), b(18), c(19);
    TcpFlow fa(kClientAddress, 40017), fb(kClientAddress, 40018), fc(kClientAddress, 40019);
    const auto framesA = HttpsFrames(a, fa, {HttpGet("a.example", "/a.mp4")});
    const auto framesB = HttpsFrames(b, fb, {HttpGet("a.example", "/b.mp4")});
    const Bytes helloC = fc.Client(c.ClientHello());
    HttpsRequestFinder::Limits two;
    two.connections = 2;
    KeyedRun run("# keys follow\n", two);
    run.Feed(framesA);
    run.Feed(framesB);
    EXPECT_EQ(run.https.Stats().withoutKeys, 2u);
    std::ofstream(run.keyLog, std::ios::app) << a.KeyLogLines() << b.KeyLogLines();
    run.Frame(helloC, kEthernet);
    EXPECT_EQ(run.Rows(false), (std::vector<std::string>{"https://a.example/a.mp4", "https://a.example/b.mp4"}));
    EXPECT_EQ(statsText(run.https.Stats()), "3 seen, 2 decrypted, 0 without keys, 0 unsupported, 0 failed");
    EXPECT_EQ(statsText(run.End()), "3 seen, 2 decrypted, 0 without keys, 0 unsupported, 1 failed");
}

TEST(HostileHttps, KeyLogsOthersCanWriteAreNamedInAWarning) {
    const fs::path path = tempPath("shared-keys");
    std::ofstream(path) << TlsClient(20).KeyLogLines();
    ::chmod(path.c_str(), 0600);
    KeyLog log;
    EXPECT_EQ(log.Open(path).warning, "");
    ::chmod(path.c_str(), 0666);
    KeyLogOpen opened = log.Open(path);
    EXPECT_TRUE(opened);
    EXPECT_EQ(log.size(), 1u); // read all the same
    EXPECT_NE(opened.warning.find(path.string()), std::string::npos) << opened.warning;
    EXPECT_NE(opened.warning.find("0666"), std::string::npos) << opened.warning;
    ::chmod(path.c_str(), 0620);
    EXPECT_NE(log.Open(path).warning.find("0620"), std::string::npos);
    if (::geteuid() == 0) {
        ::chmod(path.c_str(), 0600);
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        opened = log.Open(path);
        EXPECT_NE(opened.warning.find("another user"), std::string::npos) << opened.warning;
        EXPECT_NE(opened.warning.find("nobody"), std::string::npos) << opened.warning;
    }
    // The finder hands the warning on with the open key log.
    PacketStore store(0);
    ResultList results;
    const FileTypeTable table = shippedTable();
    MediaAddressExtractor extractor(store, results, table);
    HttpsRequestFinder finder(extractor);
    ::chmod(path.c_str(), 0666);
    opened = finder.OpenKeyLog(path);
    EXPECT_TRUE(finder.HasKeyLog());
    EXPECT_NE(opened.warning.find(path.string()), std::string::npos);
    fs::remove(path);
}

// One budget over every kind of connection followed: with decrypted TLS and QUIC connections holding
// bytes and a flood of clear-text GETs (which need no key) filling the rest, the total and the count
// stay within their bounds, and the TLS connections, within their floor, are not evicted: each
// still has its next request read.
TEST(HostileHttps, OneBudgetBoundsEveryKindAndAClearTextFloodEvictsNoDecryptedConnection) {
    CaptureEngine::Limits limits; // the product's bounds scaled down eight and sixteen times
    limits.connectionBytes = 8 << 20;
    limits.connections = 256;
    const FileTypeTable table = shippedTable();
    CaptureEngine engine(table, limits);
    std::vector<TlsClient> clients;
    std::string keys;
    for (std::uint32_t c = 0; c < 16; ++c) {
        clients.emplace_back(9000 + c);
        keys += clients.back().KeyLogLines();
    }
    std::ifstream quicKeys(std::string(VELMORA_TEST_DATA) + "/quic_chromium.keys");
    keys += std::string(std::istreambuf_iterator<char>(quicKeys), {});
    const fs::path keyLog = tempPath("shared-budget-keys");
    std::ofstream(keyLog) << keys;
    ASSERT_TRUE(engine.OpenKeyLog(keyLog));
    fs::remove(keyLog);

    std::size_t mostBytes = 0, mostConnections = 0;
    auto feed = [&](const Bytes& frame, int linkType) {
        engine.FrameReceived(frame, linkType, {0, 0});
        mostBytes = std::max(mostBytes, engine.ConnectionsBudget().UsedBytes());
        mostConnections = std::max(mostConnections, engine.ConnectionsBudget().UsedConnections());
    };
    int quicLinkType = 0;
    for (const Bytes& frame : readPcap(std::string(VELMORA_TEST_DATA) + "/quic_chromium.pcap", quicLinkType))
        feed(frame, quicLinkType);
    ASSERT_GT(engine.QuicConnections().decrypted, 0u);
    // Sixteen decrypted connections, each holding 64 KiB of records ahead of a gap.
    std::vector<TcpFlow> flows;
    const Bytes held(64 << 10, 0x17);
    for (std::uint16_t c = 0; c < 16; ++c) {
        flows.emplace_back(kClientAddress, static_cast<std::uint16_t>(30000 + c));
        for (const Bytes& frame : HttpsFrames(clients[c], flows[c], {HttpGet("media.velmora.test", "/early.mp4")}))
            feed(frame, kEthernet);
        feed(flows[c].ClientAt(flows[c].ClientNext() + 4096, held, tcp::kAck | tcp::kPsh), kEthernet);
    }
    ASSERT_EQ(engine.Stats().decrypted, 16u);
    const std::size_t before = engine.ConnectionsBudget().UsedBytes();
    for (const Bytes& frame : cleartext::UnansweredGetsCapture(400, 64, 1024))
        feed(frame, kEthernet);
    EXPECT_GT(engine.ConnectionsBudget().UsedBytes(), before + (4 << 20)); // the flood filled what was left
    EXPECT_LE(mostBytes, limits.connectionBytes);
    EXPECT_LE(mostConnections, limits.connections);
    for (std::uint16_t c = 0; c < 16; ++c) {
        const std::string target = "/late-" + std::to_string(c) + ".mp4";
        feed(flows[c].Client(clients[c].ApplicationData(AsBytes(HttpGet("media.velmora.test", target)))), kEthernet);
    }
    std::set<std::string> rows;
    for (const ResultRow& row : engine.Results().Rows())
        rows.insert(utf8::FromU16(row.address));
    for (std::uint16_t c = 0; c < 16; ++c)
        EXPECT_TRUE(rows.count("https://media.velmora.test/late-" + std::to_string(c) + ".mp4")) << c;
    engine.EndCapture();
    engine.Reset();
    EXPECT_EQ(engine.ConnectionsBudget().UsedConnections(), 0u);
}
