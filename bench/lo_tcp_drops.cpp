// The kernel's drops under a flood of large TCP frames on lo, for the ring libpcap lays out for a
// snap length: a sender writes 64 KiB at a time over one loopback connection for a while (TSO gives
// frames of up to 64 KiB), and the capture component, set up as the window sets it up (the design's
// buffer size), hands every frame to the engine. Each round measures every snap length in turn, so a
// busy machine slows them alike; medians are printed. Needs root.
// Usage: lo_tcp_drops [SECONDS] [ROUNDS] [SNAPLEN[:RING_MIB]...]
//   (default 3 s, 5 rounds, 15000 and 262144 with the ring the component sizes itself)
#include "capture/FileTypeTable.h"
#include "capture/pcap/CaptureComponent.h"
#include "engine/CaptureEngine.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <map>
#include <thread>
#include <vector>

using namespace velmora;

namespace {

struct Result {
    std::uint64_t received = 0, dropped = 0, bytes = 0;
};

// A loopback connection with a reader that drains it, written to as fast as it goes for `seconds`.
std::uint64_t flood(double seconds) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        std::perror("listen");
        std::exit(2);
    }
    std::thread reader([listener] {
        const int peer = accept(listener, nullptr, nullptr);
        std::vector<char> sink(1 << 20);
        while (read(peer, sink.data(), sink.size()) > 0) {
        }
        close(peer);
    });
    const int sender = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(sender, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        std::perror("connect");
        std::exit(2);
    }
    std::vector<char> block(64 << 10, 'v');
    std::uint64_t sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t n = write(sender, block.data(), block.size());
        if (n <= 0)
            break;
        sent += static_cast<std::uint64_t>(n);
    }
    close(sender);
    reader.join();
    close(listener);
    return sent;
}

struct Setting {
    int snapLength = 0;
    int ringMiB = 0; // 0: the design's buffer size, as the window passes it
    bool operator<(const Setting& o) const { return std::pair(snapLength, ringMiB) < std::pair(o.snapLength, o.ringMiB); }
};

Result measure(Setting setting, double seconds) {
    const int snapLength = setting.snapLength;
    FileTypeTable table;
    CaptureEngine engine(table);
    CaptureComponent component;
    ExtractionOptions options;
    std::uint64_t bytes = 0;
    component.SetPacketReceived([&](std::int32_t) {
        bytes += component.CurrentFrame().size();
        engine.FrameReceived(component.CurrentFrame(), component.CurrentLinkType(), options,
                             &component.CurrentFrameMarkers());
    });
    if (!component.OpenAdapter("lo")) {
        std::fputs("cannot open lo: run as root\n", stderr);
        std::exit(2);
    }
    component.SetPacketFilter(CaptureComponent::kPromiscuous);
    component.SetReadTimeout(1000);
    component.InitPacket(snapLength);
    component.SetBufferSize(setting.ringMiB > 0 ? setting.ringMiB << 20 : CaptureComponent::kMaxFrameBytes);
    if (!component.StartCapture()) {
        std::fputs("cannot start the capture\n", stderr);
        std::exit(2);
    }
    std::atomic<bool> flooding{true};
    std::thread sender([&] {
        flood(seconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        flooding = false;
    });
    while (flooding || component.PendingFrames() > 0) {
        component.WaitForFrames(std::chrono::milliseconds(20));
        component.DispatchPending(4096);
    }
    sender.join();
    component.StopCapture();
    const CaptureStats stats = component.Stats();
    return {stats.received, stats.droppedByKernel, bytes};
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::vector<Setting> snaps;
    for (int i = 3; i < argc; ++i) {
        const char* ring = std::strchr(argv[i], ':');
        snaps.push_back({std::atoi(argv[i]), ring ? std::atoi(ring + 1) : 0});
    }
    if (snaps.empty())
        snaps = {{CaptureComponent::kMaxFrameBytes, 0}, {CaptureComponent::kSnapLength, 0}};
    std::map<Setting, std::vector<Result>> results;
    for (int round = 0; round < rounds; ++round)
            for (const Setting& snap : snaps)
            results[snap].push_back(measure(snap, seconds));
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("%d rounds of %.1f s; median [lowest-highest]\n%10s %8s %22s %26s %12s\n", rounds, seconds, "snaplen",
                "ring MiB", "frames received", "dropped by the kernel", "MB handled");
    for (const Setting& snap : snaps) {
        std::vector<double> received, dropped, mb;
        for (const Result& r : results[snap]) {
            received.push_back(static_cast<double>(r.received));
            dropped.push_back(static_cast<double>(r.dropped));
            mb.push_back(static_cast<double>(r.bytes) / 1e6);
        }
        std::printf("%10d %8s %12.0f [%.0f-%.0f] %12.0f [%.0f-%.0f] %12.0f\n", snap.snapLength,
                    snap.ringMiB > 0 ? std::to_string(snap.ringMiB).c_str() : "default", median(received),
                    *std::min_element(received.begin(), received.end()), *std::max_element(received.begin(), received.end()),
                    median(dropped), *std::min_element(dropped.begin(), dropped.end()),
                    *std::max_element(dropped.begin(), dropped.end()), median(mb));
    }
}
