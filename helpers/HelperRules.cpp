#include "helpers/HelperRules.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace velmora::helper {
namespace {

FILE* statusStream = stderr;

} // namespace

bool OpenStatusChannel(int statusFd, const char* program) {
    // Whatever else the caller left open is not ours to hold while we have the right.
    if (statusFd > 3)
        close_range(3, static_cast<unsigned>(statusFd) - 1, 0);
    close_range(static_cast<unsigned>(std::max(3, statusFd + 1)), ~0U, 0);
    if (statusFd == STDERR_FILENO)
        return true;
    statusStream = fdopen(statusFd, "w");
    if (statusStream == nullptr) {
        std::fprintf(stderr, "%s: status descriptor %d: %s\n", program, statusFd, std::strerror(errno));
        statusStream = stderr;
        return false;
    }
    return true;
}

void Status(const char* format, ...) {
    char line[kMaxStatusBytes];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    length = std::min<int>(std::max(length, 0), static_cast<int>(sizeof line) - 2);
    // Filters, paths and libraries' messages may hold anything; a message never spans lines.
    for (int i = 0; i < length; ++i)
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    line[length] = '\n';
    std::fwrite(line, 1, static_cast<std::size_t>(length) + 1, statusStream);
    std::fflush(statusStream);
}

void StopOnSignals(void (*onStop)(int)) {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction stop {};
    stop.sa_handler = onStop; // no SA_RESTART
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal, &stop, nullptr);
}

int TakeRunSlot(const char* program, int maxRuns) {
    for (int slot = 0; slot < maxRuns; ++slot) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1, "%s-%u-%d", program,
                                         static_cast<unsigned>(getuid()), slot);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0)
            return fd;
        close(fd);
    }
    errno = EBUSY;
    return -1;
}

} // namespace velmora::helper
