// The HTTP/3 reader driven with hand-made STREAM data: SETTINGS, QPACK encoder-stream instructions
// and header blocks, so that a block can refer to a long table entry with one byte, as a hostile
// sender would. What the reader keeps must show in the connection's budget; what it hands on must
// stay within the bounds the HTTP/2 reader keeps.
#include "quic/Http3Reader.h"
#include "http/HttpRequestReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace velmora;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kTable = 64 << 10; // the table capacity both ends allow

void varint(Bytes& out, std::uint64_t v) {
    if (v < 64) {
        out.push_back(static_cast<std::uint8_t>(v));
    } else if (v < 16384) {
        out.push_back(static_cast<std::uint8_t>(0x40 | v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    } else {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<std::uint8_t>((shift == 24 ? 0x80 : 0) | (v >> shift & 0xFF)));
    }
}

// A QPACK integer with an n-bit prefix, below `flags`.
void prefixed(Bytes& out, std::uint8_t flags, int bits, std::uint64_t v) {
    const std::uint64_t max = (1u << bits) - 1;
    if (v < max) {
        out.push_back(static_cast<std::uint8_t>(flags | v));
        return;
    }
    out.push_back(static_cast<std::uint8_t>(flags | max));
    for (v -= max; v >= 128; v >>= 7)
        out.push_back(static_cast<std::uint8_t>(0x80 | (v & 0x7F)));
    out.push_back(static_cast<std::uint8_t>(v));
}

void literal(Bytes& out, const std::string& s, std::uint8_t flags = 0, int bits = 7) {
    prefixed(out, flags, bits, s.size());
    out.insert(out.end(), s.begin(), s.end());
}

// A field line with a static table name (":authority" 0, ":path" 1, "content-type" 44) and a literal value.
void field(Bytes& out, std::uint64_t staticName, const std::string& value) {
    prefixed(out, 0x50, 4, staticName);
    literal(out, value);
}

// A header block's prefix: no table entry used, or `entries` of them (the base just past the last).
Bytes blockPrefix(std::uint64_t entries = 0) {
    Bytes out;
    prefixed(out, 0, 8, entries == 0 ? 0 : entries % (2 * (kTable / 32)) + 1);
    out.push_back(0);
    return out;
}

Bytes headers(const Bytes& block) {
    Bytes out;
    varint(out, 0x01);
    varint(out, block.size());
    out.insert(out.end(), block.begin(), block.end());
    return out;
}

Bytes getBlock(const std::string& path, std::uint64_t entries = 0) {
    Bytes block = blockPrefix(entries);
    block.push_back(0xC0 | 17); // :method GET
    block.push_back(0xC0 | 23); // :scheme https
    field(block, 0, "media.example");
    field(block, 1, path);
    return block;
}

Bytes okBlock(const std::string& contentType = "video/mp4") {
    Bytes block = blockPrefix();
    block.push_back(0xC0 | 25); // :status 200
    field(block, 44, contentType);
    return block;
}

struct Answer {
    std::string target;
    HttpResponseHead head;
};

struct Exchanges final : HttpRequestSink {
    void Request(HttpRequest& request) override { requests.push_back(request); }
    std::size_t Response(const HttpRequest& request, HttpResponseHead& head) override {
        answers.push_back({request.target, head});
        return 0;
    }
    std::vector<HttpRequest> requests;
    std::vector<Answer> answers;
};

// One connection whose control and encoder streams are open, each end allowing a kTable table.
struct Connection {
    Connection() {
        for (const bool client : {true, false}) {
            Bytes control{0x00, 0x04};
            Bytes settings;
            varint(settings, 0x01);
            varint(settings, kTable);
            varint(control, settings.size());
            control.insert(control.end(), settings.begin(), settings.end());
            Send(client, client ? 2 : 3, control);
            Bytes encoder{0x02};
            prefixed(encoder, 0x20, 5, kTable); // Set Dynamic Table Capacity
            Send(client, client ? 6 : 7, encoder);
        }
    }

    void Send(bool fromClient, std::uint64_t id, const Bytes& bytes, bool fin = false) {
        std::uint64_t& offset = offsets[{fromClient, id}];
        reader.StreamData(fromClient, id, offset, bytes, ++packet, fin);
        offset += bytes.size();
    }
    // A table entry on the sender's encoder stream; a literal name, or a static one by index.
    void Insert(bool fromClient, const std::string& name, const std::string& value) {
        Bytes insert;
        literal(insert, name, 0x40, 5);
        literal(insert, value);
        Send(fromClient, fromClient ? 6 : 7, insert);
    }
    void InsertStaticName(bool fromClient, std::uint64_t staticName, const std::string& value) {
        Bytes insert;
        prefixed(insert, 0xC0, 6, staticName);
        literal(insert, value);
        Send(fromClient, fromClient ? 6 : 7, insert);
    }
    void Exchange(std::uint64_t id, const std::string& path) {
        Send(true, id, headers(getBlock(path)), true);
        Send(false, id, headers(okBlock()), true);
    }

    Exchanges sink;
    ByteBudget budget{1 << 20};
    Http3Reader reader{sink, budget};
    PacketNumber packet = 0;
    std::map<std::pair<bool, std::uint64_t>, std::uint64_t> offsets;
};

} // namespace

