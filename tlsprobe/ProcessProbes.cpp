#include "ProcessProbes.h"

#include "MappedFile.h"
#include "ProcFiles.h"
#include "velmora_tls.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::tlsprobe {
namespace {

constexpr std::size_t kMaxMapsBytes = 16 << 20;

std::optional<std::uint32_t> pidOf(const char* name) {
    std::uint32_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [stop, error] = std::from_chars(name, end, pid);
    return error == std::errc() && stop == end && pid > 0 ? std::optional(pid) : std::nullopt;
}

// Real, effective, saved and file-system uid, all the caller's: a program that changed identity (setuid)
// is not the caller's to watch.
bool runsAsOnly(std::uint32_t pid, uid_t caller) {
    const auto status = readProcText("/proc/" + std::to_string(pid) + "/status", 64 << 10);
    if (!status) {
        return false;
    }
    const auto line = status->find("\nUid:");
    if (line == std::string::npos) {
        return false;
    }
    std::string_view rest = std::string_view(*status).substr(line + 5);
    for (int i = 0; i < 4; ++i) {
        rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
        uid_t uid = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), uid);
        if (error != std::errc() || uid != caller) {
            return false;
        }
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    }
    return true;
}

// Field 22 of /proc/PID/stat, counted after the name's closing parenthesis: tells a reused pid apart.
std::uint64_t startTimeOf(std::uint32_t pid) {
    const auto stat = readProcText("/proc/" + std::to_string(pid) + "/stat", 4096);
    if (!stat) {
        return 0;
    }
    const auto close = stat->rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::string_view rest = std::string_view(*stat).substr(close + 1);
    for (int field = 3; field < 22; ++field) {
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        rest.remove_prefix(std::min(rest.find(' '), rest.size()));
    }
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    std::uint64_t start = 0;
    std::from_chars(rest.data(), rest.data() + rest.size(), start);
    return start;
}

} // namespace

ProcessProbes::ProcessProbes(velmora_tls_bpf& skeleton, std::vector<const TlsLibrary*> libraries, bool receive,
                             uid_t caller, StatusLine status, Hooked hooked)
    : skeleton_(skeleton), libraries_(std::move(libraries)), receive_(receive), caller_(caller),
      status_(std::move(status)), hooked_(std::move(hooked)) {}

ProcessProbes::~ProcessProbes() {
    for (auto& [pid, process] : processes_) {
        for (bpf_link* link : process.links) {
            bpf_link__destroy(link);
        }
    }
}

bpf_program* ProcessProbes::entryProgram(EntryProgram program) const {
    auto& progs = skeleton_.progs;
    switch (program) {
    case EntryProgram::SslWrite:
        return progs.ssl_write;
    case EntryProgram::SslWriteEx:
        return progs.ssl_write_ex;
    case EntryProgram::SslRead:
        return progs.ssl_read;
    case EntryProgram::SslReadEx:
        return progs.ssl_read_ex;
    case EntryProgram::GnutlsSend:
        return progs.gnutls_send;
    case EntryProgram::GnutlsRecv:
        return progs.gnutls_recv;
    case EntryProgram::PrWrite:
        return progs.pr_write;
    case EntryProgram::PrSend:
        return progs.pr_send;
    case EntryProgram::PrRead:
        return progs.pr_read;
    case EntryProgram::PrRecv:
        return progs.pr_recv;
    }
    return nullptr;
}

// The file is opened through map_files, so it is the inode the process maps and no path the caller can
// swap; only a file root owns and only root may change is handed to libbpf, whose ELF reader runs with the
// helper's capability.
bool ProcessProbes::attachLibrary(std::uint32_t pid, Process& process, const TlsLibrary& library,
                                  const std::string& range, const std::string& path) {
    const std::string mapped = "/proc/" + std::to_string(pid) + "/map_files/" + range;
    const int fd = open(mapped.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false; // gone since the maps were read, or not readable: tried again next scan
    }
    struct stat file {};
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode) || file.st_uid != 0 || (file.st_mode & 022) != 0) {
        status_("warning " + std::to_string(pid) + " " + std::string(library.kind) + " " + path +
                ": not a file owned and written by root only, left alone");
        close(fd);
        return true;
    }
    const std::string binary = "/proc/self/fd/" + std::to_string(fd);
    const auto pidArgument = static_cast<pid_t>(pid);
    std::size_t attached = 0;
    for (const HookedFunction& function : library.functions) {
        if (function.name.empty() || (function.direction == probe::Direction::Received && !receive_)) {
            continue;
        }
        const std::string name(function.name);
        // The return probe first: a call that enters between the two is then never left half-recorded.
        LIBBPF_OPTS(bpf_uprobe_opts, returning, .retprobe = true, .func_name = name.c_str());
        bpf_link* exit =
            bpf_program__attach_uprobe_opts(skeleton_.progs.tls_return, pidArgument, binary.c_str(), 0, &returning);
        if (exit == nullptr) {
            status_("warning " + std::to_string(pid) + " " + std::string(library.kind) + " " + name +
                    ": cannot attach: " + std::strerror(errno));
            continue;
        }
        process.links.push_back(exit);
        LIBBPF_OPTS(bpf_uprobe_opts, entering, .retprobe = false, .func_name = name.c_str());
        bpf_link* entry =
            bpf_program__attach_uprobe_opts(entryProgram(function.program), pidArgument, binary.c_str(), 0, &entering);
        if (entry == nullptr) {
            status_("warning " + std::to_string(pid) + " " + std::string(library.kind) + " " + name +
                    ": cannot attach: " + std::strerror(errno));
            continue;
        }
        process.links.push_back(entry);
        ++attached;
    }
    close(fd);
    if (attached > 0) {
        if (!process.probed) {
            process.probed = true;
            hooked_(pid);
        }
        status_("attached " + std::to_string(pid) + " " + std::string(library.kind));
    }
    return true;
}

