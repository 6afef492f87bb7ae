#pragma once
// The frames of a classic pcap file (what dumpcap -P writes) and its link type, for the tests that
// replay real captures through the core.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velmora::test {

using Frame = std::vector<std::uint8_t>;

inline std::vector<Frame> readPcap(const std::string& path, int& linkType) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), {});
    auto u32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | file[at + 1] << 8 | file[at + 2] << 16 | std::uint32_t{file[at + 3]} << 24;
    };
    EXPECT_GE(file.size(), 24u) << path;
    if (file.size() < 24)
        return {};
    EXPECT_EQ(u32(0), 0xA1B2C3D4u) << path;
    linkType = static_cast<int>(u32(20));
    std::vector<Frame> frames;
    for (std::size_t at = 24; at + 16 <= file.size();) {
        const std::size_t length = u32(at + 8);
        if (at + 16 + length > file.size())
            break;
        frames.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at + 16),
                            file.begin() + static_cast<std::ptrdiff_t>(at + 16 + length));
        at += 16 + length;
    }
    return frames;
}

} // namespace velmora::test
