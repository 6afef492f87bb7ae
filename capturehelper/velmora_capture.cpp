// velmora-capture: the only Velmora program that may hold the right to capture. It opens one adapter,
// writes its frames to standard output as a pcap stream and reports through a status channel; everything
// that parses the frames runs in the caller's process with the caller's rights. libpcap and the helpers'
// shared rules (helpers/HelperRules) only, so the privileged code stays small enough to read in one sitting.
//
// Status lines (on --status-fd, else standard error), one per line:
//   ready LINKTYPE               the adapter is capturing; the stream's file header has been written
//   warning TEXT                 libpcap activated the adapter with a warning, or -B was lowered
//   error STATUS TEXT            the capture could not start or ended; STATUS is libpcap's code (-1 when none)
//   stats RECEIVED DROPPED IFDROPPED   libpcap's counters, a few times a second and once at the end
// Exit status: 0 after a stop (SIGTERM, SIGINT, SIGHUP, or the reader closing the stream), 1 on a capture
// error or when the user already runs kMaxRuns helpers, 2 on bad arguments or an adapter that is not a
// kernel network interface.
//
// What the right may cost whoever holds it: only kernel network interfaces are opened (libpcap's other
// sources reach D-Bus, whose unixexec addresses run programs), the environment is cleared before libpcap
// starts, the kernel buffer is at most kMaxBufferBytes and one user runs at most kMaxRuns helpers at once.

#include "helpers/HelperRules.h"

#include <pcap/pcap.h>

#include <linux/capability.h>
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace helper = velmora::helper;

namespace {

constexpr int kExitCaptureError = 1;
constexpr int kExitUsage = 2;
constexpr int kStatsIntervalMs = 250;
// Each run pins its buffer in kernel memory that no limit of the user's counts.
constexpr int kMaxBufferBytes = 32 << 20;
constexpr int kMaxRuns = 4;

const char* const kUsage =
    "usage: velmora-capture -i ADAPTER [-s SNAPLEN] [-p] [-B BYTES] [-t MS] [-f FILTER] [--status-fd FD]\n"
    "       velmora-capture -i ADAPTER --check\n"
    "       velmora-capture -D\n"
    "\n"
    "Captures on ADAPTER and writes the frames to standard output as a pcap stream, for velmora and\n"
    "velmora-cli. Status lines (ready, warning, error, stats) go to FD, else to standard error.\n"
    "  -s SNAPLEN   bytes kept of each frame (default 262144)\n"
    "  -p           promiscuous mode\n"
    "  -B BYTES     kernel buffer size (at most 33554432)\n"
    "  -t MS        read time-out in milliseconds (default 1000)\n"
    "  -f FILTER    a capture filter in libpcap's syntax\n"
    "  --check      only check that ADAPTER can be opened, then exit\n"
    "  -D           list the adapters\n"
    "\n"
    "ADAPTER is a kernel network interface (ip link); one user runs at most 4 captures at once.\n";

struct Options {
    std::string adapter;
    int snapLength = 262144;
    bool promiscuous = false;
    int bufferBytes = 0; // 0: libpcap's default
    int timeoutMs = 1000;
    std::string filter;
    int statusFd = STDERR_FILENO;
    bool check = false;
    bool list = false;
};

volatile std::sig_atomic_t stopRequested = 0;
pcap_t* liveHandle = nullptr;

void onStopSignal(int) {
    stopRequested = 1;
    if (liveHandle != nullptr) {
        pcap_breakloop(liveHandle);
    }
}

bool parseInt(const char* text, int low, int& out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > 1 << 30) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool parseArguments(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* text = nullptr;
        if (arg == "-i") {
            if (!value(text))
                return false;
            options.adapter = text;
        } else if (arg == "-s" || arg == "-B" || arg == "-t" || arg == "--status-fd") {
            if (!value(text))
                return false;
            int& target = arg == "-s"   ? options.snapLength
                          : arg == "-B" ? options.bufferBytes
                          : arg == "-t" ? options.timeoutMs
                                        : options.statusFd;
            if (!parseInt(text, arg == "-s" ? 1 : 0, target)) {
                error = std::string(arg) + ": not a number in range: " + text;
                return false;
            }
        } else if (arg == "-f") {
            if (!value(text))
                return false;
            options.filter = text;
        } else if (arg == "-p") {
            options.promiscuous = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "-D") {
            options.list = true;
        } else {
            error = "unknown argument " + std::string(arg);
            return false;
        }
    }
    if (!options.list && options.adapter.empty()) {
        error = "no adapter given (-i ADAPTER)";
        return false;
    }
    return true;
}

