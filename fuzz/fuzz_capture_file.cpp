// Feeds arbitrary bytes to the capture component as a capture file and reads it to the end
// through the capture thread and queue, as the command-line tool does with -r.

#include "capture/pcap/CaptureComponent.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

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
    std::array<std::uint8_t, velmora::CaptureComponent::kMaxFrameBytes + 1> captureBuffer{};
    component.SetPacketReceived([&](std::int32_t numbytes) {
        if (numbytes < 0 || numbytes > velmora::CaptureComponent::kMaxFrameBytes ||
            component.ReadPacket(captureBuffer) != numbytes) {
            std::abort();
        }
    });
    while (!component.Finished()) {
        component.WaitForFrames(std::chrono::milliseconds(100));
        component.DispatchPending(256);
    }
    const velmora::CaptureResult end = component.EndResult();
    if (!end && end.message.find(path) == std::string::npos) {
        std::abort(); // a read error must name the file
    }
    return 0;
}