void ProcessProbes::forget(std::uint32_t pid, Process& process) {
    for (bpf_link* link : process.links) {
        bpf_link__destroy(link);
    }
    process.links.clear();
    if (process.probed) {
        status_("detached " + std::to_string(pid));
    }
}

// A call the process was in when it ended never returns; its entry must not make the next process with
// that thread id look nested.
void ProcessProbes::dropCallsOf(const std::set<std::uint32_t>& pids) {
    const int map = bpf_map__fd(skeleton_.maps.calls);
    std::vector<std::uint64_t> stale;
    std::uint64_t key = 0;
    std::uint64_t next = 0;
    const std::uint64_t* previous = nullptr;
    while (bpf_map_get_next_key(map, previous, &next) == 0) {
        if (pids.contains(static_cast<std::uint32_t>(next >> 32))) {
            stale.push_back(next);
        }
        key = next;
        previous = &key;
    }
    for (const std::uint64_t id : stale) {
        bpf_map_delete_elem(map, &id);
    }
}

std::vector<std::uint32_t> ProcessProbes::scan() {
    std::vector<std::uint32_t> gone;
    std::set<std::uint32_t> seen;
    std::set<std::uint32_t> ended;
    const std::uint32_t self = static_cast<std::uint32_t>(getpid());
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        status_(std::string("warning cannot list /proc: ") + std::strerror(errno));
        return gone;
    }
    while (const dirent* entry = readdir(proc)) {
        const auto pid = pidOf(entry->d_name);
        if (!pid || *pid == self) {
            continue;
        }
        // /proc/PID belongs to the effective uid: a quick test before the status file is read.
        struct stat owner {};
        if (fstatat(dirfd(proc), entry->d_name, &owner, 0) != 0 || owner.st_uid != caller_ ||
            !runsAsOnly(*pid, caller_)) {
            continue;
        }
        const std::uint64_t startTime = startTimeOf(*pid);
        Process& process = processes_[*pid];
        if (process.startTime != startTime) {
            if (process.startTime != 0) {
                if (process.probed) {
                    gone.push_back(*pid);
                }
                forget(*pid, process);
                ended.insert(*pid);
            }
            process = Process{};
            process.startTime = startTime;
        }
        seen.insert(*pid);
        const auto maps = readProcText("/proc/" + std::to_string(*pid) + "/maps", kMaxMapsBytes);
        if (!maps) {
            continue;
        }
        std::string_view lines = *maps;
        while (!lines.empty()) {
            const auto newline = lines.find('\n');
            const std::string_view line = lines.substr(0, newline);
            lines.remove_prefix(newline == std::string_view::npos ? lines.size() : newline + 1);
            const auto file = parseMapsLine(line);
            if (!file || process.inodes.contains(file->inode)) {
                continue;
            }
            for (const TlsLibrary* library : libraries_) {
                if (!library->names(file->fileName)) {
                    continue;
                }
                if (attachLibrary(*pid, process, *library, std::string(file->range), std::string(file->path))) {
                    process.inodes.insert(file->inode);
                }
            }
        }
    }
    closedir(proc);
    for (auto it = processes_.begin(); it != processes_.end();) {
        if (seen.contains(it->first)) {
            ++it;
            continue;
        }
        if (it->second.probed) {
            gone.push_back(it->first);
        }
        forget(it->first, it->second);
        ended.insert(it->first);
        it = processes_.erase(it);
    }
    if (!ended.empty()) {
        dropCallsOf(ended);
    }
    return gone;
}

} // namespace velmora::tlsprobe
