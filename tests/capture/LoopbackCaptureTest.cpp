// Live capture on the loopback device (needs root). Traffic goes to 127.0.0.1 only.

#include "CaptureTestSupport.h"

#include "capture/FrameText.h"
#include "capture/PacketStore.h"
#include "capture/TcpPayload.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

using namespace velmora;
using namespace velmora::test;
using namespace std::chrono_literals;

namespace {

// Answers every HTTP request on 127.0.0.1 with a short body until destroyed.
class LocalHttpServer {
public:
    LocalHttpServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LocalHttpServer() {
        stopping_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(listener_);
    }
    int Port() const { return port_; }

    // Fetches a path with curl; true when curl succeeded.
    bool Fetch(const std::string& path) const {
        const std::string command =
            "curl -s -o /dev/null --max-time 10 http://127.0.0.1:" + std::to_string(port_) + path;
        return std::system(command.c_str()) == 0;
    }

private:
    void serve() {
        while (!stopping_) {
            pollfd wait{listener_, POLLIN, 0};
            if (::poll(&wait, 1, 100) <= 0) {
                continue;
            }
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            std::string request;
            char chunk[2048];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const ssize_t got = ::recv(client, chunk, sizeof chunk, 0);
                if (got <= 0) {
                    break;
                }
                request.append(chunk, static_cast<std::size_t>(got));
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";
            [[maybe_unused]] const ssize_t sent = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

class LoopbackCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "capturing on lo needs root";
        }
    }

    // Opens lo the way capture start does.
    static void OpenLoopback(CaptureComponent& component) {
        const CaptureResult opened = component.OpenAdapter("lo");
        ASSERT_TRUE(opened) << opened.message;
        ASSERT_TRUE(component.SetPacketFilter(CaptureComponent::kPromiscuous));
        ASSERT_TRUE(component.SetReadTimeout(1000));
        ASSERT_TRUE(component.AllocatePacket());
        ASSERT_TRUE(component.InitPacket(CaptureComponent::kMaxFrameBytes));
        ASSERT_TRUE(component.SetBufferSize(CaptureComponent::kMaxFrameBytes));
        const CaptureResult started = component.StartCapture();
        ASSERT_TRUE(started) << started.message;
    }
};

} // namespace

TEST_F(LoopbackCapture, ListsLoopbackWithItsAddress) {
    CaptureComponent component;
    const std::vector<std::string> names = component.ListAdapters();
    EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());

    std::uint32_t address = 1;
    std::uint32_t mask = 1;
    EXPECT_TRUE(component.LookupNetwork("lo", address, mask));
    EXPECT_EQ(address, 0x7F000001u);
    EXPECT_EQ(mask, 0xFF000000u);

    const CaptureResult missing = component.LookupNetwork("velmora-none0", address, mask);
    EXPECT_FALSE(missing);
    EXPECT_NE(missing.message.find("velmora-none0"), std::string::npos);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(mask, 0u);
}

TEST_F(LoopbackCapture, MissingAdapterIsReportedWithLibpcapReason) {
    CaptureComponent component;
    const CaptureResult opened = component.OpenAdapter("velmora-none0");
    EXPECT_FALSE(opened);
    EXPECT_NE(opened.message.find("\"velmora-none0\""), std::string::npos) << opened.message;
    EXPECT_NE(opened.message.find("No such device"), std::string::npos) << opened.message;
    EXPECT_FALSE(component.IsOpen());
    EXPECT_FALSE(component.StartCapture());
    EXPECT_FALSE(component.IsCapturing());
}

