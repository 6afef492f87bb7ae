// Soak run of the GUI's frame path: the real main window captures on the loopback device while a
// sender floods 127.0.0.1 with UDP datagrams that look like HTTP requests, for a long time, with a
// small packet store budget. Every 30 s it prints the process's resident memory beside the frame
// count and what the store holds, so a run of any length can be seen to stay flat.
//
//   sudo soak_gui_frame_path [SECONDS=600] [BUDGET_MIB=64] [DATAGRAMS_PER_SECOND=20000]
//
// Needs root (capture on lo). Traffic goes to 127.0.0.1 only.

#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Datagrams of 60 to 1400 bytes carrying request lines for a fixed set of 500 media files (escaped
// in UTF-8 and GBK), so the handler renders, scans and tests duplicates on every frame while the
// list itself stays the same size: what grows, if anything, is the store.
class Flood {
public:
    Flood(int perSecond) : perSecond_(perSecond) {
        receiver_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(receiver_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::getsockname(receiver_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::perror("bind 127.0.0.1");
            std::exit(1);
        }
        target_ = address;
        sender_ = std::thread([this] { send(); });
        drainer_ = std::thread([this] { drain(); });
    }
    ~Flood() {
        stopping_ = true;
        sender_.join();
        drainer_.join();
        ::close(receiver_);
    }
    std::uint64_t Sent() const { return sent_.load(); }

private:
    void send() {
        const int out = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        std::string datagram;
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t n = 0;
        while (!stopping_) {
            // Bursts of 100, paced to the rate.
            for (int i = 0; i < 100; ++i, ++n) {
                datagram = "\r\nGET /v/" + std::string(n % 2 ? "%E4%B8%AD%E6%96%87" : "%D6%D0%CE%C4") + "-" +
                           std::to_string(n % 500) + ".mp4 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
                datagram.resize(60 + (n * 7919) % 1340, 'x');
                ::sendto(out, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                         sizeof target_);
            }
            sent_ = n;
            const auto due = start + std::chrono::microseconds(n * 1'000'000 / static_cast<std::uint64_t>(perSecond_));
            std::this_thread::sleep_until(due);
        }
        ::close(out);
    }
    void drain() {
        // A timeout, so the loop sees the stop: shutdown() does not wake a UDP socket's recv().
        timeval wait{0, 200'000};
        ::setsockopt(receiver_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char buffer[2048];
        while (!stopping_)
            ::recv(receiver_, buffer, sizeof buffer, 0);
    }

    int perSecond_;
    int receiver_ = -1;
    sockaddr_in target_{};
    std::atomic<bool> stopping_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::thread sender_;
    std::thread drainer_;
};

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const std::size_t budget = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) << 20;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 20000;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "capturing on lo needs root\n");
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir settingsFolder;
    Dialogs::SetHook([](const DialogRequest& request) {
        std::fprintf(stderr, "message: %s\n", qPrintable(request.text));
        return DialogAnswer{};
    });
    Form1::Options options;
    options.settingsPath = settingsFolder.filePath(QStringLiteral("setting.ini"));
    options.defaultSettingsPath = QApplication::applicationDirPath() + QStringLiteral("/../default-setting.ini");
    options.webBrowser = false;
    options.trayIcon = false;
    Form1 form(options);
    form.Text2()->setText(QStringLiteral("0"));
    form.store().SetMemoryBudget(budget);
    form.resize(900, 640);
    form.show();
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    if (lo < 0) {
        std::fprintf(stderr, "no loopback adapter\n");
        return 1;
    }
    form.Combo2()->setCurrentIndex(lo);
    std::printf("budget %zu MiB, %d datagrams/s for %d s; resident memory before capture %ld KiB\n", budget >> 20, rate,
                seconds, ResidentKiB());
    form.Cmd1_Click(0);
    if (!form.vpacket().IsCapturing()) {
        std::fprintf(stderr, "capture did not start\n");
        return 1;
    }
    Flood flood(rate);
    QElapsedTimer clock;
    clock.start();
    std::printf("%7s %12s %12s %12s %12s %8s %12s\n", "seconds", "rss KiB", "frames", "store KiB", "kernel drop",
                "rows", "sent");
    auto report = [&] {
        const velmora::CaptureStats stats = form.vpacket().Stats();
        std::printf("%7lld %12ld %12llu %12zu %12llu %8d %12llu\n", clock.elapsed() / 1000, ResidentKiB(),
                    static_cast<unsigned long long>(form.store().PacketCount()), form.store().HeldBytes() >> 10,
                    static_cast<unsigned long long>(stats.droppedByKernel), form.resultModel()->rowCount(),
                    static_cast<unsigned long long>(flood.Sent()));
        std::fflush(stdout);
    };
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &app, [&] {
        report();
        if (clock.elapsed() >= seconds * 1000LL)
            QCoreApplication::exit(0); // not quit(): that first closes the windows, and Form1 only hides
    });
    sampler.start(30000);
    report();
    app.exec();
    form.Cmd1_Click(0);
    return 0;
}
