// HTTP/3 requests decrypted from QUIC with the client's key log, on a capture of ngtcp2's client
// fetching from its server (tests/data/quic_ngtcp2*): the requests must be the ones the server
// logged, each at the frame tshark finds its first STREAM frame in.
#include "quic/QuicConnectionTable.h"
#include "capture/Gbk.h"
#include "tls/KeyLog.h"
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"

#include "PcapFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace velmora;

namespace {

const std::string kData = VELMORA_TEST_DATA;
using test::Frame;
using test::readPcap;

// The frames as a capture on the sending host shows UDP GSO sends: runs of datagrams one endpoint
// sent back to back, all as long as the first but the last, become one datagram (at most four).
// `sendOf` gives each original frame's number in the result.
std::vector<Frame> asGsoSends(const std::vector<Frame>& frames, int linkType, std::vector<std::size_t>& sendOf) {
    std::vector<Frame> out;
    UdpDatagram last;
    std::size_t segment = 0, segments = 0;
    for (const Frame& frame : frames) {
        UdpDatagram d;
        const bool udp = ReadUdpDatagram(frame, linkType, d);
        const bool joins = udp && !out.empty() && segment != 0 && segments < 4 && d.payload.size() <= segment &&
                           d.sourcePort == last.sourcePort && d.destinationPort == last.destinationPort;
        if (joins) {
            Frame& send = out.back();
            send.insert(send.end(), d.payload.begin(), d.payload.end());
            UdpDatagram s;
            ReadUdpDatagram(send, linkType, s); // the headers as they were: lengths to grow
            const std::size_t udpAt = static_cast<std::size_t>(s.payload.data() - send.data()) - 8;
            const std::size_t ipAt = static_cast<std::size_t>(s.source - send.data()) - 12;
            const std::size_t udpLength = send.size() - udpAt, ipLength = send.size() - ipAt;
            send[udpAt + 4] = static_cast<std::uint8_t>(udpLength >> 8);
            send[udpAt + 5] = static_cast<std::uint8_t>(udpLength);
            send[ipAt + 2] = static_cast<std::uint8_t>(ipLength >> 8);
            send[ipAt + 3] = static_cast<std::uint8_t>(ipLength);
            ++segments;
            if (d.payload.size() < segment)
                segment = 0; // a short segment ends the send
        } else {
            out.push_back(frame);
            segment = udp && d.addressBytes == 4 ? d.payload.size() : 0;
            segments = 1;
            last = d;
        }
        sendOf.push_back(out.size());
    }
    return out;
}

struct Requests final : HttpRequestSink {
    std::vector<std::string> lines; // frame, tab, method and address
    void Request(HttpRequest& r) override {
        lines.push_back(std::to_string(r.packet) + "\t" + r.method + " https://" + r.authority + r.target);
    }
};

// The oracle's lines in the same form. tshark cannot place a request of version 2's provisional
// number ("*"): the frame the reader names for it is taken as it is, its place in the order is not.
std::vector<std::string> expected(const std::vector<std::string>& got, const std::string& name = "quic_ngtcp2") {
    std::ifstream in(kData + "/" + name + ".oracle.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        std::string frame = line.substr(0, line.find('\t'));
        const std::string address = line.substr(line.find('\t') + 1);
        if (frame == "*") {
            for (const auto& g : got)
                if (g.ends_with("\tGET " + address))
                    frame = g.substr(0, g.find('\t'));
        }
        lines.push_back(frame + "\tGET " + address);
    }
    return lines;
}

struct QuicRun {
    KeyLog keys;
    Requests requests;
    QuicConnectionTable table;
    std::size_t largestTable = 0;
    explicit QuicRun(HttpsRequestFinder::Limits limits = {}) : table(keys, requests, limits) {}
    void Frames(const std::vector<Frame>& frames, int linkType, std::size_t firstNumber = 1) {
        for (std::size_t i = 0; i < frames.size(); ++i) {
            UdpDatagram d;
            if (ReadUdpDatagram(frames[i], linkType, d))
                table.Datagram(d, firstNumber + i);
            largestTable = std::max(largestTable, table.size());
        }
    }
    std::string Stats() const {
        const QuicStats s = table.Stats();
        return std::to_string(s.seen) + " seen, " + std::to_string(s.decrypted) + " decrypted, " +
               std::to_string(s.withoutKeys) + " without keys";
    }
};

} // namespace

