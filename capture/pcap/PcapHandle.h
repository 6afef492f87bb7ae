#pragma once
// Owns one libpcap handle (live or offline) and closes it.

#include <string>

struct pcap; // libpcap's pcap_t, kept out of consumers' headers

namespace velmora {

class PcapHandle final {
public:
    PcapHandle() = default;
    explicit PcapHandle(pcap* handle) noexcept : handle_(handle) {}
    ~PcapHandle() { reset(); }
    PcapHandle(PcapHandle&& other) noexcept : handle_(other.release()) {}
    PcapHandle& operator=(PcapHandle&& other) noexcept;
    PcapHandle(const PcapHandle&) = delete;
    PcapHandle& operator=(const PcapHandle&) = delete;

    pcap* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    pcap* release() noexcept;
    void reset(pcap* handle = nullptr) noexcept;

    // libpcap's message for the last failure on this handle.
    std::string LastError() const;

private:
    pcap* handle_ = nullptr;
};

} // namespace velmora
