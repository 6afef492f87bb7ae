#pragma once
// The uprobes of one caller: every process whose user ids are all the caller's gets the chosen libraries'
// functions hooked, by name, through libbpf, for that process only. A scan every few seconds hooks new
// processes and libraries loaded since, and lets go of processes that are gone.

#include "TlsLibrary.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

struct velmora_tls_bpf;
struct bpf_link;
struct bpf_program;

namespace velmora::tlsprobe {

class ProcessProbes {
public:
    using StatusLine = std::function<void(const std::string&)>;
    // Told of a process when its first hooks are in, before the status line says so: the process is alive
    // then, and nothing of it has been read from the ring yet.
    using Hooked = std::function<void(std::uint32_t pid)>;

    ProcessProbes(velmora_tls_bpf& skeleton, std::vector<const TlsLibrary*> libraries, bool receive, uid_t caller,
                  StatusLine status, Hooked hooked);
    ~ProcessProbes();
    ProcessProbes(const ProcessProbes&) = delete;
    ProcessProbes& operator=(const ProcessProbes&) = delete;

    // Returns the hooked processes found gone.
    std::vector<std::uint32_t> scan();

private:
    struct Process {
        std::uint64_t startTime = 0;
        std::set<std::uint64_t> inodes; // library files hooked or refused in it
        std::vector<bpf_link*> links;
        bool probed = false;
    };

    // False when the file could not be opened (the process moved on): it is tried again at the next scan.
    bool attachLibrary(std::uint32_t pid, Process& process, const TlsLibrary& library, const std::string& range,
                       const std::string& path);
    bpf_program* entryProgram(EntryProgram program) const;
    void forget(std::uint32_t pid, Process& process);
    void dropCallsOf(const std::set<std::uint32_t>& pids);

    velmora_tls_bpf& skeleton_;
    std::vector<const TlsLibrary*> libraries_;
    bool receive_;
    uid_t caller_;
    StatusLine status_;
    Hooked hooked_;
    std::map<std::uint32_t, Process> processes_;
};

} // namespace velmora::tlsprobe
