// Two readers behind one target, picked by the first byte:
//   even: UDP frames (Ethernet, split at "\xFF\xFE\xFD") to the QUIC connection table with the key
//         logs of the test data, so that packets taken unchanged from the QUIC capture open and the
//         rest exercises header parsing, connection IDs, Retry and the waiting for keys;
//   odd:  STREAM frame data straight to the HTTP/3 reader, which authenticated packets shield from
//         mutation: records of direction and stream ID (one byte each), offset (two bytes) and length
//         (one byte), then the data, so that QPACK, the encoder streams and HTTP/3 framing see
//         anything.
// The corpus starts from the frames of the QUIC capture.
#include "tls/KeyLog.h"
#include "fuzz/FuzzFrames.h"
#include "fuzz/FuzzKeyLog.h"
#include "quic/Http3Reader.h"
#include "quic/QuicConnectionTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace velmora;

namespace {

struct Sink final : HttpRequestSink {
    void Request(HttpRequest& request) override {
        if (request.method.empty())
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    Sink sink;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 1) {
        ByteBudget budget(256 << 10);
        {
            Http3Reader http(sink, budget);
            for (std::size_t at = 0; at + 5 <= input.size();) {
                const auto* r = reinterpret_cast<const std::uint8_t*>(input.data() + at);
                const std::size_t length = std::min<std::size_t>(r[4], input.size() - at - 5);
                http.StreamData(r[0] & 1, r[1], std::uint64_t{r[2]} << 8 | r[3], std::span(r + 5, length), at);
                at += 5 + length;
            }
        }
        if (budget.Used() != 0)
            std::abort(); // everything the reader held was given back
        return 0;
    }
    static KeyLog keys = [] {
        KeyLog log;
        if (!log.Open(fuzz::TestKeyLogPath()))
            std::abort();
        return log;
    }();
    HttpsRequestFinder::Limits limits;
    limits.connectionBytes = 64 << 10;
    limits.totalBytes = 256 << 10;
    limits.connections = 4;
    QuicConnectionTable table(keys, sink, limits);
    PacketNumber packet = 0;
    fuzz::ForEachFuzzFrame(input, [&](std::span<const std::uint8_t> frame) {
        UdpDatagram datagram;
        if (ReadUdpDatagram(frame, 1, datagram))
            table.Datagram(datagram, ++packet);
        if (table.size() > limits.connections)
            std::abort();
    });
    const QuicStats stats = table.Stats();
    if (stats.decrypted + stats.withoutKeys > stats.seen)
        std::abort();
    return 0;
}
