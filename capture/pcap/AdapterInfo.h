#pragma once
// What libpcap knows about one capture adapter.

#include "capture/pcap/CaptureResult.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct AdapterInfo {
    std::string name;        // what OpenAdapter takes, e.g. "eth0"
    std::string description; // often empty on Linux
    bool loopback = false;
    bool up = false;
    bool running = false;
    std::uint32_t address = 0; // first IPv4 address, most significant byte = first octet; 0 when none
    std::uint32_t mask = 0;
};

struct AdapterList {
    std::vector<AdapterInfo> adapters; // in libpcap's order
    CaptureResult result;
};

} // namespace velmora
