// HTTPS requests decrypted with a TLS key log, on captures of curl and openssl fetching from nginx
// (tests/data/tls_*), checked against the requests tshark decrypts from the same captures.
#include "tls/HttpsRequestFinder.h"
#include "HttpsExtraction.h"
#include "capture/FrameText.h"
#include "capture/Gbk.h"
#include "capture/MediaAddressExtractor.h"
#include "capture/RequestHeaders.h"
#include "capture/TcpPayload.h"
#include "http/HttpRequestReader.h"
#include "tls/KeyLog.h"
#include "tls/MissingKeysNotice.h"
#include "settings/FileTypeSettings.h"

#include "PcapFrames.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>
#include <unistd.h>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

const std::string kData = VELMORA_TEST_DATA;
using test::Frame;
using test::readPcap;

// tshark's GET requests after the row rules: decoded, duplicates dropped, the extension (before any
// query or fragment) in the table. Velmora does not decrypt CBC suites, which tshark does.
std::vector<std::string> expectedRows(const std::string& name, const FileTypeTable& table, bool withPackets = true) {
    std::ifstream in(kData + "/" + name + ".oracle.txt");
    std::vector<std::string> rows;
    std::set<std::u16string> seen;
    const std::regex extension(R"(/[^/?#]*(\.[A-Za-z0-9]+)(?:[?#].*)?$)");
    for (std::string line; std::getline(in, line);) {
        const std::string frame = line.substr(0, line.find('\t'));
        const std::string address = line.substr(line.find('\t') + 1);
        if (address.find("cbc-not-listed") != std::string::npos)
            continue;
        const std::u16string decoded = DecodeCnEscapes(
            PacketToTextCn(std::span(reinterpret_cast<const std::uint8_t*>(address.data()), address.size())));
        std::smatch m;
        if (!seen.insert(decoded).second || !std::regex_search(address, m, extension))
            continue;
        if (table.Classify(utf8::ToU16(m[1].str()), 0))
            rows.push_back((withPackets ? frame + "\t" : "") + utf8::FromU16(decoded));
    }
    return rows;
}

struct Capture {
    const char* name;
    const char* stats;
};
constexpr Capture kCaptures[] = {
    {"tls13_h2", "5 seen, 4 decrypted, 1 without keys, 0 unsupported, 0 failed"},
    {"tls13_http11", "1 seen, 1 decrypted, 0 without keys, 0 unsupported, 0 failed"},
    {"tls12_suites", "4 seen, 3 decrypted, 0 without keys, 1 unsupported, 0 failed"},
    {"tls13_keyupdate", "1 seen, 1 decrypted, 0 without keys, 0 unsupported, 0 failed"},
    {"tls_midstream", "1 seen, 1 decrypted, 0 without keys, 0 unsupported, 0 failed"},
};

// A copy of a TCP frame carrying only payload bytes [from, to) (IPv4 over Ethernet, as recorded).
Frame slice(const Frame& frame, int linkType, std::size_t from, std::size_t to) {
    const auto at = LocateTcpSegment(frame, linkType);
    Frame out(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(at->payloadAt));
    out.insert(out.end(), frame.begin() + static_cast<std::ptrdiff_t>(at->payloadAt + from),
               frame.begin() + static_cast<std::ptrdiff_t>(at->payloadAt + to));
    const std::size_t ipLength = out.size() - at->ipAt;
    out[at->ipAt + 2] = static_cast<std::uint8_t>(ipLength >> 8);
    out[at->ipAt + 3] = static_cast<std::uint8_t>(ipLength);
    std::uint32_t seq = std::uint32_t{out[at->tcpAt + 4]} << 24 | out[at->tcpAt + 5] << 16 | out[at->tcpAt + 6] << 8 |
                        out[at->tcpAt + 7];
    seq += static_cast<std::uint32_t>(from);
    for (int i = 0; i < 4; ++i)
        out[at->tcpAt + 4 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
    return out;
}

} // namespace

