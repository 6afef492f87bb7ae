// Feeds arbitrary frames (Ethernet, split at "\xFF\xFE\xFD") to the HTTPS request finder with the
// key logs of the test captures, so that records taken unchanged from those captures decrypt and
// the rest exercises TCP reassembly, the TLS record and handshake reader and their failures. The
// corpus starts from the frames of the test captures.
#include "capture/MediaAddressExtractor.h"
#include "tls/HttpsRequestFinder.h"
#include "fuzz/FuzzKeyLog.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace velmora;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FileTypeTable table({{u".mp4", u"视频", u""}, {u".mp3", u"音频", u""}, {u"", u"其它", u""}});
    PacketStore store(0);
    ResultList results;
    MediaAddressExtractor extractor(store, results, table);
    HttpsRequestFinder::Limits limits;
    limits.connectionBytes = 64 << 10;
    limits.totalBytes = 256 << 10;
    limits.connections = 8;
    HttpsRequestFinder https(extractor, limits);
    if (!https.OpenKeyLog(fuzz::TestKeyLogPath()))
        std::abort();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find("\xFF\xFE\xFD", start);
        if (end == std::string_view::npos)
            end = input.size();
        const std::span frame(reinterpret_cast<const std::uint8_t*>(input.data() + start), end - start);
        extractor.vpacket_PacketReceived(frame, 1, {0, 0});
        https.PacketReceived(frame, 1, store.CurrentPacket(), {0, 0});
        start = end + 3;
    }
    const TlsStats stats = https.Stats();
    if (stats.decrypted + stats.withoutKeys + stats.unsupported + stats.failed > stats.seen)
        std::abort();
    return 0;
}
