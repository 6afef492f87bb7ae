#pragma once
// One line of /proc/PID/maps that maps a file: the range names the file in /proc/PID/map_files, which
// opens the very inode the process maps, whatever its mount namespace or a later rename.

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmora::tlsprobe {

struct MappedFile {
    std::string_view range; // "START-END" as the kernel prints it
    std::uint64_t inode = 0;
    std::string_view path;     // as the process sees it, " (deleted)" removed
    std::string_view fileName; // the path's last part
};

// Lines that map no file (anonymous memory, [heap], [vdso]) give nothing.
std::optional<MappedFile> parseMapsLine(std::string_view line);

} // namespace velmora::tlsprobe
