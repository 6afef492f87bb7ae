// Feeds arbitrary bytes as the segments of a few clear-text connections (three clients of one
// server, and one endpoint that is both) to the following of clear-text answers. Each segment is a
// control byte, a length byte and that many payload bytes: the control byte says who sends it, its
// flags, and whether it comes where its sender's stream stands, a little before or ahead, or at a
// sequence number of the input's choosing. The budget is small, so that connections are dropped
// to make room; whatever they held is given back once they are gone.
#include "http/ClearTextExchanges.h"
#include "tcp/ConnectionBudget.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

using namespace velmora;

namespace {

struct Stream {
    std::uint32_t next = 0;
};

std::uint32_t read32(std::span<const std::uint8_t>& in) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4 && !in.empty(); ++i, in = in.subspan(1))
        v = v << 8 | in[0];
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::array<std::uint8_t, 4> server = {127, 0, 0, 1};
    static const std::array<std::array<std::uint8_t, 4>, 3> clients = {{{10, 0, 0, 1}, {10, 0, 0, 2}, {127, 0, 0, 1}}};
    ConnectionBudget shared(256 << 10, 4);
    {
        ClearTextExchanges::Limits limits;
        limits.connectionBytes = 64 << 10;
        limits.pendingRequests = 8;
        limits.shared = &shared;
        ClearTextExchanges exchanges(
            [](std::u16string_view address, PacketNumber, HttpResponseHead& response, std::string_view referer) {
                if (address.empty() || referer.size() > 1024 || response.status > 999)
                    __builtin_trap();
                return std::size_t{response.status == 200 ? 512u : 0u};
            },
            [](std::u16string_view, std::span<const std::uint8_t> body, bool) {
                if (body.size() > 512)
                    __builtin_trap();
            },
            limits);
        std::array<Stream, 6> streams{}; // client and server of each connection
        std::span in(data, size);
        PacketNumber packet = 0;
        while (in.size() >= 2) {
            const std::uint8_t control = in[0];
            const std::size_t length = in[1];
            in = in.subspan(2);
            const unsigned connection = (control & 3u) % 3u;
            const bool fromServer = control & 4;
            Stream& stream = streams[connection * 2 + (fromServer ? 1 : 0)];
            const Stream& peer = streams[connection * 2 + (fromServer ? 0 : 1)];
            TcpSegment segment;
            segment.source = fromServer ? server.data() : clients[connection].data();
            segment.destination = fromServer ? clients[connection].data() : server.data();
            segment.sourcePort = fromServer ? 80 : static_cast<std::uint16_t>(40000 + connection % 2);
            segment.destinationPort = fromServer ? static_cast<std::uint16_t>(40000 + connection % 2) : 80;
            switch (control >> 3 & 3) {
            case 0:
                segment.sequence = stream.next;
                break;
            case 1:
                segment.sequence = stream.next + static_cast<std::uint32_t>(length) / 2; // ahead: a gap
                break;
            case 2:
                segment.sequence = stream.next - static_cast<std::uint32_t>(length) / 2; // again, in part
                break;
            default:
                segment.sequence = read32(in);
                break;
            }
            segment.ack = true;
            segment.acknowledgement = peer.next;
            const std::uint8_t flags = control >> 5;
            segment.syn = flags == 1;
            segment.fin = flags == 2 || flags == 6;
            segment.rst = flags == 3;
            segment.ack = flags != 1;
            if (segment.syn && !fromServer)
                stream.next = segment.sequence = read32(in);
            const std::size_t n = std::min(length, in.size());
            segment.payload = in.first(n);
            segment.missing = flags == 4 ? static_cast<std::uint32_t>(length - n + 7) : 0;
            in = in.subspan(n);
            if ((control >> 3 & 3) == 0)
                stream.next = segment.sequence + static_cast<std::uint32_t>(n + segment.missing) + (segment.fin ? 1 : 0);
            exchanges.Segment(segment, ++packet);
            if (exchanges.HeldBytes() > shared.TotalBytes() || shared.UsedBytes() > shared.TotalBytes() ||
                shared.UsedConnections() > shared.TotalConnections())
                __builtin_trap();
        }
        exchanges.EndCapture(++packet);
    }
    if (shared.UsedBytes() != 0 || shared.UsedConnections() != 0)
        __builtin_trap(); // every byte and connection taken is given back
    return 0;
}
