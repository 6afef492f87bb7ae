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
    offset_ = kFileHeaderBytes;
    window_ = MappedFileWindow(fd);
    inPlace_ = true;
}

CaptureFileReader::Status CaptureFileReader::Next(FileFrame& frame) {
    if (!inPlace_) {
        return nextFromLibpcap(frame);
    }
    if (window_.Truncated()) {
        error_ = "the file was cut short while it was being read";
        return Status::Error;
    }
    // The end of the file, a cut record, or a file that cannot be mapped: libpcap says which.
    const std::span<const std::uint8_t> header = window_.Bytes(offset_, kRecordHeaderBytes);
    if (header.empty()) {
        return handOver(frame);
    }
    const std::uint32_t captured = read32(header.data() + 8);
    const std::span<const std::uint8_t> record =
        captured > largestInPlace_ ? std::span<const std::uint8_t>() : window_.Bytes(offset_, kRecordHeaderBytes + captured);
    if (record.empty()) {
        return handOver(frame);
    }
    // As libpcap reads them: signed 32-bit seconds and fraction, nanoseconds scaled down.
    const auto seconds = static_cast<std::int32_t>(read32(record.data()));
    const auto fraction = static_cast<std::int32_t>(read32(record.data() + 4));
    frame.seconds = seconds;
    frame.microseconds = nanoseconds_ ? fraction / 1000 : fraction;
    frame.wireLength = read32(record.data() + 12);
    if (window_.Truncated()) { // the header just read was zeros for pages the file lost
        error_ = "the file was cut short while it was being read";
        return Status::Error;
    }
    frame.bytes = record.subspan(kRecordHeaderBytes);
    offset_ += static_cast<off_t>(kRecordHeaderBytes + captured);
    return Status::Frame;
}

CaptureFileReader::Status CaptureFileReader::handOver(FileFrame& frame) {
    inPlace_ = false;
    const off_t record = offset_;
    window_ = MappedFileWindow();
    if (fseeko(pcap_file(handle_), record, SEEK_SET) != 0) {
        error_ = std::string("cannot seek in the file: ") + std::strerror(errno);
        return Status::Error;
    }
    return nextFromLibpcap(frame);
}

std::uint64_t CaptureFileReader::Position() const {
    if (inPlace_) {
        return static_cast<std::uint64_t>(offset_);
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
