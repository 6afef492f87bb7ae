#include "probe/ProbeRecordReader.h"

#include <algorithm>
#include <cstring>

namespace velmora::probe {

void ProbeRecordReader::fail(const std::string& why) {
    problem_ = "TLS probe stream broken at byte " + std::to_string(streamOffset_) + " (record " +
               std::to_string(records_ + 1) + "): " + why;
    heldBytes_ = 0;
}

bool ProbeRecordReader::hand(std::span<const std::uint8_t> record, ProbeRecordSink& sink) {
    const ProbeRecordRead read = ReadProbeRecord(record);
    if (!read.ok) {
        fail(read.problem);
        return false;
    }
    ++records_;
    streamOffset_ += record.size();
    sink.Record(read.record);
    return true;
}

bool ProbeRecordReader::Add(std::span<const std::uint8_t> bytes, ProbeRecordSink& sink) {
    if (Failed())
        return false;
    auto sizeOf = [this](std::span<const std::uint8_t> start) -> std::size_t {
        const std::uint32_t size = ProbeRecordSize(start);
        if (size < kHeaderBytes || size > kMaxRecordBytes) {
            fail("record size " + std::to_string(size) + " outside " + std::to_string(kHeaderBytes) + ".." +
                 std::to_string(kMaxRecordBytes));
            return 0;
        }
        return size;
    };
    // First the record begun in an earlier piece.
    while (heldBytes_ > 0 && !bytes.empty()) {
        std::size_t wanted = 4;
        if (heldBytes_ >= 4 && (wanted = sizeOf(std::span(held_).first(heldBytes_))) == 0)
            return false;
        const std::size_t n = std::min(wanted - heldBytes_, bytes.size());
        std::memcpy(held_.data() + heldBytes_, bytes.data(), n);
        heldBytes_ += n;
        bytes = bytes.subspan(n);
        if (wanted > 4 && heldBytes_ == wanted) {
            heldBytes_ = 0;
            if (!hand(std::span(held_).first(wanted), sink))
                return false;
        }
    }
    // Then the records wholly within this piece, read in place.
    while (bytes.size() >= 4) {
        const std::size_t size = sizeOf(bytes);
        if (size == 0)
            return false;
        if (bytes.size() < size)
            break;
        if (!hand(bytes.first(size), sink))
            return false;
        bytes = bytes.subspan(size);
    }
    if (!bytes.empty()) {
        std::memcpy(held_.data() + heldBytes_, bytes.data(), bytes.size());
        heldBytes_ += bytes.size();
        if (heldBytes_ >= 4 && sizeOf(std::span(held_).first(heldBytes_)) == 0)
            return false;
    }
    return true;
}

bool ProbeRecordReader::End() {
    if (Failed())
        return false;
    if (heldBytes_ > 0) {
        fail("the stream ended " + std::to_string(heldBytes_) + " bytes into a record");
        return false;
    }
    return true;
}

void ProbeRecordReader::Restart() {
    heldBytes_ = 0;
    streamOffset_ = 0;
    records_ = 0;
    problem_.clear();
}

} // namespace velmora::probe
