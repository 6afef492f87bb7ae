#include "capture/pcap/CaptureHelper.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr int kStatusFd = 3;
// Opening a busy adapter can take a moment; a helper silent for this long is stuck.
constexpr auto kStartTimeout = std::chrono::seconds(15);
constexpr auto kStopGrace = std::chrono::seconds(2);
const std::string kTooLong =
    "the capture helper sent a status line longer than " + std::to_string(CaptureHelper::kMaxStatusLine) + " bytes";

bool executable(const fs::path& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// libpcap's words for a status code and its message, as the live capture words them.
std::string errorText(int code, const std::string& detail) {
    if (code == PCAP_ERROR || code >= 0) {
        return detail;
    }
    std::string text = pcap_statustostr(code);
    if (!detail.empty() && detail != text) {
        text += " (" + detail + ")";
    }
    return text;
}

struct Spawned {
    pid_t pid = -1;
    int error = 0;
};

// Starts the helper with standard input from /dev/null, standard output to `output` (/dev/null when -1)
// and the status pipe on kStatusFd; every other descriptor of this process is close-on-exec.
Spawned spawn(const std::string& program, const std::vector<std::string>& arguments, int output, int status) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, status, kStatusFd);

    // A GUI thread may block signals; the helper must see SIGTERM, and SIGPIPE in its default state.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    Spawned spawned;
    spawned.error = posix_spawn(&spawned.pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned.error != 0) {
        spawned.pid = -1;
    }
    return spawned;
}

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

// "error CODE TEXT" -> the text as the live capture words it.
std::string errorOf(const std::string& line) {
    char* end = nullptr;
    const long code = std::strtol(line.c_str() + 6, &end, 10);
    std::string detail = end != nullptr && *end == ' ' ? std::string(end + 1) : std::string();
    return errorText(static_cast<int>(code), detail);
}

bool startsWith(const std::string& line, const char* word) {
    return line.rfind(word, 0) == 0;
}

} // namespace

CaptureHelper::StatusLines::Read CaptureHelper::StatusLines::Next(int fd, std::string& line,
                                                                  std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (const auto end = buffer_.find('\n', start_ + scanned_); end != std::string::npos) {
            if (end - start_ > kMaxStatusLine) {
                return Read::TooLong;
            }
            line.assign(buffer_, start_, end - start_);
            start_ = end + 1;
            scanned_ = 0;
            return Read::Line;
        }
        scanned_ = buffer_.size() - start_;
        if (scanned_ > kMaxStatusLine) {
            return Read::TooLong;
        }
        // Lines already handed out go before the next read, so the buffer stays one line and one read long.
        buffer_.erase(0, start_);
        start_ = 0;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Read::End;
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return Read::End;
        }
        char chunk[kMaxStatusLine];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return Read::End;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
}

void CaptureHelper::StatusLines::Clear() {
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
}

