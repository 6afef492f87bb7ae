// The servers' answers list extensionless media, read from real captures of a media page that curl
// fetched from nginx over clear text, HTTP/1.1 over TLS and HTTP/2 over TLS, and checked against what
// tshark reads of the same answers (tests/responses/tshark-answers.sh).
#include "capture/Gbk.h"
#include "capture/HttpResponseHead.h"
#include "http/HttpExchanges.h"
#include "http/HttpRequestReader.h"
#include "tls/TlsRecordCipher.h"
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"

#include "ClearTextCaptures.h"
#include "PcapFrames.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/evp.h>

#include <algorithm>
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

// One line of tshark's answers: frame, address, status, Content-Type, Content-Length, Content-Range.
struct TsharkAnswer {
    PacketNumber frame = 0;
    int status = 0;
    std::string contentType, contentLength, contentRange;
};

std::map<std::string, TsharkAnswer> tsharkAnswers(const std::string& name) {
    std::ifstream in(kData + "/" + name + ".answers.txt");
    std::map<std::string, TsharkAnswer> answers;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        f.resize(6);
        answers[f[1]] = {std::stoull(f[0]), std::stoi(f[2]), f[3], f[4], f[5]};
    }
    return answers;
}

// A server segment captured late, as a retransmission is: in every run of 60 frames past the
// handshakes, the first server frame with payload comes last (but before the client's next bytes,
// whose acknowledgement would say it was had), so the stream resumes with a long run of bytes at once.
std::vector<Frame> withLateServerSegments(std::vector<Frame> frames) {
    auto carries = [](const Frame& f, bool server) {
        const std::size_t ip = 14, tcp = ip + (f[ip] & 0x0F) * 4u;
        const std::size_t payload = tcp + (f[tcp + 12] >> 4) * 4u;
        const unsigned port = f[tcp + (server ? 0 : 2)] << 8 | f[tcp + (server ? 1 : 3)];
        return (port == 8443 || port == 8080) && f.size() > payload;
    };
    for (std::size_t window = 30; window + 60 <= std::min<std::size_t>(frames.size(), 600); window += 60) {
        const auto begin = frames.begin() + static_cast<std::ptrdiff_t>(window);
        const auto late = std::find_if(begin, begin + 60, [&](const Frame& f) { return carries(f, true); });
        const auto client = std::find_if(late, begin + 60, [&](const Frame& f) { return carries(f, false); });
        if (late != begin + 60)
            std::rotate(late, late + 1, client);
    }
    return frames;
}

struct EngineRun {
    FileTypeTable table = LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine{table};
    std::map<std::string, ResultRow> rows; // by address

    EngineRun(const std::string& name, bool tls, bool byContentType, bool late = false) {
        if (tls)
            EXPECT_TRUE(engine.OpenKeyLog(kData + "/" + name + ".keys")) << name;
        int linkType = 0;
        auto frames = readPcap(kData + "/" + name + ".pcap", linkType);
        if (late)
            frames = withLateServerSegments(std::move(frames));
        for (const Frame& frame : frames)
            engine.FrameReceived(frame, linkType, {0, 0, byContentType});
        engine.EndCapture();
        for (const ResultRow& row : engine.Results().Rows())
            rows[utf8::FromU16(row.address)] = row;
    }
};

} // namespace

