#include "ProcFiles.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>

namespace velmora::tlsprobe {

std::optional<std::string> readProcText(const std::string& path, std::size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[16384];
    while (text.size() < limit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    if (text.size() > limit) {
        text.resize(limit);
    }
    return text;
}

std::optional<std::string> readProcLink(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
        return std::nullopt;
    }
    return std::string(target, static_cast<std::size_t>(length));
}

} // namespace velmora::tlsprobe
