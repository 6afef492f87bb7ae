// velmora-tls: the Velmora program that may hold the right to hook the TLS libraries of the caller's own
// programs. It copies what they write (and, with --receive, read) through OpenSSL, GnuTLS or NSPR before
// encryption, and writes it to standard output as the records of probe/ProbeWire.h; everything that parses
// those bytes runs in the caller's process with the caller's rights.
//
// Status lines (on --status-fd, else standard error), one per line, at most 4,096 bytes each:
//   ready                        the probe is loaded; processes are hooked from now on
//   attached PID KIND            a process's library of KIND (openssl, gnutls, nspr) is hooked
//   detached PID                 the process ended; its hooks are gone
//   stats RECORDS LOST           records written so far, and records the kernel could not hand over (the
//                                ring buffer was full, or the program's memory could not be read)
//   warning TEXT                 something is missing but the probe runs (a library left alone, no
//                                Connection records)
//   error TEXT                   the probe could not start or ended
// Exit status: 0 after a stop (SIGTERM, SIGINT, SIGHUP, or the reader closing the stream), 1 when the
// probe cannot run (no capability, no uprobes or BTF in the kernel, kMaxRuns probes of the user already
// running), 2 on bad arguments.
//
// What the right may cost whoever holds it: the caller chooses library kinds and directions, never a file,
// a process or an offset. Only processes whose user ids are all the caller's real uid are hooked, each for
// itself, and the kernel side checks the uid again before it reads a byte; only library files owned and
// writable by root alone are read (by libbpf, to find the functions by name). Every capability but
// CAP_SYS_ADMIN is dropped at start and the environment is cleared.

#include "helpers/HelperRules.h"

#include "ProbeEvent.h"
#include "ProcessProbes.h"
#include "RecordStream.h"
#include "TlsLibrary.h"
#include "velmora_tls.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

using namespace velmora::tlsprobe;

namespace helper = velmora::helper;

namespace {

constexpr int kExitProbeError = 1;
constexpr int kExitUsage = 2;
constexpr int kPollMs = 250;
constexpr int kScanIntervalMs = 2000;
// Each run pins an 8 MiB ring buffer in kernel memory.
constexpr int kMaxRuns = 2;

const char* const kUsage =
    "usage: velmora-tls [--kinds KINDS] [--receive] [--status-fd FD]\n"
    "       velmora-tls --check\n"
    "\n"
    "Hooks the TLS libraries of your own programs and writes what they send (and, with --receive,\n"
    "receive) before encryption to standard output, for velmora and velmora-cli. Status lines (ready,\n"
    "attached, detached, stats, warning, error) go to FD, else to standard error.\n"
    "  --kinds KINDS  comma-separated: openssl, gnutls, nspr (default: all three)\n"
    "  --receive      also what the programs receive (answers); off by default\n"
    "  --check        only check that the probe can run here, then exit\n"
    "\n"
    "Needs CAP_SYS_ADMIN, and a kernel with uprobes and BTF; one user runs at most 2 probes at once.\n";

struct Options {
    std::vector<const TlsLibrary*> libraries;
    bool receive = false;
    int statusFd = STDERR_FILENO;
    bool check = false;
};

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

bool parseArguments(int argc, char** argv, Options& options, std::string& error) {
    bool kindsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--kinds" || arg == "--status-fd") {
            if (i + 1 >= argc) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            const char* text = argv[++i];
            if (arg == "--kinds") {
                auto libraries = parseKinds(text, error);
                if (!libraries) {
                    return false;
                }
                options.libraries = std::move(*libraries);
                kindsGiven = true;
                continue;
            }
            char* end = nullptr;
            errno = 0;
            const long fd = std::strtol(text, &end, 10);
            if (errno != 0 || end == text || *end != '\0' || fd < 0 || fd > 1 << 20) {
                error = std::string("--status-fd: not a descriptor number: ") + text;
                return false;
            }
            options.statusFd = static_cast<int>(fd);
        } else if (arg == "--receive") {
            options.receive = true;
        } else if (arg == "--check") {
            options.check = true;
        } else {
            error = "unknown argument " + std::string(arg);
            return false;
        }
    }
    if (!kindsGiven) {
        for (const TlsLibrary& library : tlsLibraries()) {
            options.libraries.push_back(&library);
        }
    }
    return true;
}

bool holdsSysAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1U << CAP_SYS_ADMIN)) != 0;
}