TEST(ServerAnswers, ExtensionlessMediaIsListedByItsAnswerWithTypeAndSizeAsTsharkReadsThem) {
    // The master playlist names the variant playlist, which is folded into the master's row.
    const std::set<std::string> byExtension = {"/media/clip.mp4", "/hls/master.m3u8",
                                               "/dash/manifest.mpd", "/media/clip.mp4?after=slow"};
    // Listed by the answer's media type: the type the table gives it and the size the answer gives.
    struct Listed {
        std::string path, type, contentType;
        std::uint64_t size;
    };
    const std::vector<Listed> byAnswer = {
        {"/videoplayback?id=7f3a.c2&itag=18&mime=video%2Fmp4", "视频", "video/mp4", 204800},
        {"/api/play/77812", "音频", "audio/mpeg", 153600}, // its head is padded over three segments
        {"/videoplayback?id=9b&itag=22", "视频", "video/mp4", 204800}, // 206: the complete length
        {"/slow/stream?id=1", "视频", "video/webm", 40000}, // answered after a later request's answer
    };
    const std::vector<std::string> quiet = {"/index.html", "/hls/seg1.ts", "/hls/seg2.ts", "/dash/seg1.m4s",
                                            "/images/poster.jpg", "/api/play/404"};
    struct Capture {
        const char* name;
        const char* origin;
        bool tls;
    };
    for (const Capture capture : {Capture{"media_http", "http://media.velmora.test:8080", false},
                                  Capture{"media_h1_tls", "https://media.velmora.test:8443", true},
                                  Capture{"media_h2_tls", "https://media.velmora.test:8443", true}}) {
        SCOPED_TRACE(capture.name);
        const auto tshark = tsharkAnswers(capture.name);
        ASSERT_EQ(tshark.size(), 15u);
        const EngineRun run(capture.name, capture.tls, true);
        if (capture.tls) {
            const TlsStats stats = run.engine.Stats();
            EXPECT_EQ(stats.decrypted, stats.seen);
        }
        std::set<std::string> expected;
        for (const std::string& path : byExtension)
            expected.insert(capture.origin + path);
        for (const Listed& listed : byAnswer) {
            const std::string address = capture.origin + listed.path;
            expected.insert(address);
            SCOPED_TRACE(address);
            const auto row = run.rows.find(address);
            ASSERT_NE(row, run.rows.end());
            EXPECT_EQ(utf8::FromU16(row->second.type), listed.type);
            EXPECT_EQ(row->second.contentType, listed.contentType);
            EXPECT_EQ(row->second.size, listed.size);
            // tshark's reading of the same answer: the frame that completed its head, its type and size.
            const TsharkAnswer& answer = tshark.at(address);
            EXPECT_EQ(row->second.packet, answer.frame);
            EXPECT_EQ(MediaTypeOf(answer.contentType), listed.contentType);
            const std::string size = answer.status == 206
                                         ? answer.contentRange.substr(answer.contentRange.rfind('/') + 1)
                                         : answer.contentLength;
            EXPECT_EQ(size, std::to_string(listed.size));
            // The data window's head is the whole head, padding and all.
            const auto exchange = run.engine.AnswerOf(row->second);
            ASSERT_TRUE(exchange && exchange->responseText);
            if (listed.path == "/api/play/77812")
                EXPECT_GT(exchange->responseText->size(), 3600u);
            if (capture.tls) {
                ASSERT_TRUE(exchange->requestText);
                EXPECT_NE(exchange->requestText->find(listed.path), std::string::npos);
            }
        }
        for (const std::string& path : quiet)
            EXPECT_EQ(run.rows.count(capture.origin + path), 0u) << path;
        std::set<std::string> listed;
        for (const auto& [address, row] : run.rows)
            listed.insert(address);
        EXPECT_EQ(listed, expected);
        // The master's row is the stream's: its variant played, its two segments (30,000 and 31,000 bytes).
        const ResultRow& master = run.rows.at(std::string(capture.origin) + "/hls/master.m3u8");
        EXPECT_EQ(utf8::FromU16(master.note), "HLS · 1 档 (800k) · 已播 800k · 8 秒 · 2 段 61 KB");
        EXPECT_EQ(master.size, 61000u);

        // Server segments captured late lose no answer.
        const EngineRun late(capture.name, capture.tls, true, true);
        ASSERT_EQ(late.rows.size(), run.rows.size());
        for (const auto& [address, row] : run.rows) {
            const auto other = late.rows.find(address);
            ASSERT_NE(other, late.rows.end()) << address;
            EXPECT_EQ(other->second.contentType, row.contentType) << address;
            EXPECT_EQ(other->second.size, row.size) << address;
        }

        // With the rule off the rows are the extension's alone.
        const EngineRun off(capture.name, capture.tls, false);
        std::set<std::string> offRows, offExpected;
        for (const auto& [address, row] : off.rows)
            offRows.insert(address);
        for (const std::string& path : byExtension)
            offExpected.insert(capture.origin + path);
        EXPECT_EQ(offRows, offExpected);
    }
}