TEST(Http3Reader, DecodedBytesOfAHeaderBlockAreBoundedAndContentTypeIsShort) {
    // One byte refers back to a 1 KiB entry: a block that decodes past 64 KiB is malformed, as over
    // HTTP/2, however few bytes it took to send.
    Connection c;
    c.Insert(false, "x-filler", std::string(1024, 'f'));
    const auto answerWithRefs = [&](std::uint64_t id, int refs) {
        c.Send(true, id, headers(getBlock("/" + std::to_string(id) + ".mp4")), true);
        Bytes block = blockPrefix(1);
        block.push_back(0xC0 | 25);
        field(block, 44, "video/mp4");
        block.insert(block.end(), refs, 0x80); // the entry, by its index from the base
        c.Send(false, id, headers(block), true);
    };
    answerWithRefs(0, 50);
    answerWithRefs(4, 70);
    ASSERT_EQ(c.sink.answers.size(), 1u);
    EXPECT_EQ(c.sink.answers[0].target, "/0.mp4");
    EXPECT_EQ(c.sink.answers[0].head.contentType, "video/mp4");

    // The last Content-Type is the one taken; a media type longer than any registered one is none.
    c.Send(true, 8, headers(getBlock("/8.mp4")), true);
    Bytes twice = okBlock("text/html");
    field(twice, 44, "Video/MP4; codecs=\"avc1.64001f\"");
    c.Send(false, 8, headers(twice), true);
    c.Send(true, 12, headers(getBlock("/12.mp4")), true);
    c.Send(false, 12, headers(okBlock("video/" + std::string(300, 'x'))), true);
    ASSERT_EQ(c.sink.answers.size(), 3u);
    EXPECT_EQ(c.sink.answers[1].head.contentType, "video/mp4");
    EXPECT_EQ(c.sink.answers[2].head.status, 200);
    EXPECT_EQ(c.sink.answers[2].head.contentType, "");
}

TEST(Http3Reader, RequestsAwaitingAnswersAreChargedAndAddressesKeepTheDecryptingBound) {
    Connection c;
    // Each request names a 4 KiB path with one byte: what the reader keeps of it until the answer
    // is counted, at about its size, and comes back once answered (the decoder keeps a few bytes of
    // its own).
    const std::string path = "/" + std::string(4095, 'p');
    c.InsertStaticName(true, 1, path);
    const std::size_t before = c.budget.Used();
    constexpr std::uint64_t kRequests = 12;
    for (std::uint64_t i = 0; i < kRequests; ++i) {
        Bytes block = blockPrefix(1);
        block.push_back(0xC0 | 17);
        field(block, 0, "media.example");
        block.push_back(0x80);
        c.Send(true, 4 * i, headers(block), true);
    }
    ASSERT_EQ(c.sink.requests.size(), kRequests);
    EXPECT_EQ(c.sink.requests.back().target, path);
    EXPECT_GE(c.budget.Used() - before, kRequests * path.size());
    EXPECT_LE(c.budget.Used() - before, kRequests * (path.size() + 1024));
    for (std::uint64_t i = 0; i < kRequests; ++i)
        c.Send(false, 4 * i, headers(okBlock()), true);
    EXPECT_EQ(c.sink.answers.size(), kRequests);
    EXPECT_LT(c.budget.Used(), before + 256);

    // A path or authority longer than a decrypted HTTP/2 request may carry is not handed on.
    const std::size_t handedOn = c.sink.requests.size();
    c.Send(true, 100, headers(getBlock("/" + std::string(HttpRequestReader::kMaxAddressPart, 'q'))), true);
    Bytes longHost = blockPrefix();
    longHost.push_back(0xC0 | 17);
    field(longHost, 0, std::string(HttpRequestReader::kMaxAddressPart + 1, 'h'));
    field(longHost, 1, "/a.mp4");
    c.Send(true, 104, headers(longHost), true);
    EXPECT_EQ(c.sink.requests.size(), handedOn);
}

TEST(Http3Reader, StreamsAreChargedAndEmptyFramesOnNewIdsCostNothing) {
    Connection c;
    const std::size_t before = c.budget.Used();
    for (std::uint64_t id = 0; id < 4 * 300; id += 4)
        c.Send(true, id, {});
    EXPECT_EQ(c.budget.Used(), before);
    c.Exchange(4 * 300, "/after-empty.mp4");
    ASSERT_EQ(c.sink.answers.size(), 1u);

    // Streams whose header block never completes: each one's object is counted, and however many
    // there are, a new request is still read.
    const std::size_t open = c.budget.Used();
    for (std::uint64_t id = 4 * 301; id < 4 * 401; id += 4)
        c.Send(true, id, {0x01});
    EXPECT_GE(c.budget.Used() - open, 100 * 256u);
    for (std::uint64_t id = 4 * 401; id < 4 * 1000; id += 4)
        c.Send(true, id, {0x01});
    EXPECT_LE(c.budget.Used(), c.budget.Total());
    c.Exchange(4 * 1000, "/after-stuck.mp4");
    ASSERT_EQ(c.sink.answers.size(), 2u);
    EXPECT_EQ(c.sink.answers[1].target, "/after-stuck.mp4");
}

TEST(Http3Reader, ASlowAnswerIsPairedAfterManyNewerExchanges) {
    Connection c;
    c.Send(true, 0, headers(getBlock("/slow.m3u8")), true);
    for (std::uint64_t i = 1; i <= 400; ++i)
        c.Exchange(4 * i, "/" + std::to_string(i) + ".ts");
    c.Send(false, 0, headers(okBlock("application/vnd.apple.mpegurl")), true);
    ASSERT_EQ(c.sink.answers.size(), 401u);
    EXPECT_EQ(c.sink.answers.back().target, "/slow.m3u8");
    EXPECT_EQ(c.sink.answers.back().head.contentType, "application/vnd.apple.mpegurl");
    // A retransmitted request already read is not handed on twice.
    c.offsets[{true, 0}] = 0;
    c.Send(true, 0, headers(getBlock("/slow.m3u8")), true);
    EXPECT_EQ(c.sink.requests.size(), 401u);
}
