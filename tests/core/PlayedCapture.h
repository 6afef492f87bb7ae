#pragma once
// A capture of a real player replayed through the engine as velmora-cli reads a file: every frame at
// its capture time (pairing looks at the time), decrypted with the key log recorded beside it, with
// the shipped file-type table; and what nginx logged of that capture (NAME.served.txt).
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"

#include "PcapFrames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velmora::test {

struct PlayedCapture {
    FileTypeTable table = LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    CaptureEngine engine{table};

    explicit PlayedCapture(const std::string& name) {
        const std::string base = std::string(VELMORA_TEST_DATA) + "/" + name;
        if (std::filesystem::exists(base + ".keys")) {
            EXPECT_TRUE(engine.OpenKeyLog(base + ".keys")) << name;
        }
        int linkType = 0;
        const std::vector<Frame> frames = readPcap(base + ".pcap", linkType);
        const std::vector<std::chrono::microseconds> times = frameTimes(base + ".pcap");
        EXPECT_EQ(times.size(), frames.size()) << name;
        for (std::size_t i = 0; i < frames.size() && i < times.size(); ++i)
            engine.FrameReceived(frames[i], linkType, {0, 0, true, true}, nullptr, times[i]);
        engine.EndCapture();
    }

    // The capture time of every frame of a classic pcap file (microsecond timestamps).
    static std::vector<std::chrono::microseconds> frameTimes(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)), {});
        auto u32 = [&](std::size_t at) {
            return std::uint32_t{file[at]} | file[at + 1] << 8 | file[at + 2] << 16 | std::uint32_t{file[at + 3]} << 24;
        };
        std::vector<std::chrono::microseconds> times;
        for (std::size_t at = 24; at + 16 <= file.size() && at + 16 + u32(at + 8) <= file.size(); at += 16 + u32(at + 8))
            times.push_back(std::chrono::seconds(u32(at)) + std::chrono::microseconds(u32(at + 4)));
        return times;
    }
};

// One answer nginx logged: address (path and query), status, Content-Type, body bytes, Referer.
struct Served {
    std::string path;
    int status = 0;
    std::string type;
    std::uint64_t bytes = 0;
    std::string referer;
};

inline std::vector<Served> servedOf(const std::string& name) {
    std::ifstream in(std::string(VELMORA_TEST_DATA) + "/" + name + ".served.txt");
    std::vector<Served> served;
    for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        Served s;
        std::string status, bytes;
        std::getline(fields, s.path, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, s.type, '\t');
        std::getline(fields, bytes, '\t');
        std::getline(fields, s.referer, '\t');
        s.status = std::stoi(status);
        s.bytes = std::stoull(bytes);
        served.push_back(std::move(s));
    }
    EXPECT_FALSE(served.empty()) << name;
    return served;
}

} // namespace velmora::test
