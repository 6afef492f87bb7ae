// Feeds arbitrary bytes to the reader of a client's decrypted stream (HTTP/2 frames and HPACK
// header blocks, or HTTP/1.x heads and bodies) in pieces whose sizes come from the input. The
// first byte's low bit puts the HTTP/2 client preface in front.
#include "http/HttpRequestReader.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

using namespace velmora;

namespace {

struct Sink final : HttpRequestSink {
    std::size_t requests = 0;
    void Request(HttpRequest& request) override {
        if (request.text.size() > HttpRequestReader::kMaxHeadBytes + 4 ||
            request.target.size() > HttpRequestReader::kMaxAddressPart ||
            request.authority.size() > HttpRequestReader::kMaxAddressPart)
            __builtin_trap();
        ++requests;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    ByteBudget budget(1 << 20);
    {
        Sink sink;
        HttpRequestReader reader(sink, budget);
        if (data[0] & 1) {
            constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
            reader.Add(std::span(reinterpret_cast<const std::uint8_t*>(kPreface.data()), kPreface.size()), 1);
        }
        const std::size_t piece = 1 + data[1] % 64;
        std::span rest(data + 2, size - 2);
        while (!rest.empty()) {
            const std::size_t n = std::min(piece, rest.size());
            reader.Add(rest.first(n), 2);
            rest = rest.subspan(n);
        }
    }
    if (budget.Used() != 0)
        __builtin_trap(); // every byte the reader took is given back
    return 0;
}
