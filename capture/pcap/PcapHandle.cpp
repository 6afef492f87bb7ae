#include "capture/pcap/PcapHandle.h"

#include <pcap/pcap.h>

namespace velmora {

PcapHandle& PcapHandle::operator=(PcapHandle&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

pcap* PcapHandle::release() noexcept {
    pcap* handle = handle_;
    handle_ = nullptr;
    return handle;
}

void PcapHandle::reset(pcap* handle) noexcept {
    if (handle_ != nullptr) {
        pcap_close(handle_);
    }
    handle_ = handle;
}

std::string PcapHandle::LastError() const {
    return handle_ != nullptr ? std::string(pcap_geterr(handle_)) : std::string();
}

} // namespace velmora