// A kernel network interface, as the kernel names them (dev_valid_name): at most 15 bytes, no '/', ':' or
// white space. Every other name libpcap accepts opens something else: usbmon, bluetooth, nflog, nfqueue,
// and D-Bus, whose addresses may name a program to run. Those prefixes are refused even when an interface
// of that name exists, since libpcap would pick its own source first. An alias label ("eth0:1") is an
// address of eth0, not an interface: the kernel would capture all of eth0, so the name is refused.
bool isKernelInterface(const char* name) {
    const std::string_view text = name;
    if (text.empty() || text.size() >= IF_NAMESIZE || text == "." || text == "..") {
        return false;
    }
    for (const char c : text) {
        if (c == '/' || c == ':' || std::isspace(static_cast<unsigned char>(c)) != 0) {
            return false;
        }
    }
    for (const std::string_view other : {"dbus", "usbmon", "bluetooth", "nflog", "nfqueue"}) {
        if (text.starts_with(other)) {
            return false;
        }
    }
    return if_nametoindex(name) != 0;
}

int listAdapters() {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errbuf) != 0) {
        helper::Status("error -1 %s", errbuf);
        return kExitCaptureError;
    }
    for (const pcap_if_t* device = devices; device != nullptr; device = device->next) {
        if (!isKernelInterface(device->name)) {
            continue;
        }
        std::printf("%s\t%s\n", device->name, device->description != nullptr ? device->description : "");
    }
    pcap_freealldevs(devices);
    return std::fflush(stdout) == 0 ? 0 : kExitCaptureError;
}

// Once the packet socket is open nothing here needs a capability: reading it, its statistics and the
// filter are ordinary socket calls. Drops all three sets, so a fault in libpcap's parsing of what the
// kernel hands over cannot be turned into raw network access.
bool dropCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, data) != 0) {
        return false;
    }
    // And never regain any through exec (there is none, but the rule costs nothing).
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

long long millisecondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void reportStats(pcap_t* handle) {
    pcap_stat stats{};
    if (pcap_stats(handle, &stats) == 0) {
        helper::Status("stats %u %u %u", stats.ps_recv, stats.ps_drop, stats.ps_ifdrop);
    }
}

// libpcap's code and message for a failed activation, as the caller words it for the user.
int activationFailure(pcap_t* handle, int code) {
    const char* detail = pcap_geterr(handle);
    helper::Status("error %d %s", code, detail != nullptr && *detail != '\0' ? detail : pcap_statustostr(code));
    return kExitCaptureError;
}

