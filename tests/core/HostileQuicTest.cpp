// QUIC connections kept by RFC 9000's rules against spoofed and stray packets, on captures crafted
// by QuicCaptureWriter: every request of the followed connections must still be listed (and, where
// the server's packets are what is attacked, every answer read). The captures and their key logs
// are left in the test's temporary folder (hostile-quic-*.pcap / .keys).
#include "quic/QuicConnectionTable.h"
#include "tls/KeyLog.h"

#include "PcapFrames.h"
#include "QuicCaptureWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace velmora;
using namespace velmora::test;

namespace {

const std::string kData = VELMORA_TEST_DATA;

struct Listed final : HttpRequestSink {
    std::vector<std::string> requests; // the paths
    std::vector<std::string> lines;    // frame, tab, address
    std::size_t answers = 0;
    void Request(HttpRequest& r) override {
        requests.push_back(r.target);
        lines.push_back(std::to_string(r.packet) + "\thttps://" + r.authority + r.target);
    }
    std::size_t Response(const HttpRequest&, HttpResponseHead&) override {
        ++answers;
        return 0;
    }
};

// A crafted capture: its frames and the key log lines of its connections.
struct Capture {
    std::vector<Bytes> frames;
    std::string keys;
    void Add(const std::vector<Bytes>& more) { frames.insert(frames.end(), more.begin(), more.end()); }
    void Add(Bytes frame) { frames.push_back(std::move(frame)); }

