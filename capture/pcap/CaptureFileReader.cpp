#include "capture/pcap/CaptureFileReader.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

constexpr std::size_t kFileHeaderBytes = 24;
constexpr std::size_t kRecordHeaderBytes = 16;
// One large read at a time: few system calls, and the bytes are still in the cache when the
// frames are searched. Large enough that moving the record cut by its end to the front, once a
// read, costs little even when frames are 64 KiB.
constexpr std::size_t kReadBytes = std::size_t{256} << 10;
// libpcap's limit for a sane captured length of the usual link types; longer records go to it.
constexpr std::uint32_t kLargestSaneFrame = 262144;
constexpr std::uint32_t kMicrosecondMagic = 0xA1B2C3D4;
constexpr std::uint32_t kNanosecondMagic = 0xA1B23C4D;

std::uint32_t read32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

} // namespace

CaptureFileReader::CaptureFileReader(pcap* handle) : handle_(handle), linkType_(pcap_datalink(handle)) {
    FILE* file = pcap_file(handle);
    // libpcap rewrites the headers of USB captures, and byte-swapped or pre-2.4 files need its care.
    if (file == nullptr || std::endian::native != std::endian::little || pcap_is_swapped(handle) != 0 ||
        pcap_major_version(handle) != 2 || pcap_minor_version(handle) != 4 || linkType_ == DLT_USB_LINUX ||
        linkType_ == DLT_USB_LINUX_MMAPPED || pcap_snapshot(handle) <= 0) {
        return;
    }
    const int fd = fileno(file);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return;
    }
    std::array<std::uint8_t, kFileHeaderBytes> header{};
    if (pread(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
        return;
    }
    const std::uint32_t magic = read32(header.data());
    if (magic != kMicrosecondMagic && magic != kNanosecondMagic) {
        return; // pcapng, or a variant only libpcap knows
    }
    nanoseconds_ = magic == kNanosecondMagic;
    largestInPlace_ = std::min(static_cast<std::uint32_t>(pcap_snapshot(handle)), kLargestSaneFrame);
    fd_ = fd;
    offset_ = kFileHeaderBytes;
    buffer_.resize(kReadBytes + kRecordHeaderBytes + kLargestSaneFrame);
    inPlace_ = true;
}

CaptureFileReader::Status CaptureFileReader::Next(FileFrame& frame) {
    if (!inPlace_) {
        return nextFromLibpcap(frame);
    }
    if (!fill(kRecordHeaderBytes)) {
        if (begin_ == end_ && atEndOfFile_) {
            return Status::End;
        }
        return handOver(frame); // a cut record header, or a read error: libpcap says which
    }
    const std::uint8_t* record = buffer_.data() + begin_;
    const std::uint32_t captured = read32(record + 8);
    if (captured > largestInPlace_ || !fill(kRecordHeaderBytes + captured)) {
        return handOver(frame);
    }
    record = buffer_.data() + begin_; // fill may have moved it
    // As libpcap reads them: signed 32-bit seconds and fraction, nanoseconds scaled down.
    const auto seconds = static_cast<std::int32_t>(read32(record));
    const auto fraction = static_cast<std::int32_t>(read32(record + 4));
    frame.seconds = seconds;
    frame.microseconds = nanoseconds_ ? fraction / 1000 : fraction;
    frame.wireLength = read32(record + 12);
    frame.bytes = {record + kRecordHeaderBytes, captured};
    begin_ += kRecordHeaderBytes + captured;
    return Status::Frame;
}

bool CaptureFileReader::fill(std::size_t needed) {
    if (end_ - begin_ >= needed) {
        return true;
    }
    if (atEndOfFile_) {
        return false;
    }
    // Move the partial record to the front, then read behind it.
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    offset_ += static_cast<off_t>(begin_);
    end_ -= begin_;
    begin_ = 0;
    while (end_ < needed) {
        const std::size_t room = std::min(buffer_.size() - end_, kReadBytes);
        const ssize_t got = pread(fd_, buffer_.data() + end_, room, offset_ + static_cast<off_t>(end_));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            atEndOfFile_ = true; // a read error is reported by libpcap when it reads the same place
            return false;
        }
        end_ += static_cast<std::size_t>(got);
    }
    return true;
}

CaptureFileReader::Status CaptureFileReader::handOver(FileFrame& frame) {
    inPlace_ = false;
    const off_t record = offset_ + static_cast<off_t>(begin_);
    buffer_ = {};
    if (fseeko(pcap_file(handle_), record, SEEK_SET) != 0) {
        error_ = std::string("cannot seek in the file: ") + std::strerror(errno);
        return Status::Error;
    }
    return nextFromLibpcap(frame);
}

std::uint64_t CaptureFileReader::Position() const {
    if (inPlace_) {
        return static_cast<std::uint64_t>(offset_) + begin_;
    }
    FILE* file = handle_ != nullptr ? pcap_file(handle_) : nullptr;
    const off_t at = file != nullptr ? ftello(file) : -1;
    return at > 0 ? static_cast<std::uint64_t>(at) : 0;
}

CaptureFileReader::Status CaptureFileReader::nextFromLibpcap(FileFrame& frame) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int status = pcap_next_ex(handle_, &header, &data);
    if (status == 1) {
        frame.bytes = {data, header->caplen};
        frame.seconds = header->ts.tv_sec;
        frame.microseconds = header->ts.tv_usec;
        frame.wireLength = header->len;
        return Status::Frame;
    }
    if (status == PCAP_ERROR_BREAK) {
        return Status::End;
    }
    error_ = pcap_geterr(handle_);
    return Status::Error;
}

} // namespace velmora
