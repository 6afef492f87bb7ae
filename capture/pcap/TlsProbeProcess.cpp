#include "capture/pcap/TlsProbeProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace velmora {
namespace {

namespace fs = std::filesystem;

constexpr int kStatusFd = 3;
// Loading the BPF programs and hooking the running processes takes a moment.
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopGrace = std::chrono::seconds(3);

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

} // namespace

std::string TlsProbeProcess::Locate() {
    if (const char* chosen = std::getenv("VELMORA_TLS_HELPER"); chosen && *chosen)
        return chosen;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    for (const fs::path& candidate :
         {self.parent_path() / "velmora-tls", self.parent_path().parent_path() / "libexec/velmora/velmora-tls"})
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    return {};
}

TlsProbeProcess::~TlsProbeProcess() {
    Stop();
}

std::string TlsProbeProcess::Spawn(const std::string& program, bool receive) {
    UniqueFd recordsWrite, statusWrite;
    if (!makePipe(records_, recordsWrite) || !makePipe(status_, statusWrite))
        return std::string("cannot make a pipe: ") + std::strerror(errno);
    std::vector<std::string> arguments = {program, "--kinds", "openssl,gnutls,nspr", "--status-fd",
                                          std::to_string(kStatusFd)};
    if (receive)
        arguments.push_back("--receive");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, recordsWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, statusWrite.get(), kStatusFd);
    // Ctrl-C reaches the helper too; it must see the signals it stops on in their default state.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int error = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        pid_ = -1;
        return "cannot run " + program + ": " + std::strerror(error);
    }
    recordsWrite.reset();
    statusWrite.reset();
    reader_ = std::thread([this] { readPipes(); });
    return {};
}

std::string TlsProbeProcess::Start(const std::string& program, bool receive) {
    if (std::string problem = Spawn(program, receive); !problem.empty())
        return problem;
    // Until "ready" or an "error" line, or the helper ends without either.
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        for (std::size_t i = 0; i < pendingLines_.size(); ++i) {
            const std::string line = pendingLines_[i];
            if (line == "ready" || line.rfind("error ", 0) == 0) {
                pendingLines_.erase(pendingLines_.begin(), pendingLines_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                if (line == "ready")
                    return {};
                lock.unlock();
                Stop();
                return line.substr(6);
            }
        }
        if (ended_) {
            lock.unlock();
            Stop();
            const std::string exit = ExitText();
            return exit.empty() ? "velmora-tls ended before it was ready" : exit;
        }
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            lock.unlock();
            Stop();
            return "velmora-tls did not get ready within " + std::to_string(kStartTimeout.count()) + " seconds";
        }
    }
}

void TlsProbeProcess::readPipes() {
    std::vector<std::uint8_t> buffer(64 << 10);
    pollfd fds[2] = {{records_.get(), POLLIN, 0}, {status_.get(), POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        {
            // Records wait to be taken within their bound; the status lines are never held back.
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(100),
                              [this] { return stopping_ || pendingBytes_.size() < kMaxPendingBytes; });
            fds[0].events = pendingBytes_.size() < kMaxPendingBytes || stopping_ ? POLLIN : 0;
        }
        if (::poll(fds, 2, 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            std::unique_lock lock(mutex_);
            if (n <= 0) {
                fds[i].fd = -1;
                --open;
            } else if (i == 0) {
                // While stopping, what no one will take is not kept.
                if (!stopping_ || pendingBytes_.size() < kMaxPendingBytes)
                    pendingBytes_.insert(pendingBytes_.end(), buffer.begin(), buffer.begin() + n);
            } else {
                for (ssize_t at = 0; at < n; ++at) {
                    const char c = static_cast<char>(buffer[static_cast<std::size_t>(at)]);
                    if (c == '\n') {
                        pendingLines_.push_back(std::move(partialLine_));
                        partialLine_.clear();
                    } else if (partialLine_.size() < kMaxStatusLine) {
                        partialLine_.push_back(c);
                    }
                }
            }
            changed_.notify_all();
            tell(lock);
        }
    }
    std::unique_lock lock(mutex_);
    if (!partialLine_.empty())
        pendingLines_.push_back(std::move(partialLine_));
    ended_ = true;
    changed_.notify_all();
    tell(lock);
}

void TlsProbeProcess::tell(std::unique_lock<std::mutex>& lock) {
    if (!arrived_ || told_)
        return;
    told_ = true;
    lock.unlock(); // the callback may take a lock of its own (Qt's event queue)
    arrived_();
}

void TlsProbeProcess::Wait(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, wait, [this] { return ended_ || !pendingBytes_.empty() || !pendingLines_.empty(); });
}

void TlsProbeProcess::Take(std::vector<std::uint8_t>& bytes, std::vector<std::string>& lines) {
    std::lock_guard lock(mutex_);
    bytes.insert(bytes.end(), pendingBytes_.begin(), pendingBytes_.end());
    pendingBytes_.clear();
    for (std::string& line : pendingLines_)
        lines.push_back(std::move(line));
    pendingLines_.clear();
    told_ = false;
    changed_.notify_all();
}

bool TlsProbeProcess::Ended() {
    std::lock_guard lock(mutex_);
    return ended_;
}

void TlsProbeProcess::Stop() {
    if (pid_ < 0)
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (!reaped_)
        ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while (!reaped_) {
        const pid_t done = ::waitpid(pid_, &waitStatus_, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &waitStatus_, 0);
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (reader_.joinable())
        reader_.join();
}

std::string TlsProbeProcess::ExitText() {
    if (pid_ < 0 || !reaped_)
        return {};
    if (WIFEXITED(waitStatus_) && WEXITSTATUS(waitStatus_) != 0)
        return "velmora-tls exited with status " + std::to_string(WEXITSTATUS(waitStatus_));
    if (WIFSIGNALED(waitStatus_) && WTERMSIG(waitStatus_) != SIGTERM)
        return std::string("velmora-tls was ended by signal ") + strsignal(WTERMSIG(waitStatus_));
    return {};
}

} // namespace velmora