    // Written to a pcap file and read back through the table, as a capture file would be.
    Listed Run(const std::string& name, HttpsRequestFinder::Limits limits = {}) const {
        const std::string path = ::testing::TempDir() + "hostile-quic-" + name;
        WritePcap(path + ".pcap", frames);
        std::ofstream(path + ".keys") << keys;
        Listed listed;
        KeyLog keyLog;
        EXPECT_TRUE(keyLog.Open(path + ".keys"));
        QuicConnectionTable table(keyLog, listed, limits);
        int linkType = 0;
        std::size_t number = 0;
        for (const auto& frame : readPcap(path + ".pcap", linkType)) {
            UdpDatagram d;
            if (ReadUdpDatagram(frame, linkType, d))
                table.Datagram(d, ++number);
        }
        return listed;
    }
};

std::uint32_t junkState = 12345;
Bytes junk(std::size_t n) {
    Bytes out(n);
    for (auto& b : out) {
        junkState ^= junkState << 13, junkState ^= junkState >> 17, junkState ^= junkState << 5;
        b = static_cast<std::uint8_t>(junkState);
    }
    return out;
}

// A long header of `version` and `type` bits with these IDs, filled with junk to `size` bytes.
Bytes spoofedLong(std::uint32_t version, std::uint8_t typeBits, std::span<const std::uint8_t> destination,
                  std::span<const std::uint8_t> source, std::size_t size) {
    Bytes p{static_cast<std::uint8_t>(0xC0 | typeBits << 4), static_cast<std::uint8_t>(version >> 24),
            static_cast<std::uint8_t>(version >> 16), static_cast<std::uint8_t>(version >> 8),
            static_cast<std::uint8_t>(version)};
    p.push_back(static_cast<std::uint8_t>(destination.size()));
    p.insert(p.end(), destination.begin(), destination.end());
    p.push_back(static_cast<std::uint8_t>(source.size()));
    p.insert(p.end(), source.begin(), source.end());
    if ((typeBits == 0 && version == 1) || (typeBits == 1 && version != 1))
        p.push_back(0); // an Initial's empty token
    const std::size_t rest = size - p.size() - 2;
    p.push_back(static_cast<std::uint8_t>(0x40 | rest >> 8));
    p.push_back(static_cast<std::uint8_t>(rest));
    const Bytes tail = junk(rest);
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

std::string clip(int n) { return "/video/clip-" + std::to_string(n) + ".mp4"; }

} // namespace

// The benign control: the writer's connections, in version 1 and 2, are read in full.
TEST(HostileQuic, CraftedConnectionsAreReadInFull) {
    Capture capture;
    for (std::uint32_t version : {0x00000001u, 0x6b3343cfu}) {
        QuicConnectionWriter w(version, version);
        capture.keys += w.KeyLogLines();
        capture.Add(w.Handshake());
        for (int i = 0; i < 2; ++i) {
            std::uint64_t stream = 0;
            capture.Add(w.Request("media.velmora.test", clip(i), &stream));
            capture.Add(w.Answer(stream, "video/mp4"));
        }
    }
    const Listed listed = capture.Run("control");
    EXPECT_EQ(listed.requests, (std::vector<std::string>{clip(0), clip(1), clip(0), clip(1)}));
    EXPECT_EQ(listed.answers, 4u);
}

// A client Initial of the other version, to the followed connection's first ID, is a new attempt
// only while the server has not answered and only once it opens: a spoofed one changes nothing.
TEST(HostileQuic, AnotherVersionsInitialRestartsOnlyBeforeTheServerAnswersAndOnlyWhenItOpens) {
    Capture capture;
    QuicConnectionWriter w(1);
    capture.keys = w.KeyLogLines();
    capture.Add(w.Handshake());
    capture.Add(w.Request("media.velmora.test", clip(0)));
    capture.Add(w.FromClient(spoofedLong(0x6b3343cf, 1, w.OriginalDestinationId(), {}, 45)));
    capture.Add(w.FromClient(spoofedLong(0x6b3343cf, 1, w.OriginalDestinationId(), w.ClientId(), 1200)));
    capture.Add(w.Request("media.velmora.test", clip(1)));
    EXPECT_EQ(capture.Run("other-version").requests, (std::vector<std::string>{clip(0), clip(1)}));
}

// The server's connection IDs come only from its packets that opened, and one Retry is followed:
// the first, before the server's first Initial, once its integrity tag checks (RFC 9001 5.8).
TEST(HostileQuic, ServerIdsComeFromOpenedPacketsAndOneCheckedRetry) {
    Capture capture;
    auto finish = [&](QuicConnectionWriter& w, int n) {
        Bytes flight = w.ServerInitial();
        const Bytes handshake = w.ServerHandshake();
        flight.insert(flight.end(), handshake.begin(), handshake.end());
        capture.Add(w.FromServer(flight));
        capture.Add(w.FromClient(w.Short(true, quicframe::Stream(2, 0, http3::ControlStream()))));
        capture.Add(w.Request("media.velmora.test", clip(n)));
    };
    {
        // Fourteen long headers "from the server", each with another Source Connection ID.
        QuicConnectionWriter w(2);
        w.Client().port = 50002;
        capture.keys += w.KeyLogLines();
        capture.Add(w.FromClient(w.ClientInitial()));
        for (int i = 0; i < 14; ++i)
            capture.Add(w.FromServer(spoofedLong(1, 2, w.ClientId(), junk(8), 60)));
        finish(w, 0);
    }
    {
        // A Retry whose tag is wrong.
        QuicConnectionWriter w(3);
        w.Client().port = 50003;
        capture.keys += w.KeyLogLines();
        capture.Add(w.FromClient(w.ClientInitial()));
        QuicConnectionWriter forger = w;
        capture.Add(w.FromServer(forger.Retry(junk(8), false)));
        finish(w, 1);
    }
    {
        // A real Retry, then a second one (its tag right) before the server's Initial.
        QuicConnectionWriter w(4);
        w.Client().port = 50004;
        capture.keys += w.KeyLogLines();
        capture.Add(w.FromClient(w.ClientInitial()));
        capture.Add(w.FromServer(w.Retry(junk(8))));
        capture.Add(w.FromClient(w.ClientInitial()));
        QuicConnectionWriter stale = w;
        capture.Add(w.FromServer(stale.Retry(junk(8))));
        finish(w, 2);
    }
    EXPECT_EQ(capture.Run("server-ids").requests, (std::vector<std::string>{clip(0), clip(1), clip(2)}));
}

// IDs retired (RETIRE_CONNECTION_ID, or Retire Prior To) are forgotten, so a client may move to a
// new ID and port as often as the server hands them out.
TEST(HostileQuic, RetiredIdsAreForgotten) {
    Capture capture;
    QuicConnectionWriter w(5);
    capture.keys = w.KeyLogLines();
    capture.Add(w.Handshake());
    std::vector<std::string> want;
    std::uint64_t stream = 0;
    capture.Add(w.Request("media.velmora.test", clip(0), &stream));
    want.push_back(clip(0));
    for (int move = 1; move <= 20; ++move) {
        // The server hands out the next ID with its answer and asks for the ones before it to go.
        const Bytes id = w.IssuedId(false, static_cast<std::uint64_t>(move));
        capture.Add(w.Answer(stream, "video/mp4", quicframe::NewConnectionId(move, move, id)));
        w.SendTo(true, id);
        ++w.Client().port;
        capture.Add(w.Request("media.velmora.test", clip(move), &stream, quicframe::RetireConnectionId(move - 1)));
        want.push_back(clip(move));
    }
    EXPECT_EQ(capture.Run("retired-ids").requests, want);
}

// While a download's body passes unread, the server's key phase moves only on a packet that opens
// with the next keys, and its packet numbers come only from packets that opened: junk datagrams
// to the client's ID, or a packet sent before a key update that arrives after it, lose no answer.
TEST(HostileQuic, ServerKeyPhaseAndPacketNumbersFollowOnlyOpenedPackets) {
    Capture capture;
    for (bool reordered : {false, true}) {
        QuicConnectionWriter w(reordered ? 7 : 6);
        w.Client().port = reordered ? 50007 : 50006;
        capture.keys += w.KeyLogLines();
        capture.Add(w.Handshake());
        std::uint64_t stream = 0;
        capture.Add(w.Request("media.velmora.test", clip(0), &stream));
        capture.Add(w.Answer(stream, "video/mp4"));
        const Bytes chunk(1000, 0x42);
        std::uint64_t offset = 0;
        Bytes held;
        for (int i = 0; i < 60; ++i) {
            if (i == 40)
                w.KeyUpdate(false);
            Bytes frame = w.FromServer(w.Short(false, quicframe::Stream(stream, 50 + offset, http3::Data(chunk))));
            offset += chunk.size() + 3;
            if (reordered && i == 39) {
                held = frame; // arrives after the first packet of the next phase
                continue;
            }
            capture.Add(frame);
            if (reordered && i == 40)
                capture.Add(held);
            if (!reordered && i % 10 == 5) {
                for (std::uint8_t first : {0x40, 0x44, 0x47, 0x43}) {
                    Bytes spoofed{first};
                    spoofed.insert(spoofed.end(), w.ClientId().begin(), w.ClientId().end());
                    const Bytes rest = junk(60);
                    spoofed.insert(spoofed.end(), rest.begin(), rest.end());
                    capture.Add(w.FromServer(spoofed));
                }
            }
        }
        capture.Add(w.Request("media.velmora.test", clip(1), &stream));
        capture.Add(w.Answer(stream, "video/mp4"));
    }
    const Listed listed = capture.Run("key-phase");
    EXPECT_EQ(listed.requests.size(), 4u);
    EXPECT_EQ(listed.answers, 4u);
}

// The server's transport parameters (EncryptedExtensions, in its Handshake packets) name its
// preferred address's connection ID (RFC 9000 9.6): requests after the move to it are read.
TEST(HostileQuic, PreferredAddressIdComesFromTheServersTransportParameters) {
    Capture capture;
    QuicConnectionWriter w(8);
    capture.keys = w.KeyLogLines();
    const QuicEndpoint preferred{0x7F000002, 8443};
    capture.Add(w.Handshake(preferred));
    capture.Add(w.Request("media.velmora.test", clip(0)));
    w.Server() = preferred;
    w.SendTo(true, w.IssuedId(false, 1));
    capture.Add(w.Request("media.velmora.test", clip(1)));
    EXPECT_EQ(capture.Run("preferred-address").requests, (std::vector<std::string>{clip(0), clip(1)}));

    // ngtcp2's client and server (tests/data/quic_ngtcp2_preferred): every request goes to the
    // preferred address, as the server logged them.
    Listed real;
    KeyLog keyLog;
    ASSERT_TRUE(keyLog.Open(kData + "/quic_ngtcp2_preferred.keys"));
    QuicConnectionTable table(keyLog, real, {});
    int linkType = 0;
    std::size_t number = 0;
    for (const auto& frame : readPcap(kData + "/quic_ngtcp2_preferred.pcap", linkType)) {
        UdpDatagram d;
        ++number;
        if (ReadUdpDatagram(frame, linkType, d))
            table.Datagram(d, number);
    }
    std::ifstream oracle(kData + "/quic_ngtcp2_preferred.oracle.txt");
    std::vector<std::string> want;
    for (std::string line; std::getline(oracle, line);)
        want.push_back(line);
    ASSERT_EQ(want.size(), 6u);
    EXPECT_EQ(real.lines, want);
}

// An Initial that does not open starts no connection, so it cannot push a followed one out of a
// full table.
TEST(HostileQuic, InitialsThatDoNotOpenCostNoConnection) {
    Capture capture;
    QuicConnectionWriter w(9);
    capture.keys = w.KeyLogLines();
    capture.Add(w.Handshake());
    capture.Add(w.Request("media.velmora.test", clip(0)));
    for (int i = 0; i < 3; ++i)
        capture.Add(UdpFrame(0x0A000063, static_cast<std::uint16_t>(40000 + i), 0x7F000001, 443,
                             spoofedLong(1, 0, junk(8), junk(8), 1200)));
    capture.Add(w.Request("media.velmora.test", clip(1)));
    HttpsRequestFinder::Limits limits;
    limits.connections = 1;
    EXPECT_EQ(capture.Run("initials-not-opening", limits).requests, (std::vector<std::string>{clip(0), clip(1)}));
}
