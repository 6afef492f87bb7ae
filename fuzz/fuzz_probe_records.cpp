// Feeds velmora-tls's stream to the record reader and the probe's connections. The first byte picks
// the form of the rest: raw stream bytes in pieces of a size the second byte gives (the reader's
// bounds and checks), or records built from the input (the connections' sequences, offsets, handles
// and their reuse), each an op byte, a few field bytes and payload. Pids and handles come from small
// ranges, so records collide on connections; the budget and the table are small, so connections are
// dropped to make room. Whatever they held is given back once they are gone.
#include "http/HttpRequestReader.h"
#include "probe/ProbeConnections.h"
#include "probe/ProbeRecordReader.h"
#include "tcp/ConnectionBudget.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

using namespace velmora;
using namespace velmora::probe;

namespace {

struct Sink final : HttpRequestSink {
    void Request(HttpRequest& request) override {
        if (request.target.size() > HttpRequestReader::kMaxAddressPart ||
            request.authority.size() > HttpRequestReader::kMaxAddressPart)
            __builtin_trap();
    }
};

void le(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint8_t take(std::span<const std::uint8_t>& in) {
    if (in.empty())
        return 0;
    const std::uint8_t b = in[0];
    in = in.subspan(1);
    return b;
}

// Records from ops: op's low two bits the type (data twice as often; secrets only in raw streams), the
// other bits its flags and how its fields are chosen; the rest of the fields from the next bytes.
std::vector<std::uint8_t> build(std::span<const std::uint8_t> in) {
    constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    std::vector<std::uint8_t> out;
    while (!in.empty()) {
        const std::uint8_t op = take(in);
        const std::uint8_t who = take(in);
        std::vector<std::uint8_t> r;
        le(r, 0, 4);
        const int type = (op & 3) == 3 ? 1 : (op & 3) + 1;
        le(r, type, 2);
        le(r, (op >> 2) & 3, 2); // flags: Cut, LastChunk
        le(r, who & 3, 4);       // pid
        le(r, who & 3, 4);
        le(r, 0, 8);
        le(r, (who >> 2) & 7, 8); // handle
        r.insert(r.end(), 16, 'c');
        std::size_t length = take(in);
        switch (type) {
        case 1: {
            const std::uint8_t sequence = take(in), offset = take(in), more = op & 0x20 ? take(in) : 0;
            length = std::min(length, in.size());
            const bool preface = op & 0x40;
            const std::size_t bytes = length + (preface ? kPreface.size() : 0);
            le(r, sequence & 7, 8);
            le(r, (op & 0x10) ? kMaxCallBytes + 1 : bytes + offset + more, 4);
            le(r, offset, 4);
            r.push_back(1);
            r.push_back((op >> 7) & 1);
            le(r, 0, 2);
            if (preface)
                r.insert(r.end(), kPreface.begin(), kPreface.end());
            break;
        }
        case 2:
            le(r, take(in) & 3, 4); // fd
            le(r, 2, 2);
            le(r, take(in), 2); // local port
            r.insert(r.end(), 36, 0);
            if (!(op & 0x80))
                length = 0; // exact, unless the op breaks it
            break;
        default:
            break;
        }
        length = std::min(length, in.size());
        r.insert(r.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(length));
        in = in.subspan(length);
        const auto size = static_cast<std::uint32_t>(r.size());
        for (int i = 0; i < 4; ++i)
            r[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    ConnectionBudget budget(64 << 10, 8);
    {
        Sink sink;
        ProbeConnections::Limits limits;
        limits.shared = &budget;
        limits.connectionBytes = 16 << 10;
        limits.connections = 6;
        limits.programs = 2;
        ProbeConnections connections(sink, limits);
        ProbeRecordReader reader;
        const std::span<const std::uint8_t> rest(data + 2, size - 2);
        const std::vector<std::uint8_t> stream = data[0] & 1 ? build(rest) : std::vector(rest.begin(), rest.end());
        const std::size_t piece = 1 + data[1];
        for (std::size_t at = 0; at < stream.size(); at += piece)
            reader.Add(std::span(stream).subspan(at, std::min(piece, stream.size() - at)), connections);
        reader.End();
        if (connections.size() > limits.connections || budget.UsedConnections() > 8 || budget.UsedBytes() > (64 << 10))
            __builtin_trap();
    }
    if (budget.UsedBytes() != 0 || budget.UsedConnections() != 0)
        __builtin_trap(); // every byte and connection the table took is given back
    return 0;
}