std::string CaptureHelper::Locate() {
    if (const char* chosen = std::getenv("VELMORA_CAPTURE_HELPER"); chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    for (const fs::path& candidate : {self.parent_path() / "velmora-capture",
                                      self.parent_path().parent_path() / "libexec/velmora/velmora-capture"}) {
        if (executable(candidate)) {
            return candidate.string();
        }
    }
    return {};
}

CaptureResult CaptureHelper::Check(const std::string& program, const std::string& adapter) {
    UniqueFd statusRead;
    UniqueFd statusWrite;
    if (!makePipe(statusRead, statusWrite)) {
        return CaptureResult::Failure(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    const Spawned spawned =
        spawn(program, {"-i", adapter, "--check", "--status-fd", std::to_string(kStatusFd)}, -1, statusWrite.get());
    statusWrite.reset();
    if (spawned.pid < 0) {
        return CaptureResult::Failure("the capture helper " + program +
                                      " cannot be run: " + std::strerror(spawned.error));
    }
    StatusLines lines;
    std::string line;
    CaptureResult result = CaptureResult::Failure("the capture helper " + program + " gave no answer");
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (StatusLines::Read read; (read = lines.Next(statusRead.get(), line, deadline)) != StatusLines::Read::End;) {
        if (read == StatusLines::Read::TooLong) {
            result = CaptureResult::Failure(kTooLong);
            break;
        }
        if (startsWith(line, "ready")) {
            result = CaptureResult::Success();
        } else if (startsWith(line, "error ")) {
            result = CaptureResult::Failure(errorOf(line));
        }
    }
    ::kill(spawned.pid, SIGKILL); // already gone unless it hung
    int status = 0;
    while (::waitpid(spawned.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

CaptureHelper::~CaptureHelper() {
    Close();
}

CaptureResult CaptureHelper::Start(const std::string& program, const Settings& settings, CountersHandler counters) {
    Close();
    counters_ = std::move(counters);
    UniqueFd dataRead;
    UniqueFd dataWrite;
    UniqueFd statusWrite;
    if (!makePipe(dataRead, dataWrite) || !makePipe(status_, statusWrite)) {
        return CaptureResult::Failure(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    std::vector<std::string> arguments = {"-i",          settings.adapter,
                                          "-s",          std::to_string(settings.snapLength),
                                          "-B",          std::to_string(settings.bufferBytes),
                                          "-t",          std::to_string(settings.timeoutMs),
                                          "--status-fd", std::to_string(kStatusFd)};
    if (settings.promiscuous) {
        arguments.push_back("-p");
    }
    const Spawned spawned = spawn(program, arguments, dataWrite.get(), statusWrite.get());
    dataWrite.reset();
    statusWrite.reset();
    if (spawned.pid < 0) {
        return CaptureResult::Failure("the capture helper " + program +
                                      " cannot be run: " + std::strerror(spawned.error));
    }
    pid_ = spawned.pid;
    // -1 before Linux 5.3: the status thread then cannot stop it. By syscall, as glibc 2.36's <sys/pidfd.h>
    // declares its functions without extern "C".
    pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));

    std::string line;
    std::string warning;
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    for (;;) {
        const StatusLines::Read read = statusLines_.Next(status_.get(), line, deadline);
        if (read != StatusLines::Read::Line) {
            Terminate();
            return CaptureResult::Failure(read == StatusLines::Read::TooLong
                                              ? kTooLong
                                              : "the capture helper " + program + " stopped before capturing");
        }
        if (startsWith(line, "warning ")) {
            warning += (warning.empty() ? "" : "; ") + line.substr(8);
        } else if (startsWith(line, "error ")) {
            Terminate();
            return CaptureResult::Failure(errorOf(line));
        } else if (startsWith(line, "ready")) {
            break;
        }
    }
    // The helper wrote the stream's file header before it said ready, so this does not wait.
    FILE* stream = ::fdopen(dataRead.get(), "r");
    if (stream == nullptr) {
        Terminate();
        return CaptureResult::Failure(std::string("cannot read the capture helper's stream: ") + std::strerror(errno));
    }
    dataRead.release();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    stream_.reset(pcap_fopen_offline(stream, errbuf));
    if (!stream_) {
        std::fclose(stream);
        Terminate();
        return CaptureResult::Failure(std::string("cannot read the capture helper's stream: ") + errbuf);
    }
    statusThread_ = std::thread(&CaptureHelper::readStatus, this);
    return CaptureResult::Success(warning);
}

void CaptureHelper::readStatus() {
    std::string line;
    const auto never = std::chrono::steady_clock::time_point::max();
    for (;;) {
        const StatusLines::Read read = statusLines_.Next(status_.get(), line, never);
        if (read == StatusLines::Read::End) {
            return;
        }
        if (read == StatusLines::Read::TooLong) {
            {
                std::lock_guard lock(mutex_);
                error_ = kTooLong;
            }
            // Nothing more it says can be trusted: end it, and with it the stream the capture reads.
            if (pidFd_) {
                ::syscall(SYS_pidfd_send_signal, pidFd_.get(), SIGKILL, nullptr, 0);
            }
            return;
        }
        handleLine(line);
    }
}

bool CaptureHelper::handleLine(const std::string& line) {
    if (startsWith(line, "stats ")) {
        unsigned long long received = 0;
        unsigned long long dropped = 0;
        unsigned long long ifDropped = 0;
        if (std::sscanf(line.c_str() + 6, "%llu %llu %llu", &received, &dropped, &ifDropped) == 3 && counters_) {
            counters_({received, dropped, ifDropped});
        }
        return true;
    }
    if (startsWith(line, "error ")) {
        std::lock_guard lock(mutex_);
        error_ = errorOf(line);
        return true;
    }
    return false;
}

void CaptureHelper::Terminate() {
    if (pid_ < 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(1000);
    }
    pid_ = -1;
}

std::string CaptureHelper::FinalError() {
    if (statusThread_.joinable()) {
        statusThread_.join();
    }
    std::lock_guard lock(mutex_);
    if (!error_.empty()) {
        return error_;
    }
    // The stream ended without a word: the helper was killed, or crashed.
    return "the capture helper stopped unexpectedly";
}

void CaptureHelper::Close() {
    Terminate();
    if (statusThread_.joinable()) {
        statusThread_.join();
    }
    stream_.reset();
    status_.reset();
    pidFd_.reset();
    statusLines_.Clear();
    error_.clear();
}

} // namespace velmora