// Only CAP_SYS_ADMIN stays, which loading and attaching the probe needs, in the effective and permitted
// sets; none is inheritable or ambient. The bounding set is trimmed too where the capability to do so is
// held (a run as root); installed with cap_sys_admin+ep it is not, and no_new_privs keeps any exec from
// gaining more.
bool keepOnlySysAdmin() {
    for (int capability = 0; capability <= 63; ++capability) {
        if (capability != CAP_SYS_ADMIN && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno == EINVAL) {
            break; // past the kernel's last capability
        }
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    const std::uint32_t kept = data[0].permitted & (1U << CAP_SYS_ADMIN);
    __user_cap_data_struct only[_LINUX_CAPABILITY_U32S_3] = {};
    only[0].effective = kept;
    only[0].permitted = kept;
    if (syscall(SYS_capset, &header, only) != 0) {
        return false;
    }
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

// libbpf's first warning since the last clear, for the line that says why loading failed (the ones after
// it only say that it did); its chatter goes nowhere.
std::string firstLibbpfWarning;

int onLibbpfMessage(libbpf_print_level level, const char* format, va_list arguments) {
    if (level == LIBBPF_WARN && firstLibbpfWarning.empty()) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, arguments);
        firstLibbpfWarning = text;
        while (!firstLibbpfWarning.empty() && firstLibbpfWarning.back() == '\n') {
            firstLibbpfWarning.pop_back();
        }
    }
    return 0;
}

std::string libbpfReason(int error) {
    return firstLibbpfWarning.empty() ? std::strerror(error < 0 ? -error : error) : firstLibbpfWarning;
}

// What the kernel must offer, said in words the user can act on; empty when all is there.
std::string missingKernelSupport() {
    struct stat file {};
    if (stat("/sys/kernel/btf/vmlinux", &file) != 0) {
        return "the kernel offers no BTF (/sys/kernel/btf/vmlinux is missing): velmora-tls needs a kernel built "
               "with CONFIG_DEBUG_INFO_BTF";
    }
    if (stat("/sys/bus/event_source/devices/uprobe/type", &file) != 0) {
        return "the kernel has no uprobes (/sys/bus/event_source/devices/uprobe is missing): velmora-tls needs "
               "CONFIG_UPROBE_EVENTS";
    }
    return {};
}

// Opens and loads the probe. The descriptor program (on the system calls' entry, for Connection records)
// is optional: without it the probe loads again and reports no Connection records.
velmora_tls_bpf* loadProbe(bool receive, bool& descriptors) {
    for (const bool withDescriptors : {true, false}) {
        velmora_tls_bpf* skeleton = velmora_tls_bpf__open();
        if (skeleton == nullptr) {
            helper::Status("error cannot open the probe: %s", std::strerror(errno));
            return nullptr;
        }
        skeleton->rodata->caller_uid = getuid();
        skeleton->rodata->note_reads = receive ? 1 : 0;
        bpf_program__set_autoload(skeleton->progs.note_descriptor, withDescriptors);
        firstLibbpfWarning.clear();
        const int loaded = velmora_tls_bpf__load(skeleton);
        if (loaded == 0) {
            descriptors = withDescriptors;
            return skeleton;
        }
        const std::string why = libbpfReason(loaded);
        velmora_tls_bpf__destroy(skeleton);
        if (withDescriptors) {
            helper::Status("warning the system calls cannot be traced here (%s): no Connection records", why.c_str());
        } else {
            helper::Status("error the kernel refused the probe: %s", why.c_str());
            return nullptr;
        }
    }
    return nullptr;
}

std::int64_t nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::uint64_t lostRecords(velmora_tls_bpf& skeleton) {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0) {
        return 0;
    }
    std::vector<std::uint64_t> perCpu(static_cast<std::size_t>(cpus));
    const std::uint32_t zero = 0;
    if (bpf_map_lookup_elem(bpf_map__fd(skeleton.maps.lost), &zero, perCpu.data()) != 0) {
        return 0;
    }
    std::uint64_t total = 0;
    for (const std::uint64_t count : perCpu) {
        total += count;
    }
    return total;
}

int onRingRecord(void* context, void* data, std::size_t size) {
    auto* stream = static_cast<RecordStream*>(context);
    stream->write(*static_cast<const probe_event*>(data), size);
    return stream->failed() ? -EPIPE : 0;
}