// Records of HTTP/2 DATA are passed over by decrypting their frame headers alone, at any offset: what
// Peek gives must be what opening the record gives, for every TLS 1.3 AEAD, and must leave the record
// number where it was.
TEST(ServerAnswers, FrameHeadersDecryptedAloneEqualTheOpenedRecord) {
    for (const std::uint16_t id : {0x1301, 0x1302, 0x1303}) {
        SCOPED_TRACE(id);
        const TlsCipherSuite& suite = *FindTlsCipherSuite(id, true);
        std::vector<std::uint8_t> secret(suite.sha384 ? 48 : 32, 0x5A);
        std::array<std::uint8_t, 32> key{};
        std::array<std::uint8_t, 12> iv{};
        ASSERT_TRUE(TlsRecordCipher::ExpandLabel(suite.sha384, secret, "key", std::span(key.data(), suite.KeyBytes())));
        ASSERT_TRUE(TlsRecordCipher::ExpandLabel(suite.sha384, secret, "iv", iv));
        TlsRecordCipher cipher;
        ASSERT_TRUE(cipher.SetTrafficSecret(suite, secret));
        for (std::uint64_t sequence = 0; sequence < 3; ++sequence) {
            // A sealed record: 3000 bytes of application data and the inner content type.
            std::vector<std::uint8_t> inner(3001);
            for (std::size_t i = 0; i < 3000; ++i)
                inner[i] = static_cast<std::uint8_t>(i * 7 + sequence);
            inner[3000] = 23;
            std::vector<std::uint8_t> record = {23, 3, 3, static_cast<std::uint8_t>((inner.size() + 16) >> 8),
                                                static_cast<std::uint8_t>(inner.size() + 16)};
            std::array<std::uint8_t, 12> nonce = iv;
            for (int i = 0; i < 8; ++i)
                nonce[11 - i] ^= static_cast<std::uint8_t>(sequence >> (8 * i));
            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            int n = 0;
            record.resize(5 + inner.size() + 16);
            ASSERT_EQ(EVP_EncryptInit_ex(ctx, suite.Cipher(), nullptr, key.data(), nonce.data()), 1);
            ASSERT_EQ(EVP_EncryptUpdate(ctx, nullptr, &n, record.data(), 5), 1);
            ASSERT_EQ(EVP_EncryptUpdate(ctx, record.data() + 5, &n, inner.data(), static_cast<int>(inner.size())), 1);
            ASSERT_EQ(EVP_EncryptFinal_ex(ctx, record.data() + 5 + n, &n), 1);
            ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, record.data() + 5 + inner.size()), 1);
            EVP_CIPHER_CTX_free(ctx);

            for (const std::size_t offset : {0u, 1u, 15u, 16u, 63u, 64u, 65u, 1000u, 2991u}) {
                std::array<std::uint8_t, 9> header{};
                ASSERT_TRUE(cipher.Peek(record, offset, header)) << offset;
                EXPECT_TRUE(std::equal(header.begin(), header.end(), inner.begin() + static_cast<long>(offset)))
                    << offset;
            }
            std::array<std::uint8_t, 9> past{};
            EXPECT_FALSE(cipher.Peek(record, 3000 + 16 - 8, past)); // into the tag
            std::vector<std::uint8_t> plaintext;
            std::uint8_t type = 0;
            ASSERT_TRUE(cipher.Open(record, plaintext, type));
            EXPECT_EQ(type, 23);
            EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), inner.begin(), inner.begin() + 3000));
        }
    }
}

// HTTP/1.x answers pair with requests by their order: a request the reader refuses (its target past
// the bound) still takes its turn, so the answer after it goes to the request after it.
TEST(ServerAnswers, ARefusedRequestKeepsItsTurnInHttp1Pairing) {
    struct Sink final : HttpRequestSink {
        std::vector<std::string> answered;
        void Request(HttpRequest&) override {}
        std::size_t Response(const HttpRequest& request, HttpResponseHead& response) override {
            answered.push_back(request.target + " " + response.contentType);
            return 0;
        }
    } sink;
    ByteBudget budget(1 << 20);
    HttpExchanges exchanges(sink, budget);
    HttpRequestReader requests(exchanges, budget);
    const std::string client = "GET /" + std::string(HttpRequestReader::kMaxAddressPart + 1, 'a') +
                               " HTTP/1.1\r\nHost: a\r\n\r\nGET /v HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string server = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 2\r\n\r\nhi"
                               "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 0\r\n\r\n";
    auto bytes = [](const std::string& s) { return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size()); };
    ASSERT_TRUE(requests.Add(bytes(client), 1));
    ASSERT_TRUE(exchanges.ServerBytes(bytes(server), 2));
    EXPECT_EQ(sink.answered, std::vector<std::string>{"/v video/mp4"});
}

