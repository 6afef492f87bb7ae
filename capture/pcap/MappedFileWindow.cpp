#include "capture/pcap/MappedFileWindow.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace velmora {
namespace {

// The windows mapped now, for the SIGBUS handler, which may look at them at any moment: plain atomics,
// no locks. A handful of files is read at once at most.
struct GuardSlot {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};
    std::atomic<std::atomic<bool>*> truncated{nullptr};
};
std::array<GuardSlot, 16> guardSlots;
std::mutex guardMutex; // for taking and giving back slots, never in the handler
struct sigaction previousHandler {};

void onBusError(int signal, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (GuardSlot& slot : guardSlots) {
        if (address >= slot.begin.load() && address < slot.end.load()) {
            const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
            void* at = reinterpret_cast<void*>(address & ~(page - 1));
            if (mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
                if (std::atomic<bool>* flag = slot.truncated.load())
                    flag->store(true);
                return; // the read is done again, of zeros
            }
        }
    }
    // Not ours: as it would have been without this handler.
    if (previousHandler.sa_flags & SA_SIGINFO) {
        previousHandler.sa_sigaction(signal, info, context);
    } else if (previousHandler.sa_handler != SIG_DFL && previousHandler.sa_handler != SIG_IGN) {
        previousHandler.sa_handler(signal);
    } else {
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

int takeSlot(std::uintptr_t begin, std::uintptr_t end, std::atomic<bool>* truncated) {
    std::lock_guard lock(guardMutex);
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGBUS, &action, &previousHandler) == 0;
    }();
    if (!installed)
        return -1;
    for (std::size_t i = 0; i < guardSlots.size(); ++i) {
        if (guardSlots[i].end.load() == 0) {
            guardSlots[i].truncated.store(truncated);
            guardSlots[i].begin.store(begin);
            guardSlots[i].end.store(end);
            return static_cast<int>(i);
        }
    }
    return -1;
}

void giveBackSlot(int slot) {
    std::lock_guard lock(guardMutex);
    guardSlots[static_cast<std::size_t>(slot)].end.store(0);
    guardSlots[static_cast<std::size_t>(slot)].begin.store(0);
    guardSlots[static_cast<std::size_t>(slot)].truncated.store(nullptr);
}

} // namespace

MappedFileWindow::MappedFileWindow(MappedFileWindow&& other) noexcept
    : fd_(other.fd_), base_(std::exchange(other.base_, nullptr)), start_(other.start_),
      length_(std::exchange(other.length_, 0)), guardSlot_(std::exchange(other.guardSlot_, -1)),
      truncated_(std::move(other.truncated_)) {}

MappedFileWindow& MappedFileWindow::operator=(MappedFileWindow&& other) noexcept {
    if (this != &other) {
        unmap();
        fd_ = other.fd_;
        base_ = std::exchange(other.base_, nullptr);
        start_ = other.start_;
        length_ = std::exchange(other.length_, 0);
        guardSlot_ = std::exchange(other.guardSlot_, -1);
        truncated_ = std::move(other.truncated_);
    }
    return *this;
}

void MappedFileWindow::unmap() {
    if (guardSlot_ >= 0)
        giveBackSlot(std::exchange(guardSlot_, -1));
    if (base_ != nullptr)
        munmap(base_, length_);
    base_ = nullptr;
    length_ = 0;
}

std::span<const std::uint8_t> MappedFileWindow::Bytes(off_t offset, std::size_t length) {
    if (base_ != nullptr && offset >= start_ && static_cast<std::size_t>(offset - start_) + length <= length_)
        return {base_ + (offset - start_), length};
    struct stat status {};
    if (fd_ < 0 || fstat(fd_, &status) != 0 || offset + static_cast<off_t>(length) > status.st_size)
        return {};
    unmap();
    const auto page = static_cast<off_t>(sysconf(_SC_PAGESIZE));
    const off_t start = offset / page * page;
    const std::size_t wanted = static_cast<std::size_t>(offset - start) + length;
    const std::size_t mapped =
        std::max(wanted, std::min(kWindowBytes, static_cast<std::size_t>(status.st_size - start)));
    void* at = mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd_, start);
    if (at == MAP_FAILED)
        return {};
    base_ = static_cast<std::uint8_t*>(at);
    start_ = start;
    length_ = mapped;
    madvise(base_, length_, MADV_SEQUENTIAL);
    const auto begin = reinterpret_cast<std::uintptr_t>(base_);
    guardSlot_ = takeSlot(begin, begin + length_, truncated_.get());
    if (guardSlot_ < 0) {
        unmap(); // unguarded, a truncation would end the program: read() instead
        return {};
    }
    return {base_ + (offset - start_), length};
}

} // namespace velmora
