#pragma once
// Reads the frames of one capture file that libpcap has opened, in order, on the caller's thread.
//
// libpcap reads a classic pcap file through stdio: two fread calls and a copy per frame, 4 KiB
// per system call. For the common file (pcap 2.4 in this machine's byte order) the records are
// parsed here in place, where the page cache holds them (MappedFileWindow), with no copy at all.
// Everything else goes through libpcap from the first record it must handle: pcapng, byte-swapped
// and old files, pipes, link types libpcap rewrites, any record that is not plainly whole and within
// the snapshot length, and the end of the file, so libpcap also words every error.

#include "capture/pcap/MappedFileWindow.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

struct pcap;

namespace velmora {

struct FileFrame {
    std::span<const std::uint8_t> bytes; // valid until the next Next()
    std::int64_t seconds = 0;            // as the file holds them, not yet checked
    std::int64_t microseconds = 0;
    std::uint32_t wireLength = 0;
};

class CaptureFileReader final {
public:
    enum class Status { Frame, End, Error };

    CaptureFileReader() = default;
    // `handle` comes from pcap_open_offline, has not been read from and outlives the reader.
    explicit CaptureFileReader(pcap* handle);
    CaptureFileReader(CaptureFileReader&&) = default;
    CaptureFileReader& operator=(CaptureFileReader&&) = default;

    Status Next(FileFrame& frame);
    // libpcap's message after Status::Error.
    const std::string& ErrorMessage() const { return error_; }
    int LinkType() const { return linkType_; }
    // Bytes of the file read so far (0 when that cannot be told).
    std::uint64_t Position() const;

private:
    Status nextFromLibpcap(FileFrame& frame);
    // Lets libpcap read on from the record at offset_.
    Status handOver(FileFrame& frame);

    pcap* handle_ = nullptr;
    int linkType_ = 0;
    bool inPlace_ = false; // parsing records here; false once libpcap has taken over
    bool nanoseconds_ = false;
    std::uint32_t largestInPlace_ = 0;
    off_t offset_ = 0; // file offset of the next record
    MappedFileWindow window_;
    std::string error_;
};

} // namespace velmora