// Three AEAD suites over IPv4 and IPv6, several requests on one connection with QPACK's dynamic
// table, a Retry followed by a key update, a HelloRetryRequest, 0-RTT after resumption, a migration to a new port and
// connection ID, a NAT rebinding, a version negotiation, version 2, and a connection whose secrets
// are not logged (no row, counted without keys).
TEST(Http3Requests, EqualTheServersLogOnARealCapture) {
    int linkType = 0;
    const auto frames = readPcap(kData + "/quic_ngtcp2.pcap", linkType);
    {
        QuicRun run;
        ASSERT_TRUE(run.keys.Open(kData + "/quic_ngtcp2.keys"));
        run.Frames(frames, linkType);
        EXPECT_EQ(run.requests.lines, expected(run.requests.lines));
        EXPECT_EQ(run.Stats(), "12 seen, 11 decrypted, 1 without keys");
        // Closed connections leave the table; the one without keys cannot be seen closing.
        EXPECT_EQ(run.table.size(), 1u);
    }
    {
        // Chromium: a ClientHello over two Initial packets, its own QPACK encoder.
        int chromiumLinkType = 0;
        QuicRun run;
        ASSERT_TRUE(run.keys.Open(kData + "/quic_chromium.keys"));
        const auto chromium = readPcap(kData + "/quic_chromium.pcap", chromiumLinkType);
        run.Frames(chromium, chromiumLinkType);
        EXPECT_EQ(run.requests.lines, expected(run.requests.lines, "quic_chromium"));
        EXPECT_EQ(run.Stats(), "1 seen, 1 decrypted, 0 without keys");
    }
    {
        // Firefox, as recorded, and as a capture on its own host shows its UDP GSO sends: one frame
        // holding several datagrams, each padded to the send's segment size but the last.
        int firefoxLinkType = 0;
        const auto firefox = readPcap(kData + "/quic_firefox.pcap", firefoxLinkType);
        QuicRun run;
        ASSERT_TRUE(run.keys.Open(kData + "/quic_firefox.keys"));
        run.Frames(firefox, firefoxLinkType);
        const auto want = expected(run.requests.lines, "quic_firefox");
        EXPECT_EQ(run.requests.lines, want);
        EXPECT_EQ(run.Stats(), "1 seen, 1 decrypted, 0 without keys");
        std::vector<std::size_t> sendOf;
        const auto sends = asGsoSends(firefox, firefoxLinkType, sendOf);
        ASSERT_LT(sends.size() + 2, firefox.size()); // the two Initials of the ClientHello among them
        QuicRun gso;
        ASSERT_TRUE(gso.keys.Open(kData + "/quic_firefox.keys"));
        gso.Frames(sends, firefoxLinkType);
        std::vector<std::string> wantGso;
        for (const auto& line : want)
            wantGso.push_back(std::to_string(sendOf[std::stoul(line.substr(0, line.find('\t'))) - 1]) +
                              line.substr(line.find('\t')));
        EXPECT_EQ(gso.requests.lines, wantGso);
    }
    {
        // A table of one connection, in a shared budget of 96 KiB, still follows them all: the
        // capture's connections come one after another, and each gives back what it held.
        HttpsRequestFinder::Limits limits;
        limits.connections = 1;
        limits.totalBytes = 96 << 10;
        QuicRun run(limits);
        ASSERT_TRUE(run.keys.Open(kData + "/quic_ngtcp2.keys"));
        run.Frames(frames, linkType);
        EXPECT_EQ(run.requests.lines, expected(run.requests.lines));
        EXPECT_EQ(run.largestTable, 1u);
    }
    {
        // The secrets reach the key log only after the capture: the packets waited for them, and the
        // rows name the frames that carried the requests. That includes the request sent after the
        // migration to a connection ID the server handed out in a packet that was still waiting.
        const std::string path = ::testing::TempDir() + "quic-late.keys";
        std::ofstream(path).close();
        QuicRun run;
        ASSERT_TRUE(run.keys.Open(path));
        run.Frames(frames, linkType);
        EXPECT_TRUE(run.requests.lines.empty());
        EXPECT_EQ(run.Stats(), "12 seen, 0 decrypted, 12 without keys");
        EXPECT_TRUE(run.table.AnyWaitingForKeys());
        std::filesystem::copy_file(kData + "/quic_ngtcp2.keys", path,
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_TRUE(run.keys.Refresh());
        run.table.KeysAdded();
        auto want = expected(run.requests.lines);
        auto got = run.requests.lines;
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want);
        EXPECT_EQ(run.Stats(), "12 seen, 11 decrypted, 1 without keys");
        std::filesystem::remove(path);
    }
}

