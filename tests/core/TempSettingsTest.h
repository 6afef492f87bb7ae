#pragma once
// Shared by the settings tests: a fresh folder and setting.ini per test with every reported error kept,
// byte-exact file access, and a full disk on demand.

#include "settings/SettingsFile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs BODY while no file may grow past BYTES: a full disk, which root cannot bypass. SIGXFSZ is ignored meanwhile,
// so a write past the limit fails instead of ending the process. False (with a test failure) when the limit could
// not be set.
template <typename Body> bool WithFileSizeLimit(rlim_t bytes, Body&& body) {
    rlimit old{};
    if (::getrlimit(RLIMIT_FSIZE, &old) != 0) {
        ADD_FAILURE() << "getrlimit(RLIMIT_FSIZE) failed";
        return false;
    }
    rlimit small = old;
    small.rlim_cur = bytes;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (::setrlimit(RLIMIT_FSIZE, &small) != 0) {
        std::signal(SIGXFSZ, oldHandler);
        ADD_FAILURE() << "setrlimit(RLIMIT_FSIZE) failed";
        return false;
    }
    body();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    return true;
}

class TempSettingsTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-settings-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ / "setting.ini";
        settings_.SetIniFileName(path_.string());
        settings_.SetErrorHandler([this](const SettingsError& e) { errors_.push_back(e); });
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const auto& e : errors_)
            messages.push_back(e.message);
        return messages;
    }

    std::filesystem::path dir_;
    std::filesystem::path path_;
    SettingsFile settings_;
    std::vector<SettingsError> errors_;
};

} // namespace velmora::test