int capture(const Options& options) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_create(options.adapter.c_str(), errbuf);
    if (handle == nullptr) {
        helper::Status("error -1 %s", errbuf);
        return kExitCaptureError;
    }
    if (options.check) {
        // The same short trial the programs make themselves: small, so it costs nothing.
        pcap_set_snaplen(handle, 64);
        pcap_set_buffer_size(handle, 64 * 1024);
    } else {
        pcap_set_snaplen(handle, options.snapLength);
        pcap_set_promisc(handle, options.promiscuous ? 1 : 0);
        pcap_set_timeout(handle, options.timeoutMs);
        if (options.bufferBytes > 0) {
            pcap_set_buffer_size(handle, options.bufferBytes);
        }
    }
    const int activated = pcap_activate(handle);
    if (activated < 0) {
        const int code = activationFailure(handle, activated);
        pcap_close(handle);
        return code;
    }
    if (!dropCapabilities()) {
        helper::Status("error -1 cannot drop the capture capabilities: %s", std::strerror(errno));
        pcap_close(handle);
        return kExitCaptureError;
    }
    if (options.check) {
        helper::Status("ready %d", pcap_datalink(handle));
        pcap_close(handle);
        return 0;
    }
    if (activated > 0) {
        helper::Status("warning %s", pcap_statustostr(activated));
    }
    if (!options.filter.empty()) {
        bpf_program program{};
        if (pcap_compile(handle, &program, options.filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(handle, &program) != 0) {
            helper::Status("error -1 filter \"%s\": %s", options.filter.c_str(), pcap_geterr(handle));
            pcap_freecode(&program);
            pcap_close(handle);
            return kExitCaptureError;
        }
        pcap_freecode(&program);
    }
    // Non-blocking reads behind poll: a blocking read does not return on an idle adapter, and a stop
    // must be seen at once.
    if (pcap_setnonblock(handle, 1, errbuf) != 0 || pcap_get_selectable_fd(handle) < 0) {
        helper::Status("error -1 %s", errbuf[0] != '\0' ? errbuf : "no pollable descriptor");
        pcap_close(handle);
        return kExitCaptureError;
    }
    // Large writes: at high frame rates a write per frame would cost more than the capture.
    static char outputBuffer[1 << 20];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    pcap_dumper_t* dumper = pcap_dump_fopen(handle, stdout);
    if (dumper == nullptr || pcap_dump_flush(dumper) != 0) {
        helper::Status("error -1 cannot write the stream: %s",
                       dumper == nullptr ? pcap_geterr(handle) : std::strerror(errno));
        pcap_close(handle);
        return kExitCaptureError;
    }
    liveHandle = handle;
    helper::Status("ready %d", pcap_datalink(handle));

    // The stream's reader closing its end shows as an error on our end of the pipe.
    pollfd waits[2] = {{pcap_get_selectable_fd(handle), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
    int result = 0;
    long long lastStats = millisecondsNow();
    while (stopRequested == 0) {
        const int ready = poll(waits, 2, kStatsIntervalMs);
        if (ready < 0 && errno != EINTR) {
            helper::Status("error -1 %s", std::strerror(errno));
            result = kExitCaptureError;
            break;
        }
        if ((waits[1].revents & (POLLERR | POLLHUP)) != 0) {
            break;
        }
        const int count = pcap_dispatch(handle, -1, pcap_dump, reinterpret_cast<u_char*>(dumper));
        if (count == PCAP_ERROR_BREAK) {
            break;
        }
        if (count == PCAP_ERROR) {
            helper::Status("error -1 %s", pcap_geterr(handle));
            result = kExitCaptureError;
            break;
        }
        if (count > 0 && pcap_dump_flush(dumper) != 0) {
            break; // the reader went away (EPIPE) or was interrupted by the stop signal
        }
        // libpcap does not look at the socket's error state in non-blocking mode: an adapter that goes
        // away would leave poll returning at once forever.
        if (count == 0 && (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            int error = 0;
            socklen_t size = sizeof error;
            getsockopt(waits[0].fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error == ENETDOWN) {
                helper::Status("error -1 the adapter went down");
                result = kExitCaptureError;
                break;
            }
            if ((waits[0].revents & (POLLHUP | POLLNVAL)) != 0 || error != 0) {
                helper::Status("error -1 %s", error != 0 ? std::strerror(error) : "the adapter went away");
                result = kExitCaptureError;
                break;
            }
        }
        if (const long long now = millisecondsNow(); now - lastStats >= kStatsIntervalMs) {
            reportStats(handle);
            lastStats = now;
        }
    }
    reportStats(handle);
    liveHandle = nullptr;
    pcap_dump_close(dumper); // flushes what is left; fails quietly when the reader is gone
    pcap_close(handle);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!parseArguments(argc, argv, options, error)) {
        std::fprintf(stderr, "velmora-capture: %s\n\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (!helper::OpenStatusChannel(options.statusFd, "velmora-capture"))
        return kExitUsage;
    helper::StopOnSignals(onStopSignal);
    // Nothing of the caller's environment reaches libpcap or the libraries it loads: libdbus reads bus
    // addresses from it, and libpcap itself needs none of it.
    clearenv();
    if (options.list) {
        return listAdapters();
    }
    if (const std::string base = options.adapter.substr(0, options.adapter.find(':'));
        base != options.adapter && isKernelInterface(base.c_str())) {
        helper::Status("error -1 \"%s\" is an address label of %s, not an interface; capture on %s",
                       options.adapter.c_str(), base.c_str(), base.c_str());
        return kExitUsage;
    }
    if (!isKernelInterface(options.adapter.c_str())) {
        helper::Status("error -1 \"%s\" is not a network interface of the kernel; velmora-capture opens only those "
                       "(ip link lists them)",
                       options.adapter.c_str());
        return kExitUsage;
    }
    if (options.bufferBytes > kMaxBufferBytes) {
        helper::Status("warning -B %d lowered to %d: velmora-capture pins at most 32 MiB of kernel memory per capture",
                       options.bufferBytes, kMaxBufferBytes);
        options.bufferBytes = kMaxBufferBytes;
    }
    if (helper::TakeRunSlot("velmora-capture", kMaxRuns) < 0) {
        if (errno != EBUSY) {
            helper::Status("error -1 cannot count the captures running: %s", std::strerror(errno));
            return kExitCaptureError;
        }
        helper::Status(
            "error -1 %d captures of this user are already running, the most velmora-capture allows at once; "
            "stop one of them first",
            kMaxRuns);
        return kExitCaptureError;
    }
    return capture(options);
}
