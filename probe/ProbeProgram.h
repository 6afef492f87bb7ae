#pragma once
// The program whose TLS calls the probe reported: what a row found in them says of its origin.

#include <cstdint>
#include <string>

namespace velmora::probe {

struct ProbeProgram {
    std::uint32_t pid = 0;
    std::string comm;       // the name the kernel keeps for the calling thread (at most 15 bytes)
    std::string executable; // the executable's path; empty when the helper could not read it

    // The executable's file name where known (a browser's network thread has a comm of its own,
    // "Socket Thread"), else the comm.
    std::string Name() const {
        if (const std::size_t slash = executable.rfind('/'); !executable.empty() && slash + 1 < executable.size())
            return slash == std::string::npos ? executable : executable.substr(slash + 1);
        return comm;
    }
    // "firefox-esr (pid 1234)", as the data window names it.
    std::string NameAndPid() const { return Name() + " (pid " + std::to_string(pid) + ")"; }
};

} // namespace velmora::probe