namespace {

// A crafted clear-text capture through the engine: each row's address with its answer's type.
std::map<std::string, std::string> craftedRows(const std::vector<test::Bytes>& frames) {
    const FileTypeTable table =
        LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine(table);
    for (const test::Bytes& frame : frames)
        engine.FrameReceived(frame, 1, {0, 0, true});
    engine.EndCapture();
    std::map<std::string, std::string> rows;
    for (const ResultRow& row : engine.Results().Rows())
        rows[utf8::FromU16(row.address)] = row.contentType;
    return rows;
}

} // namespace

// A RST or FIN ends a clear-text connection only where its sender's stream stands, and the client's
// half-close ends nothing: the answer still coming is read.
TEST(ServerAnswers, SpoofedEndsAndTheClientsHalfCloseKeepTheAnswerComing) {
    const auto rows = craftedRows(test::cleartext::SpoofedEndsCapture());
    for (const char* clip : {"/clip1", "/clip2", "/clip3", "/clip4"}) {
        SCOPED_TRACE(clip);
        ASSERT_TRUE(rows.count(test::cleartext::Address(clip)));
        EXPECT_EQ(rows.at(test::cleartext::Address(clip)), "video/mp4");
    }
}

// A new SYN on a four-tuple whose first connection's end was not captured starts a new connection.
TEST(ServerAnswers, AFourTupleReusedAfterANewSynHasBothAnswers) {
    const auto rows = craftedRows(test::cleartext::ReusedPortCapture());
    for (const char* clip : {"/clip5", "/clip6"}) {
        SCOPED_TRACE(clip);
        ASSERT_TRUE(rows.count(test::cleartext::Address(clip)));
        EXPECT_EQ(rows.at(test::cleartext::Address(clip)), "video/mp4");
    }
}

// Bytes within a request's body (by Content-Length, or chunked) are never read as a request, so the
// answers after it keep their pairing.
TEST(ServerAnswers, RequestBodiesAreNeverReadAsRequests) {
    const auto rows = craftedRows(test::cleartext::PostBodyCapture());
    ASSERT_TRUE(rows.count(test::cleartext::Address("/clip7")));
    EXPECT_EQ(rows.at(test::cleartext::Address("/clip7")), "video/mp4");
    for (const auto& [address, type] : rows)
        EXPECT_EQ(address.find("other.test"), std::string::npos) << address << " " << type;
}

// Unanswered GETs are held within the budget, each address no longer than the decrypting path takes.
TEST(ServerAnswers, PendingRequestsAreHeldWithinTheBudget) {
    ClearTextExchanges::Limits limits;
    limits.totalBytes = 4 << 20;
    ClearTextExchanges exchanges([](auto...) { return std::size_t{0}; }, nullptr, limits);
    const auto frames = test::cleartext::UnansweredGetsCapture(96, 64, 2048);
    const std::size_t before = mallinfo2().uordblks;
    std::size_t most = 0;
    for (const test::Bytes& frame : frames) {
        TcpSegment segment;
        ASSERT_TRUE(ReadTcpSegment(frame, 1, segment));
        exchanges.Segment(segment, 1);
        most = std::max(most, exchanges.HeldBytes());
    }
    const std::size_t grown = mallinfo2().uordblks - before;
    EXPECT_LE(most, limits.totalBytes);
    EXPECT_GT(exchanges.HeldBytes(), limits.totalBytes / 2); // the requests are counted
    EXPECT_LE(grown, exchanges.HeldBytes() + (512 << 10)) << "held " << exchanges.HeldBytes();
}

// The window reads a second file into the same engine after a reset, with connections of the first
// still followed: the second run lists exactly what the first did (the table once kept a removed
// connection's pointer, which a later one wrote through).
TEST(ServerAnswers, ARunAfterAResetWithConnectionsStillFollowedListsAlike) {
    const FileTypeTable table =
        LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine(table);
    int linkType = 0;
    const std::vector<Frame> frames = readPcap(std::string(VELMORA_TEST_DATA) + "/ndpi_1kxun.pcap", linkType);
    std::vector<std::vector<std::string>> runs;
    for (int run = 0; run < 3; ++run) {
        engine.Reset();
        for (const Frame& frame : frames)
            engine.FrameReceived(frame, linkType, {0, 0, true});
        engine.EndCapture();
        std::vector<std::string> rows;
        for (const ResultRow& row : engine.Results().Rows())
            rows.push_back(utf8::FromU16(row.address) + ' ' + row.contentType);
        runs.push_back(std::move(rows));
    }
    ASSERT_FALSE(runs[0].empty());
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(runs[2], runs[0]);
}
