#pragma once
// Frames of a capture file read straight with libpcap, for the benchmarks.

#include <pcap/pcap.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::bench {

struct RecordedFrames {
    int linkType = -1;
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t bytes = 0;
};

inline RecordedFrames ReadCaptureFile(const std::string& path) {
    RecordedFrames out;
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(path.c_str(), error);
    if (!handle)
        return out;
    out.linkType = pcap_datalink(handle);
    pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        out.frames.emplace_back(data, data + header->caplen);
        out.bytes += header->caplen;
    }
    pcap_close(handle);
    return out;
}

} // namespace velmora::bench