int probe(const Options& options) {
    bool descriptors = false;
    velmora_tls_bpf* skeleton = loadProbe(options.receive, descriptors);
    if (skeleton == nullptr) {
        return kExitProbeError;
    }
    bpf_link* descriptorLink = nullptr;
    if (descriptors) {
        firstLibbpfWarning.clear();
        descriptorLink = bpf_program__attach(skeleton->progs.note_descriptor);
        if (descriptorLink == nullptr) {
            helper::Status("warning the system calls cannot be traced here (%s): no Connection records",
                           libbpfReason(errno).c_str());
        }
    }
    if (options.check) {
        helper::Status("ready");
        bpf_link__destroy(descriptorLink);
        velmora_tls_bpf__destroy(skeleton);
        return 0;
    }
    // Large writes: a busy browser makes many small calls.
    static char outputBuffer[256 << 10];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    RecordStream stream(stdout);
    stream.setClockOffset(nanoseconds(CLOCK_REALTIME) - nanoseconds(CLOCK_MONOTONIC));
    ring_buffer* ring = ring_buffer__new(bpf_map__fd(skeleton->maps.events), onRingRecord, &stream, nullptr);
    if (ring == nullptr) {
        helper::Status("error cannot read the probe's ring buffer: %s", std::strerror(errno));
        bpf_link__destroy(descriptorLink);
        velmora_tls_bpf__destroy(skeleton);
        return kExitProbeError;
    }
    int result = 0;
    {
        ProcessProbes probes(
            *skeleton, options.libraries, options.receive, getuid(),
            [](const std::string& line) { helper::Status("%s", line.c_str()); },
            [&stream](std::uint32_t pid) {
                stream.announceProcess(pid);
                // Out before the status line that says the process is hooked.
                std::fflush(stdout);
            });
        helper::Status("ready");
        // Processes seen gone are forgotten a scan later: their last records may still be in the ring.
        std::vector<std::uint32_t> ending;
        std::int64_t lastScan = 0;
        // The stream's reader closing its end shows as an error on our end of the pipe.
        pollfd waits[2] = {{ring_buffer__epoll_fd(ring), POLLIN, 0}, {STDOUT_FILENO, 0, 0}};
        while (stopRequested == 0) {
            if (const std::int64_t now = nanoseconds(CLOCK_MONOTONIC) / 1000000; now - lastScan >= kScanIntervalMs) {
                for (const std::uint32_t pid : ending) {
                    stream.forgetProcess(pid);
                }
                ending = probes.scan();
                stream.setClockOffset(nanoseconds(CLOCK_REALTIME) - nanoseconds(CLOCK_MONOTONIC));
                helper::Status("stats %llu %llu", static_cast<unsigned long long>(stream.records()),
                               static_cast<unsigned long long>(lostRecords(*skeleton) + stream.malformed()));
                lastScan = now;
            }
            const int ready = poll(waits, 2, kPollMs);
            if (ready < 0 && errno != EINTR) {
                helper::Status("error %s", std::strerror(errno));
                result = kExitProbeError;
                break;
            }
            if ((waits[1].revents & (POLLERR | POLLHUP)) != 0) {
                break;
            }
            if (ring_buffer__consume(ring) < 0 && !stream.failed()) {
                helper::Status("error cannot read the probe's ring buffer: %s", std::strerror(errno));
                result = kExitProbeError;
                break;
            }
            if (stream.failed() || std::fflush(stdout) != 0) {
                break; // the reader went away (EPIPE) or the stop signal interrupted the write
            }
        }
        // What the kernel handed over before the stop still goes out.
        ring_buffer__consume(ring);
        std::fflush(stdout);
        helper::Status("stats %llu %llu", static_cast<unsigned long long>(stream.records()),
                       static_cast<unsigned long long>(lostRecords(*skeleton) + stream.malformed()));
    }
    ring_buffer__free(ring);
    bpf_link__destroy(descriptorLink);
    velmora_tls_bpf__destroy(skeleton);
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
        std::fprintf(stderr, "velmora-tls: %s\n\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (!helper::OpenStatusChannel(options.statusFd, "velmora-tls"))
        return kExitUsage;
    helper::StopOnSignals(onStopSignal);
    // Nothing of the caller's environment reaches libbpf (LIBBPF_* settings, a BTF path) or libelf.
    clearenv();
    libbpf_set_print(onLibbpfMessage);
    if (!keepOnlySysAdmin() || !holdsSysAdmin()) {
        helper::Status(
            "error velmora-tls needs CAP_SYS_ADMIN to hook programs: run it as root, or give it the capability "
            "(setcap cap_sys_admin+ep velmora-tls)");
        return kExitProbeError;
    }
    if (const std::string missing = missingKernelSupport(); !missing.empty()) {
        helper::Status("error %s", missing.c_str());
        return kExitProbeError;
    }
    if (!options.check && helper::TakeRunSlot("velmora-tls", kMaxRuns) < 0) {
        if (errno != EBUSY) {
            helper::Status("error cannot count the probes running: %s", std::strerror(errno));
            return kExitProbeError;
        }
        helper::Status(
            "error %d probes of this user are already running, the most velmora-tls allows at once; stop one "
            "of them first",
            kMaxRuns);
        return kExitProbeError;
    }
    return probe(options);
}