TEST_F(LoopbackCapture, WithoutPrivilegeTheAdapterIsRefusedWithLibpcapReason) {
    // In a child that gives up root, so the test process keeps its privileges.
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        CaptureComponent component;
        const CaptureResult opened = component.OpenAdapter("lo");
        const std::string report = (opened ? "opened" : "refused") + std::string("|") + opened.message +
                                   (component.IsOpen() ? "|open" : "|closed");
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string report;
    char chunk[512];
    for (ssize_t got; (got = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
        report.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not drop root";
    EXPECT_EQ(report.rfind("refused|Cannot open adapter \"lo\": ", 0), 0u) << report;
    EXPECT_NE(report.find("permission"), std::string::npos) << report;
    EXPECT_NE(report.find("|closed"), std::string::npos) << report;
}

TEST_F(LoopbackCapture, HttpRequestReachesThePacketStore) {
    LocalHttpServer server;
    CaptureComponent component;
    OpenLoopback(component);

    PacketStore store;
    std::array<std::uint8_t, CaptureComponent::kMaxFrameBytes + 1> captureBuffer{};
    std::u16string allText;
    bool ethernet = true;
    component.SetPacketReceived([&](std::int32_t numbytes) {
        ASSERT_LE(numbytes, CaptureComponent::kMaxFrameBytes);
        ASSERT_EQ(component.ReadPacket(captureBuffer), numbytes);
        const PacketNumber n = store.Store(std::span(captureBuffer.data(), static_cast<std::size_t>(numbytes)));
        allText += PacketToTextCn(store, n);
        ethernet = ethernet && component.CurrentLinkType() == linktype::kEthernet;
    });

    ASSERT_TRUE(server.Fetch("/some/path.mp4"));
    const std::u16string requestLine = Ascii("GET /some/path.mp4 HTTP/1.1");
    const std::u16string host = Ascii("Host: 127.0.0.1:" + std::to_string(server.Port()));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((allText.find(requestLine) == std::u16string::npos || allText.find(host) == std::u16string::npos) &&
           std::chrono::steady_clock::now() < deadline) {
        component.WaitForFrames(200ms);
        component.DispatchPending(1000);
    }
    EXPECT_NE(allText.find(requestLine), std::u16string::npos);
    EXPECT_NE(allText.find(host), std::u16string::npos);
    EXPECT_TRUE(ethernet);
    EXPECT_GE(store.PacketCount(), 3u);
    EXPECT_FALSE(component.Finished());

    EXPECT_TRUE(component.StopCapture());
    const CaptureStats stats = component.Stats();
    EXPECT_GE(stats.received, stats.delivered);
    EXPECT_EQ(stats.delivered, store.PacketCount());
    EXPECT_TRUE(component.CloseAdapter());
}

TEST_F(LoopbackCapture, StopReturnsOnAnIdleCapture) {
    CaptureComponent component;
    OpenLoopback(component);
    EXPECT_TRUE(component.IsCapturing());
    EXPECT_TRUE(component.StopCapture());
    EXPECT_FALSE(component.IsCapturing());
    EXPECT_TRUE(component.StopCapture()); // a second stop is harmless
    EXPECT_TRUE(component.EndResult());
    EXPECT_TRUE(component.CloseAdapter());

    // Closing without stopping first, and destroying while capturing, also end the thread.
    OpenLoopback(component);
    EXPECT_TRUE(component.CloseAdapter());
    CaptureComponent dropped;
    OpenLoopback(dropped);
}

TEST_F(LoopbackCapture, FramesQueuedBeforeStopAreNotDelivered) {
    LocalHttpServer server;
    CaptureComponent component;
    int announced = 0;
    component.SetPacketReceived([&](std::int32_t) { ++announced; });
    OpenLoopback(component);
    ASSERT_TRUE(server.Fetch("/queued.mp4"));
    bool waiting = false;
    for (int i = 0; i < 100 && !waiting; ++i) {
        waiting = component.WaitForFrames(200ms);
    }
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(component.StopCapture());
    EXPECT_EQ(component.DispatchPending(1000), 0u);
    EXPECT_EQ(announced, 0);
    EXPECT_GE(component.Stats().discardedAtStop, 1u);
}

TEST_F(LoopbackCapture, WhileTheConsumerLagsTheKernelDropsAndCountsIt) {
    CaptureComponent component(CaptureComponent::QueueLimits{8, 1 << 20});
    OpenLoopback(component);
    // Nobody dispatches: the queue fills, the capture thread waits, the kernel ring overflows.
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    target.sin_port = htons(9); // discard
    const std::vector<char> datagram(1400, 'x');
    for (int i = 0; i < 6000; ++i) { // 8 MB: twice the kernel ring
        ::sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
    ::close(sender);
    // The count is kept fresh while the capture thread waits for room.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (component.DroppedByKernel() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_GT(component.DroppedByKernel(), 0u);

    EXPECT_TRUE(component.StopCapture());
    const CaptureStats stats = component.Stats();
    EXPECT_GT(component.DroppedByKernel(), 0u);
    EXPECT_EQ(stats.droppedByKernel, component.DroppedByKernel());
    EXPECT_EQ(stats.delivered, 0u);
    EXPECT_EQ(stats.discardedAtStop, stats.queued);
    EXPECT_GE(stats.queued, 8u);
}

namespace {

// Runs `work` in a child that gives up root (so the capture turns to the helper), and returns what it reported.
std::string ReportAsNobody(const std::function<std::string()>& work) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const std::string report = work();
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string report;
    char chunk[512];
    for (ssize_t got; (got = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;) {
        report.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? report : "the child could not drop root";
}

} // namespace

TEST_F(LoopbackCapture, AStatusLineWithoutEndFromTheHelperEndsTheCapture) {
    // A helper that starts an empty stream, says ready, then sends 25 MB of one status line and waits.
    TempDir dir;
    ::chmod(dir.File("").c_str(), 0755);
    WriteBytes(dir.File("header.pcap"), MakePcap(linktype::kEthernet, {}));
    WriteBytes(dir.File("chunk"), Bytes(1 << 20, 'x'));
    const std::string helper = dir.File("fake-capture-helper");
    std::ofstream(helper) << R"(#!/bin/bash
for argument; do [ "$argument" = --check ] && { echo 'ready 1' >&3; exit 0; }; done
here=$(dirname "$0")
cat "$here/header.pcap"
echo 'ready 1' >&3
chunk=$(<"$here/chunk")
for _ in $(seq 25); do printf %s "$chunk" >&3; done
exec sleep 600
)";
    ::chmod(helper.c_str(), 0755);

    const std::string report = ReportAsNobody([&] {
        ::setenv("VELMORA_CAPTURE_HELPER", helper.c_str(), 1);
        CaptureComponent component;
        CaptureResult result = component.OpenAdapter("lo");
        if (result) {
            result = component.StartCapture();
        }
        if (!result) {
            return "not started|" + result.message;
        }
        const Drained drained = DrainToEnd(component);
        return (component.Finished() ? "ended|" : "running|") + drained.end.message;
    });
    EXPECT_EQ(report, "ended|Capture on adapter \"lo\" failed: the capture helper sent a status line longer than "
                      "4096 bytes");
}
