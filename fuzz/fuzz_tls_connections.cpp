// Feeds arbitrary frames (Ethernet, split at "\xFF\xFE\xFD") to the HTTPS request finder with the
// key logs of the test captures, so that records taken unchanged from those captures decrypt and
// the rest exercises TCP reassembly, the TLS record and handshake reader and their failures. The
// corpus starts from the frames of the test captures.
#include "capture/MediaAddressExtractor.h"
#include "decrypt/HttpsRequestFinder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

using namespace velmora;

namespace {

// Every key log of the test data in one in-memory file.
std::string keyLogPath() {
    static const std::string path = [] {
        const int fd = ::memfd_create("velmora-fuzz-keys", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
        for (const auto& entry : std::filesystem::directory_iterator(VELMORA_TEST_DATA)) {
            if (entry.path().extension() != ".keys")
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

} // namespace

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
    if (!https.OpenKeyLog(keyLogPath()))
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
