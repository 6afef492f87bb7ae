#pragma once
// Crafted clear-text captures: browsers at 10.0.0.x fetch from 127.0.0.1:80, and every media
// address is one only its answer lists (video/mp4, no extension). Each capture holds what a hostile
// peer or an odd client sends around those answers.

#include "TlsCaptureWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test::cleartext {

inline constexpr std::uint32_t kClient = 0x0A000001; // 10.0.0.1
inline constexpr std::string_view kHost = "media.velmora.test";

inline std::string Get(std::string_view target, std::string_view host = kHost) {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
}

inline std::string Answer(std::string_view contentType, std::size_t bodyBytes = 64) {
    return "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(contentType) +
           "\r\nContent-Length: " + std::to_string(bodyBytes) + "\r\n\r\n" + std::string(bodyBytes, 'x');
}

// The address listed for a target: what the rows hold.
inline std::string Address(std::string_view target) { return "http://" + std::string(kHost) + std::string(target); }

inline TcpFlow Flow(std::uint16_t clientPort, std::uint32_t clientSequence = 1000, std::uint32_t serverSequence = 50000) {
    return TcpFlow(kClient, clientPort, clientSequence, serverSequence, 0x7F000001, 80);
}

// Four connections whose answers come after something that must not end them: a RST "from the
// client" and one "from the server" at sequence numbers far from where the streams stand, a FIN
// "from the server" likewise, and the client's own half-close (its FIN after its request).
// /clip1 to /clip4 are answered.
inline std::vector<Bytes> SpoofedEndsCapture() {
    std::vector<Bytes> frames;
    for (std::uint16_t c = 1; c <= 4; ++c) {
        TcpFlow flow = Flow(static_cast<std::uint16_t>(41000 + c), 1000 * c, 70000 * c);
        frames.push_back(flow.Syn());
        frames.push_back(flow.ServerAt(flow.ServerNext() - 1, {}, tcp::kSyn | tcp::kAck));
        frames.push_back(flow.Client(AsBytes(Get("/clip" + std::to_string(c)))));
        switch (c) {
        case 1:
            frames.push_back(flow.ClientAt(flow.ClientNext() + 400000, {}, tcp::kRst));
            break;
        case 2:
            frames.push_back(flow.ServerAt(flow.ServerNext() + 900000, {}, tcp::kRst));
            break;
        case 3:
            frames.push_back(flow.ServerAt(flow.ServerNext() + 77777, {}, tcp::kFin | tcp::kAck));
            break;
        case 4:
            frames.push_back(flow.Client({}, tcp::kFin | tcp::kAck));
            break;
        }
        frames.push_back(flow.Server(AsBytes(Answer("video/mp4"))));
        frames.push_back(flow.Server({}, tcp::kFin | tcp::kAck));
        frames.push_back(flow.Client({}, tcp::kAck));
    }
    return frames;
}

// One four-tuple used twice: the first connection's end is not captured, the second opens with a
// new SYN. /clip5 is answered on the first, /clip6 on the second.
inline std::vector<Bytes> ReusedPortCapture() {
    std::vector<Bytes> frames;
    TcpFlow first = Flow(42000, 1000, 50000);
    frames.push_back(first.Syn());
    frames.push_back(first.ServerAt(first.ServerNext() - 1, {}, tcp::kSyn | tcp::kAck));
    frames.push_back(first.Client(AsBytes(Get("/clip5"))));
    frames.push_back(first.Server(AsBytes(Answer("video/mp4"))));
    TcpFlow second = Flow(42000, 3000000000u, 2000000000u);
    frames.push_back(second.Syn());
    frames.push_back(second.ServerAt(second.ServerNext() - 1, {}, tcp::kSyn | tcp::kAck));
    frames.push_back(second.Client({}, tcp::kAck));
    frames.push_back(second.Client(AsBytes(Get("/clip6"))));
    frames.push_back(second.Server(AsBytes(Answer("video/mp4"))));
    return frames;
}

// Requests whose bodies hold what looks like requests: a POST with a Content-Length and one with
// a chunked body, each body's first segment a GET of http://other.test/fake. The page comes before
// them and /clip7 after; only the page (text/html) and /clip7 (video/mp4) are GETs.
inline std::vector<Bytes> PostBodyCapture() {
    std::vector<Bytes> frames;
    TcpFlow flow = Flow(43000);
    const std::string fake = "GET http://other.test/fake HTTP/1.1\r\nHost: other.test\r\n\r\n";
    frames.push_back(flow.Client(AsBytes(Get("/page.html"))));
    frames.push_back(flow.Server(AsBytes(Answer("text/html"))));
    const std::string body = fake + std::string(200, 'b');
    frames.push_back(flow.Client(AsBytes("POST /upload HTTP/1.1\r\nHost: " + std::string(kHost) +
                                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n")));
    frames.push_back(flow.Client(AsBytes(body.substr(0, 100))));
    frames.push_back(flow.Client(AsBytes(body.substr(100))));
    frames.push_back(flow.Server(AsBytes(Answer("application/json"))));
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", fake.size());
    frames.push_back(flow.Client(AsBytes("POST /upload HTTP/1.1\r\nHost: " + std::string(kHost) +
                                         "\r\nTransfer-Encoding: chunked\r\n\r\n" + size)));
    frames.push_back(flow.Client(AsBytes(fake)));
    frames.push_back(flow.Client(AsBytes(std::string("\r\n0\r\n\r\n"))));
    frames.push_back(flow.Server(AsBytes(Answer("application/json"))));
    frames.push_back(flow.Client(AsBytes(Get("/clip7"))));
    frames.push_back(flow.Server(AsBytes(Answer("video/mp4"))));
    return frames;
}

// Pipelined GETs nobody answers: `connections` clients each send `requests` GETs of
// `targetBytes`-long targets, a request a segment.
inline std::vector<Bytes> UnansweredGetsCapture(std::size_t connections, std::size_t requests, std::size_t targetBytes) {
    std::vector<Bytes> frames;
    for (std::size_t c = 0; c < connections; ++c) {
        TcpFlow flow(kClient + static_cast<std::uint32_t>(c >> 14), static_cast<std::uint16_t>(20000 + (c & 0x3FFF)),
                     1000, 50000, 0x7F000001, 80);
        for (std::size_t r = 0; r < requests; ++r) {
            std::string target = "/r" + std::to_string(c) + "-" + std::to_string(r) + "?";
            target.resize(std::max(target.size(), targetBytes), 'q');
            frames.push_back(flow.Client(AsBytes(Get(target))));
        }
    }
    return frames;
}

} // namespace velmora::test::cleartext