TEST(HttpsRequests, EqualTsharksDecryptedGetsOnRealCaptures) {
    for (const auto& capture : kCaptures) {
        SCOPED_TRACE(capture.name);
        int linkType = 0;
        const auto frames = readPcap(kData + "/" + capture.name + ".pcap", linkType);
        Extraction run;
        ASSERT_TRUE(run.https.OpenKeyLog(kData + "/" + capture.name + ".keys"));
        for (const auto& frame : frames)
            run.Frame(frame, linkType);
        EXPECT_EQ(run.Rows(), expectedRows(capture.name, run.table));
        EXPECT_EQ(statsText(run.https.Stats()), capture.stats);
        EXPECT_EQ(run.results.ResultCount(), static_cast<std::int64_t>(run.results.size()));
    }
}

// Firefox against nginx with early data (tests/tls/record-refused-early-data.sh): accepted early data with
// requests in it, and, after nginx lost its sessions, early data refused over HTTP/2 (the preface only; the
// client then sends a new preface, its requests and more on a fresh header table) and over HTTP/1.1 (a GET
// in the early data, sent again after the handshake, and one more). Every media request nginx served is a
// row, once; a request first read from early data keeps the frame tshark gives it, and so does every other
// request tshark decrypts (tshark 4.0 does not open the last connection, which offered early data it did
// not send, so that one is checked against nginx's log alone).
TEST(HttpsRequests, EveryRequestServedOverRefusedEarlyDataIsListed) {
    const std::string name = "tls13_0rtt_firefox";
    int linkType = 0;
    const auto frames = readPcap(kData + "/" + name + ".pcap", linkType);
    Extraction run;
    ASSERT_TRUE(run.https.OpenKeyLog(kData + "/" + name + ".keys"));
    for (const auto& frame : frames)
        run.Frame(frame, linkType);
    EXPECT_EQ(statsText(run.https.Stats()), "6 seen, 6 decrypted, 0 without keys, 0 unsupported, 0 failed");

    std::ifstream log(kData + "/" + name + ".served.txt");
    const std::regex line(R"re(^(\d+) (\S+) "GET (\S+) HTTP/[\d.]+" \d+$)re");
    std::vector<std::string> served;
    for (std::string text; std::getline(log, text);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        const std::string path = m[3];
        const std::string extension = path.substr(path.rfind('.'));
        if (run.table.Classify(utf8::ToU16(extension), 0))
            served.push_back("https://127.0.0.1:" + m[1].str() + path);
    }
    ASSERT_EQ(served.size(), 11u);
    std::vector<std::string> listed = run.Rows(false);
    std::sort(served.begin(), served.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, served);

    const std::vector<std::string> rows = run.Rows();
    for (const std::string& expected : expectedRows(name, run.table))
        EXPECT_NE(std::find(rows.begin(), rows.end(), expected), rows.end()) << expected;
    // The HTTP/1.1 GET read from the refused early data (frame 121) and sent again at frame 139: one row, at 121.
    EXPECT_NE(std::find(rows.begin(), rows.end(), "121\thttps://127.0.0.1:8444/media/b3.mp4"), rows.end());
}

