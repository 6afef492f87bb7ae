// Feeds arbitrary bytes to the capture component as a capture file and reads it to the end, as the
// command-line tool does with -r. The component parses common pcap files itself; what it delivers
// must be exactly what a plain libpcap loop reads from the same bytes, up to the same damage.

#include "capture/pcap/CaptureComponent.h"

#include <pcap/pcap.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Frame {
    std::vector<std::uint8_t> bytes;
    int linkType;
    std::int64_t seconds;
    std::int64_t microseconds;
};

// The frames libpcap reads until the end or the first damage, cut to the component's limit.
std::vector<Frame> readWithLibpcap(const std::string& path, bool& damaged) {
    std::vector<Frame> frames;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(path.c_str(), error);
    if (handle == nullptr) {
        std::abort(); // the component opened it
    }
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status;
    while ((status = pcap_next_ex(handle, &header, &data)) == 1) {
        frames.push_back({std::vector<std::uint8_t>(data, data + header->caplen), pcap_datalink(handle), header->ts.tv_sec,
                          header->ts.tv_usec});
    }
    damaged = status != PCAP_ERROR_BREAK;
    pcap_close(handle);
    return frames;
}

// One in-memory file for the whole run, reached by path so the ordinary OpenFile path is used.
int memoryFile() {
    static const int fd = [] {
        const int created = ::memfd_create("velmora-fuzz-capture", MFD_CLOEXEC);
        if (created < 0) {
            std::abort();
        }
        return created;
    }();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memoryFile();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    velmora::CaptureComponent component(velmora::CaptureComponent::QueueLimits{64, 1 << 20});
    if (!component.OpenFile(path) || !component.StartCapture()) {
        return 0;
    }
    bool damaged = false;
    const std::vector<Frame> expected = readWithLibpcap(path, damaged);
    std::size_t delivered = 0;
    std::array<std::uint8_t, velmora::CaptureComponent::kMaxFrameBytes + 1> captureBuffer{};
    component.SetPacketReceived([&](std::int32_t numbytes) {
        if (numbytes < 0 || numbytes > velmora::CaptureComponent::kMaxFrameBytes ||
            component.ReadPacket(captureBuffer) != numbytes || delivered >= expected.size()) {
            std::abort();
        }
        const Frame& frame = expected[delivered++];
        // The engine gets every byte; ReadPacket's buffer the first kMaxFrameBytes of them.
        if (static_cast<std::size_t>(numbytes) !=
            std::min<std::size_t>(frame.bytes.size(), velmora::CaptureComponent::kMaxFrameBytes))
            std::abort();
        const auto bytes = component.CurrentFrame();
        if (!std::equal(bytes.begin(), bytes.end(), frame.bytes.begin(), frame.bytes.end()) ||
            component.CurrentLinkType() != frame.linkType) {
            std::abort();
        }
        // Timestamps an ordinary clock can give are passed on exactly.
        if (frame.seconds > -(std::int64_t{1} << 40) && frame.seconds < (std::int64_t{1} << 40) &&
            component.CurrentTimestamp().count() != frame.seconds * 1000000 + frame.microseconds) {
            std::abort();
        }
    });
    while (!component.Finished()) {
        component.WaitForFrames(std::chrono::milliseconds(100));
        component.DispatchPending(256);
    }
    const velmora::CaptureResult end = component.EndResult();
    if (delivered != expected.size() || end.ok == damaged) {
        std::abort();
    }
    if (!end &&
        end.message.find(path + "\" is damaged at frame " + std::to_string(delivered + 1) + ":") == std::string::npos) {
        std::abort(); // a read error must name the file and the frame
    }
    return 0;
}