// Datagrams that are not QUIC, or not a client's first Initial, start nothing: DNS and the other UDP
// of a real capture, and the capture's own client Initials cut below the 1200 bytes a client must
// send (those connections are never seen; the rest still are).
TEST(Http3Requests, OtherDatagramsStartNothing) {
    int linkType = 0;
    {
        const auto frames = readPcap(kData + "/ndpi_1kxun.pcap", linkType);
        QuicRun run;
        ASSERT_TRUE(run.keys.Open(kData + "/quic_ngtcp2.keys"));
        run.Frames(frames, linkType);
        EXPECT_EQ(run.largestTable, 0u);
        EXPECT_EQ(run.Stats(), "0 seen, 0 decrypted, 0 without keys");
    }
    auto frames = readPcap(kData + "/quic_ngtcp2.pcap", linkType);
    QuicRun run;
    ASSERT_TRUE(run.keys.Open(kData + "/quic_ngtcp2.keys"));
    std::size_t cut = 0;
    for (auto& frame : frames) {
        UdpDatagram d;
        // The client's Initials to port 4434 (the Retry server): the frame ends after 1100 bytes of payload.
        if (ReadUdpDatagram(frame, linkType, d) && d.destinationPort == 4434 && (d.payload[0] & 0xB0) == 0x80 &&
            d.payload.size() >= 1200) {
            frame.resize(static_cast<std::size_t>(d.payload.data() - frame.data()) + 1100);
            ++cut;
        }
    }
    ASSERT_GT(cut, 0u);
    run.Frames(frames, linkType);
    EXPECT_EQ(run.Stats(), "11 seen, 10 decrypted, 1 without keys");
    for (const auto& line : run.requests.lines)
        EXPECT_EQ(line.find(":4434/"), std::string::npos) << line;
}

// TLS and QUIC connections wait for keys in one capture, and the keys come while it runs: the QUIC
// reader happens to read them first from the shared key log, and the TLS connection still open gets
// them at its next segment (not only when it closes).
TEST(Http3Requests, KeysOneReaderReadsReachTheOther) {
    const FileTypeTable table =
        LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine(table);
    const std::string path = ::testing::TempDir() + "quic-shared.keys";
    std::ofstream(path).close();
    ASSERT_TRUE(engine.OpenKeyLog(path));
    int tlsLink = 0, quicLink = 0;
    const auto tls = readPcap(kData + "/tls13_h2.pcap", tlsLink);
    const auto quic = readPcap(kData + "/quic_chromium.pcap", quicLink);
    auto rows = [&] {
        std::vector<std::string> out;
        for (const auto& row : engine.Results().Rows())
            out.push_back(std::to_string(row.packet) + " " + utf8::FromU16(row.address));
        return out;
    };
    for (std::size_t i = 0; i < 14; ++i) // to the first request of the first TLS connection
        engine.FrameReceived(tls[i], tlsLink, {0, 0});
    for (const auto& frame : quic)
        engine.FrameReceived(frame, quicLink, {0, 0});
    EXPECT_TRUE(rows().empty());
    {
        std::ofstream keys(path, std::ios::app);
        keys << std::ifstream(kData + "/tls13_h2.keys").rdbuf() << std::ifstream(kData + "/quic_chromium.keys").rdbuf();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150)); // past the readers' pause between looks
    engine.FrameReceived(quic.back(), quicLink, {0, 0});
    ASSERT_EQ(rows().size(), 2u);                   // Chromium's video and playlist
    engine.FrameReceived(tls[14], tlsLink, {0, 0}); // a segment of the open TLS connection
    const auto after = rows();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2], "14 https://media.velmora.test:8443/video/clip.mp4?exp=1.5&sig=a.b");
    std::filesystem::remove(path);
}