// The status bar's notice that the browser records no keys: due once, after ten seconds of connections
// without keys in which none was decrypted.
TEST(HttpsRequests, MissingKeysNoticeIsDueOnceAfterTenQuietSeconds) {
    auto stats = [](std::uint64_t decrypted, std::uint64_t withoutKeys) {
        TlsStats s;
        s.seen = decrypted + withoutKeys;
        s.decrypted = decrypted;
        s.withoutKeys = withoutKeys;
        return s;
    };
    MissingKeysNotice notice;
    EXPECT_FALSE(notice.Update(stats(0, 0), 0));
    EXPECT_FALSE(notice.Update(stats(3, 0), 20'000)); // every connection decrypted: nothing to say
    EXPECT_FALSE(notice.Update(stats(3, 1), 21'000)); // the first without keys
    EXPECT_FALSE(notice.Update(stats(3, 2), 30'999));
    // Keys arrived for one of them (it moved to decrypted): the ten seconds start anew.
    EXPECT_FALSE(notice.Update(stats(4, 1), 31'000));
    EXPECT_FALSE(notice.Update(stats(4, 1), 40'999));
    // None left waiting, then new ones: again from their arrival.
    EXPECT_FALSE(notice.Update(stats(5, 0), 41'000));
    EXPECT_FALSE(notice.Update(stats(5, 2), 42'000));
    EXPECT_TRUE(notice.Update(stats(5, 3), 52'000));
    EXPECT_FALSE(notice.Update(stats(5, 9), 90'000)); // once a capture
    notice.Reset();
    EXPECT_FALSE(notice.Update(stats(0, 1), 100'000));
    EXPECT_TRUE(notice.Update(stats(0, 1), 110'000));
}

TEST(HttpsRequests, KeepTheDecryptedRequestOfEachRow) {
    for (const char* name : {"tls13_h2", "tls13_http11"}) {
        int linkType = 0;
        const auto frames = readPcap(kData + "/" + name + ".pcap", linkType);
        Extraction run;
        ASSERT_TRUE(run.https.OpenKeyLog(kData + "/" + name + ".keys"));
        for (const auto& frame : frames)
            run.Frame(frame, linkType);
        for (const auto& row : run.results.Rows()) {
            const std::string* text = run.https.RequestText(row);
            ASSERT_NE(text, nullptr) << utf8::FromU16(row.address);
            const std::string address = utf8::FromU16(row.address);
            if (address.ends_with("big-header.flv")) { // HTTP/2: the header list, the big cookie cut to the bound
                EXPECT_EQ(text->rfind(":method: GET\r\n", 0), 0u) << *text;
                EXPECT_NE(text->find(":path: /video/big-header.flv\r\n"), std::string::npos);
                EXPECT_NE(text->find("referer: https://media.velmora.test:8443/watch?v=1\r\n"), std::string::npos);
                EXPECT_NE(text->find("cookie: session=aaaa"), std::string::npos);
            }
            // What a downloader is handed comes from this text, for HTTP/2 as for HTTP/1.1.
            const RequestHeaders headers = FindRequestHeaders(
                std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()), row.address);
            EXPECT_EQ(headers.userAgent, "curl/7.88.1") << address;
            if (address.ends_with("big-header.flv")) {
                EXPECT_EQ(headers.referer, "https://media.velmora.test:8443/watch?v=1");
                EXPECT_EQ(headers.cookie.size(), std::string("session=").size() + 4500);
            }
            if (address.ends_with("a.mp3")) { // HTTP/1.1: request line and headers as sent
                EXPECT_EQ(*text, "GET /music/a.mp3 HTTP/1.1\r\nHost: media.velmora.test:8443\r\n"
                                 "User-Agent: curl/7.88.1\r\nAccept: */*\r\n");
            }
        }
        ResultRow clearText{u"视频", u"http://example.com/a.mp4", 1};
        EXPECT_EQ(run.https.RequestText(clearText), nullptr);
    }
}

TEST(HttpsRequests, SurviveSegmentsOutOfOrderRepeatedAndOverlapping) {
    for (const char* name : {"tls13_h2", "tls13_http11", "tls12_suites"}) {
        SCOPED_TRACE(name);
        int linkType = 0;
        const auto frames = readPcap(kData + std::string("/") + name + ".pcap", linkType);
        Extraction run;
        ASSERT_TRUE(run.https.OpenKeyLog(kData + "/" + name + ".keys"));
        for (const auto& frame : frames) {
            const auto at = LocateTcpSegment(frame, linkType);
            const std::size_t n = at ? at->end - at->payloadAt : 0;
            if (n < 8) {
                run.Frame(frame, linkType);
                continue;
            }
            // The back half (overlapping the front) first, then the front, then all of it again.
            const Frame back = slice(frame, linkType, n / 2 - 3, n);
            const Frame front = slice(frame, linkType, 0, n / 2 + 3);
            run.Frame(back, linkType);
            run.Frame(front, linkType);
            run.Frame(frame, linkType);
        }
        EXPECT_EQ(run.Rows(false), expectedRows(name, run.table, false));
    }
}

TEST(HttpsRequests, KeysAppendedDuringTheCaptureStillDecrypt) {
    const fs::path keyLog = fs::temp_directory_path() / ("velmora-keys-" + std::to_string(getpid()));
    std::ifstream source(kData + "/tls13_http11.keys");
    const std::string keys((std::istreambuf_iterator<char>(source)), {});
    std::ofstream(keyLog) << "# written by a browser\n";
    int linkType = 0;
    const auto frames = readPcap(kData + "/tls13_http11.pcap", linkType);
    Extraction run;
    ASSERT_TRUE(run.https.OpenKeyLog(keyLog));
    const std::size_t half = frames.size() / 2;
    for (std::size_t i = 0; i < half; ++i)
        run.Frame(frames[i], linkType);
    EXPECT_TRUE(run.results.empty());
    EXPECT_EQ(run.https.Stats().withoutKeys, 1u);
    {
        // A damaged line, a line the reader must skip, then the keys; the last line without its
        // line feed yet, as a browser may leave it between two writes.
        std::ofstream out(keyLog, std::ios::app);
        out << "CLIENT_RANDOM 00zz\r\nSOME_FUTURE_LABEL ab cd\n" << keys.substr(0, keys.size() - 20);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // the key log is looked at a few times a second
    run.Frame(frames[half], linkType);
    std::ofstream(keyLog, std::ios::app) << keys.substr(keys.size() - 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    for (std::size_t i = half + 1; i < frames.size(); ++i)
        run.Frame(frames[i], linkType);
    EXPECT_EQ(run.Rows(), expectedRows("tls13_http11", run.table));
    EXPECT_EQ(statsText(run.https.Stats()), "1 seen, 1 decrypted, 0 without keys, 0 unsupported, 0 failed");
    fs::remove(keyLog);

    // A missing or unreadable key log leaves nothing open.
    HttpsRequestFinder finder(run.extractor);
    const KeyLogOpen missing = finder.OpenKeyLog(keyLog);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.problem, KeyLogOpen::Problem::Missing);
    EXPECT_NE(missing.message.find(keyLog.string()), std::string::npos);
    EXPECT_EQ(finder.OpenKeyLog(fs::temp_directory_path()).problem, KeyLogOpen::Problem::NotAFile);
    EXPECT_FALSE(finder.HasKeyLog());
}

TEST(HttpsRequests, KeyLogReaderSkipsDamageAndFollowsReplacement) {
    const std::string random(64, 'a');
    const std::string secret48(96, 'b');
    KeyLog log;
    log.AddText("# comment\n\nCLIENT_RANDOM " + random + " " + secret48 + "\r\n" +                  // CRLF ending
                "CLIENT_RANDOM " + random.substr(2) + " " + secret48 + "\n" +                       // short random
                "CLIENT_HANDSHAKE_TRAFFIC_SECRET " + random + " " + secret48.substr(0, 63) + "\n" + // odd hex
                "CLIENT_TRAFFIC_SECRET_0  " + random + "\t" + std::string(64, 'c') + "\n" +         // 32 bytes
                "SERVER_TRAFFIC_SECRET_0 " + random + " " + secret48 + "\n" + std::string(5000, 'x') + "\n" +
                "EXPORTER_SECRET " + random + " " + secret48 + "\n");
    std::array<std::uint8_t, 32> key;
    key.fill(0xAA);
    const TlsSecrets* found = log.Find(key);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->master.length, 48);
    EXPECT_EQ(found->master.bytes[0], 0xBB);
    EXPECT_FALSE(found->clientHandshake.known());
    EXPECT_EQ(found->clientTraffic.length, 32);
    EXPECT_EQ(log.DamagedLines(), 3u);

    // The file is read where it grew; a truncated or replaced file again from its start.
    const fs::path path = fs::temp_directory_path() / ("velmora-keylog-" + std::to_string(getpid()));
    std::ofstream(path) << "CLIENT_RANDOM " << random << " " << secret48 << "\n";
    KeyLog file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_EQ(file.size(), 1u);
    EXPECT_FALSE(file.Refresh());
    std::ofstream(path) << "CLIENT_RANDOM " << std::string(64, 'd') << " " << secret48 << "\n";
    EXPECT_TRUE(file.Refresh());
    key.fill(0xDD);
    EXPECT_NE(file.Find(key), nullptr);
    fs::remove(path);
}

TEST(HttpsRequests, BoundsGiveUpQuietly) {
    int linkType = 0;
    const auto h2 = readPcap(kData + "/tls13_h2.pcap", linkType);
    const auto tls12 = readPcap(kData + "/tls12_suites.pcap", linkType);
    const fs::path empty = fs::temp_directory_path() / ("velmora-nokeys-" + std::to_string(getpid()));
    std::ofstream{empty};
    {
        // No keys and little room: every connection waits, then gives up; no row, no error.
        HttpsRequestFinder::Limits small;
        small.connectionBytes = 2048;
        Extraction run(small);
        ASSERT_TRUE(run.https.OpenKeyLog(empty));
        for (const auto& frame : h2)
            run.Frame(frame, linkType);
        EXPECT_TRUE(run.results.empty());
        EXPECT_EQ(statsText(run.https.Stats()), "5 seen, 0 decrypted, 5 without keys, 0 unsupported, 0 failed");
    }
    {
        // One connection at a time: a connection left open is dropped for the next.
        HttpsRequestFinder::Limits one;
        one.connections = 1;
        Extraction run(one);
        ASSERT_TRUE(run.https.OpenKeyLog(kData + "/tls13_h2.keys"));
        std::size_t hello = 0;
        while (hello < tls12.size() && tls12[hello].size() < 200)
            ++hello; // the first ClientHello of the TLS 1.2 capture
        run.Frame(tls12[hello], linkType);
        for (const auto& frame : h2)
            run.Frame(frame, linkType);
        EXPECT_EQ(run.Rows(false), expectedRows("tls13_h2", run.table, false));
        EXPECT_EQ(run.https.Stats().seen, 6u);
        run.https.Reset();
        EXPECT_EQ(run.https.Stats().seen, 0u);
    }
    fs::remove(empty);
}

namespace {

struct Collected final : HttpRequestSink {
    std::vector<HttpRequest> requests;
    void Request(HttpRequest& request) override { requests.push_back(request); }
};

std::vector<std::uint8_t> h2Frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                                  std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> f{static_cast<std::uint8_t>(payload.size() >> 16),
                                static_cast<std::uint8_t>(payload.size() >> 8),
                                static_cast<std::uint8_t>(payload.size()), type, flags};
    for (int i = 3; i >= 0; --i)
        f.push_back(static_cast<std::uint8_t>(stream >> (8 * i)));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

} // namespace

TEST(HttpsRequests, ReadHttp2AndHttp1StreamsFedAByteAtATime) {
    // HTTP/2 header blocks from nghttp2's own encoder, whose dynamic table the second request
    // refers to; the first padded with a priority, the second split over CONTINUATION frames.
    nghttp2_hd_deflater* deflater = nullptr;
    ASSERT_EQ(nghttp2_hd_deflate_new(&deflater, 4096), 0);
    auto block = [&](std::vector<std::pair<std::string, std::string>> headers) {
        std::vector<nghttp2_nv> nvs;
        for (auto& [n, v] : headers)
            nvs.push_back({reinterpret_cast<std::uint8_t*>(n.data()), reinterpret_cast<std::uint8_t*>(v.data()),
                           n.size(), v.size(), NGHTTP2_NV_FLAG_NONE});
        std::vector<std::uint8_t> out(nghttp2_hd_deflate_bound(deflater, nvs.data(), nvs.size()));
        const auto n = nghttp2_hd_deflate_hd(deflater, out.data(), out.size(), nvs.data(), nvs.size());
        out.resize(static_cast<std::size_t>(n));
        return out;
    };
    const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    std::vector<std::uint8_t> stream(preface.begin(), preface.end());
    auto append = [&](const std::vector<std::uint8_t>& bytes) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    };
    append(h2Frame(4, 0, 0, {}));                       // SETTINGS
    std::vector<std::uint8_t> first{3, 0, 0, 0, 0, 16}; // pad length 3, priority
    append(first);
    const auto block1 = block({{":method", "GET"},
                               {":scheme", "https"},
                               {":authority", "cdn.example"},
                               {":path", "/v/one.mp4?x=1.5"},
                               {"user-agent", "player"}});
    std::vector<std::uint8_t> payload1(first.begin(), first.end());
    payload1.insert(payload1.end(), block1.begin(), block1.end());
    payload1.insert(payload1.end(), {0, 0, 0});
    stream.resize(stream.size() - first.size());
    append(h2Frame(1, 0x4 | 0x8 | 0x20, 1, payload1));
    append(h2Frame(0, 1, 1, std::vector<std::uint8_t>(100, 'z'))); // DATA
    const auto block2 = block({{":method", "GET"},
                               {":scheme", "https"},
                               {":authority", "cdn.example"},
                               {":path", "/v/two.mp4"},
                               {"user-agent", "player"}});
    const std::size_t cut = block2.size() / 2;
    append(h2Frame(1, 0, 3, std::span(block2).first(cut)));
    append(h2Frame(9, 0x4, 3, std::span(block2).subspan(cut)));
    nghttp2_hd_deflate_del(deflater);

    ByteBudget budget(1 << 20);
    Collected h2;
    HttpRequestReader h2Reader(h2, budget);
    for (std::uint8_t byte : stream)
        ASSERT_TRUE(h2Reader.Add(std::span(&byte, 1), 1));
    ASSERT_EQ(h2.requests.size(), 2u);
    EXPECT_EQ(h2.requests[0].target, "/v/one.mp4?x=1.5");
    EXPECT_EQ(h2.requests[1].authority, "cdn.example");
    EXPECT_EQ(h2.requests[1].target, "/v/two.mp4");
    EXPECT_EQ(h2.requests[1].text, ":method: GET\r\n:scheme: https\r\n:authority: cdn.example\r\n:path: /v/two.mp4\r\n"
                                   "user-agent: player\r\n");

    // HTTP/1.1 pipelined: a chunked body with a trailer, a Content-Length body, then a GET.
    const std::string http1 = "POST /up HTTP/1.1\r\nHost: a.example\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "4;ext=1\r\nGET \r\n0\r\nX-Trailer: 1\r\n\r\n"
                              "PUT /p HTTP/1.1\r\nHost: a.example\r\nContent-Length: 5\r\n\r\nGET /"
                              "GET /x.flv HTTP/1.1\r\nhost: b.example\r\n\r\n";
    Collected h1;
    HttpRequestReader h1Reader(h1, budget);
    for (char c : http1)
        ASSERT_TRUE(h1Reader.Add(std::span(reinterpret_cast<const std::uint8_t*>(&c), 1), 1));
    ASSERT_EQ(h1.requests.size(), 3u);
    EXPECT_EQ(h1.requests[2].method, "GET");
    EXPECT_EQ(h1.requests[2].authority, "b.example");
    EXPECT_EQ(h1.requests[2].target, "/x.flv");

    // What is not HTTP leaves the reader broken, quietly.
    Collected none;
    HttpRequestReader garbage(none, budget);
    const std::string junk = "\x16\x03\x01 not a request line\r\n\r\n";
    EXPECT_FALSE(garbage.Add(std::span(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()), 1));
    EXPECT_TRUE(none.requests.empty());
}

TEST(HttpsRequests, AddressRulesTakeTheExtensionBeforeTheQuery) {
    PacketStore store(0);
    ResultList results;
    const FileTypeTable table({{u".mp4", u"视频", u""}, {u".m3u8", u"视频", u""}});
    MediaAddressExtractor extractor(store, results, table);
    EXPECT_NE(extractor.ListDecryptedRequest(u"https://h/v/clip.mp4?exp=1.5", 7), nullptr);
    EXPECT_EQ(results[0].address, u"https://h/v/clip.mp4?exp=1.5"); // the row keeps the query
    EXPECT_EQ(results[0].packet, 7u);
    EXPECT_NE(extractor.ListDecryptedRequest(u"https://h/live.m3u8#t=1.5", 8), nullptr);
    EXPECT_EQ(extractor.ListDecryptedRequest(u"https://h/v/clip.mp4?exp=1.5", 9), nullptr); // duplicate
    EXPECT_EQ(extractor.ListDecryptedRequest(u"https://h/v.mp4/stream", 9), nullptr);       // dot in a folder
    EXPECT_EQ(extractor.ListDecryptedRequest(u"https://h/page.html?f=a.mp4", 9), nullptr);  // type in the query
    EXPECT_EQ(results.ResultCount(), 2);
}
