// Feeds arbitrary bytes as a server's decrypted stream (HTTP/1.x heads and bodies, or HTTP/2 frames
// and HPACK header blocks) to the pairing of answers with requests, in pieces whose sizes come from
// the input. The first byte says how many GETs the client sent and whether over HTTP/2. Each input
// is read twice: once seeing every byte, once passing over body bytes unseen wherever the readers
// allow it, as records of body alone are; both must hand on the same answers.
#include "http/HttpExchanges.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

using namespace velmora;

namespace {

struct Sink final : HttpRequestSink {
    std::vector<std::string> answers;
    void Request(HttpRequest&) override {}
    std::size_t Response(const HttpRequest& request, HttpResponseHead& response) override {
        if (request.method != "GET" || response.text.size() > Http1ResponseReader::kMaxHeadBytes + 4 ||
            response.status > 999)
            __builtin_trap();
        answers.push_back(request.target + " " + std::to_string(response.status) + " " + response.contentType + " " +
                          std::to_string(response.ResourceSize().value_or(0)) + " " +
                          std::to_string(response.packet));
        return 0;
    }
};

std::vector<std::string> read(const std::uint8_t* data, std::size_t size, bool skipBodies) {
    ByteBudget budget(1 << 20);
    Sink sink;
    {
        HttpExchanges exchanges(sink, budget);
        const bool http2 = data[0] & 1;
        for (unsigned i = 0; i < (data[0] >> 1 & 7u); ++i) {
            HttpRequest request;
            request.method = i == 5 ? "HEAD" : "GET";
            request.authority = "media.velmora.test";
            request.target = "/r" + std::to_string(i);
            request.stream = http2 ? 1 + 2 * i : 0;
            exchanges.Request(request);
        }
        const std::size_t piece = 1 + data[1] % 64;
        std::span rest(data + 2, size - 2);
        PacketNumber packet = 1;
        while (!rest.empty()) {
            const std::size_t n = std::min(piece, rest.size());
            if (skipBodies && exchanges.BodyBytesAhead() >= n)
                exchanges.SkipBody(n);
            else
                exchanges.ServerBytes(rest.first(n), packet);
            rest = rest.subspan(n);
            ++packet;
        }
    }
    if (budget.Used() != 0)
        __builtin_trap(); // every byte the readers took is given back
    return sink.answers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    if (read(data, size, false) != read(data, size, true))
        __builtin_trap();
    return 0;
}
