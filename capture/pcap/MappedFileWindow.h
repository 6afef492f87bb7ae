#pragma once
// A window of a capture file mapped into memory, moved along as the file is read. Reading the frames
// where the page cache holds them spares the copy a read() makes, which is most of the cost of a file
// of large frames. Only the window is mapped, so memory stays bounded whatever the file's size.
//
// A file that another program cuts short while it is mapped would kill the process (SIGBUS) when the
// lost pages are touched: a handler maps zeros over such a page instead, and the window says the file
// was truncated, so the reader reports damage rather than the program dying.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <sys/types.h>

namespace velmora {

class MappedFileWindow final {
public:
    static constexpr std::size_t kWindowBytes = std::size_t{16} << 20;

    MappedFileWindow() = default;
    explicit MappedFileWindow(int fd) : fd_(fd), truncated_(std::make_unique<std::atomic<bool>>(false)) {}
    ~MappedFileWindow() { unmap(); }
    MappedFileWindow(MappedFileWindow&& other) noexcept;
    MappedFileWindow& operator=(MappedFileWindow&& other) noexcept;
    MappedFileWindow(const MappedFileWindow&) = delete;
    MappedFileWindow& operator=(const MappedFileWindow&) = delete;

    // The file's bytes [offset, offset + length), valid until the next call; empty when the file as it
    // is now ends before them (it may still grow), or when it cannot be mapped.
    std::span<const std::uint8_t> Bytes(off_t offset, std::size_t length);
    // Pages the file no longer had were touched: they read as zeros.
    bool Truncated() const { return truncated_ && truncated_->load(std::memory_order_relaxed); }

private:
    void unmap();

    int fd_ = -1;
    std::uint8_t* base_ = nullptr; // the mapping, from file offset start_
    off_t start_ = 0;
    std::size_t length_ = 0;
    int guardSlot_ = -1;
    std::unique_ptr<std::atomic<bool>> truncated_; // where the handler says so; stays put when moved
};

} // namespace velmora
