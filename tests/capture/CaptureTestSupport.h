#pragma once
// Shared by the capture tests: reading a started capture to its end the way the consumer does,
// temporary folders, and tiny pcap/pcapng writers for captures with exactly the frames a test needs.

#include "capture/pcap/CaptureComponent.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::test {

inline std::string DataFile(const std::string& name) {
    return std::string(VELMORA_TEST_DATA) + "/" + name;
}

struct Drained {
    std::vector<CapturedFrame> frames;
    std::vector<std::size_t> wholeSizes; // of CurrentFrame: every captured byte
    CaptureResult end;
    std::size_t dispatchCalls = 0;
};

// Dispatches until the capture finishes (or the limit passes), copying each announced frame out
// with ReadPacket into a CaptureBuffer-sized buffer.
inline Drained DrainToEnd(CaptureComponent& component, std::chrono::seconds limit = std::chrono::seconds(60)) {
    Drained out;
    std::array<std::uint8_t, CaptureComponent::kMaxFrameBytes + 1> captureBuffer{};
    component.SetPacketReceived([&](std::int32_t numbytes) {
        EXPECT_GE(numbytes, 0);
        EXPECT_LE(numbytes, CaptureComponent::kMaxFrameBytes);
        const std::int32_t copied = component.ReadPacket(captureBuffer);
        EXPECT_EQ(copied, numbytes);
        CapturedFrame frame;
        frame.linkType = component.CurrentLinkType();
        frame.timestamp = component.CurrentTimestamp();
        frame.bytes.assign(captureBuffer.begin(), captureBuffer.begin() + copied);
        out.frames.push_back(std::move(frame));
        out.wholeSizes.push_back(component.CurrentFrame().size());
    });
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!component.Finished() && std::chrono::steady_clock::now() < deadline) {
        component.WaitForFrames(std::chrono::milliseconds(100));
        component.DispatchPending(256);
        ++out.dispatchCalls;
    }
    EXPECT_TRUE(component.Finished()) << "the capture did not finish in time";
    out.end = component.EndResult();
    return out;
}

inline Drained ReadCaptureFiles(const std::vector<std::string>& paths,
                                CaptureComponent::QueueLimits limits = CaptureComponent::kDefaultQueueLimits) {
    CaptureComponent component(limits);
    const CaptureResult opened = component.OpenFiles(paths);
    EXPECT_TRUE(opened) << opened.message;
    const CaptureResult started = component.StartCapture();
    EXPECT_TRUE(started) << started.message;
    return DrainToEnd(component);
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-capture-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void Put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void Put32(Bytes& out, std::uint32_t value) {
    Put16(out, static_cast<std::uint16_t>(value));
    Put16(out, static_cast<std::uint16_t>(value >> 16));
}

inline std::uint32_t Get32(const Bytes& in, std::size_t at) {
    return in[at] | (in[at + 1] << 8) | (in[at + 2] << 16) | (std::uint32_t{in[at + 3]} << 24);
}

inline void Set32(Bytes& in, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        in[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Classic little-endian pcap with microsecond timestamps.
inline Bytes MakePcap(int linkType, const std::vector<CapturedFrame>& frames, std::uint32_t snapLength = 262144) {
    Bytes out;
    Put32(out, 0xA1B2C3D4);
    Put16(out, 2);
    Put16(out, 4);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, snapLength);
    Put32(out, static_cast<std::uint32_t>(linkType));
    for (const CapturedFrame& frame : frames) {
        const auto micros = static_cast<std::uint64_t>(frame.timestamp.count());
        Put32(out, static_cast<std::uint32_t>(micros / 1000000));
        Put32(out, static_cast<std::uint32_t>(micros % 1000000));
        Put32(out, static_cast<std::uint32_t>(frame.bytes.size()));
        Put32(out, std::max<std::uint32_t>(frame.wireLength, static_cast<std::uint32_t>(frame.bytes.size())));
        out.insert(out.end(), frame.bytes.begin(), frame.bytes.end());
    }
    return out;
}

// pcapng: one section, one interface (microsecond timestamps), one enhanced packet block per frame.
inline Bytes MakePcapng(int linkType, const std::vector<CapturedFrame>& frames) {
    Bytes out;
    Put32(out, 0x0A0D0D0A); // section header
    Put32(out, 28);
    Put32(out, 0x1A2B3C4D);
    Put16(out, 1);
    Put16(out, 0);
    Put32(out, 0xFFFFFFFF); // section length unknown
    Put32(out, 0xFFFFFFFF);
    Put32(out, 28);
    Put32(out, 1); // interface description
    Put32(out, 20);
    Put16(out, static_cast<std::uint16_t>(linkType));
    Put16(out, 0);
    Put32(out, 262144);
    Put32(out, 20);
    for (const CapturedFrame& frame : frames) {
        const auto size = static_cast<std::uint32_t>(frame.bytes.size());
        const std::uint32_t padded = (size + 3) & ~3u;
        const auto micros = static_cast<std::uint64_t>(frame.timestamp.count());
        Put32(out, 6); // enhanced packet
        Put32(out, 32 + padded);
        Put32(out, 0);
        Put32(out, static_cast<std::uint32_t>(micros >> 32));
        Put32(out, static_cast<std::uint32_t>(micros));
        Put32(out, size);
        Put32(out, std::max(frame.wireLength, size));
        out.insert(out.end(), frame.bytes.begin(), frame.bytes.end());
        out.insert(out.end(), padded - size, 0);
        Put32(out, 32 + padded);
    }
    return out;
}

// Where each record header of a little-endian classic pcap file starts.
inline std::vector<std::size_t> PcapRecordOffsets(const Bytes& file) {
    std::vector<std::size_t> offsets;
    for (std::size_t at = 24; at + 16 <= file.size(); at += 16 + Get32(file, at + 8)) {
        offsets.push_back(at);
    }
    return offsets;
}

inline std::u16string Ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace velmora::test
