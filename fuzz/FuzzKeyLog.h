#pragma once
// Every key log of the test data in one in-memory file, for the fuzz targets that decrypt: records
// and packets taken unchanged from the test captures then open.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace velmora::fuzz {

inline std::string TestKeyLogPath() {
    static const std::string path = [] {
        const int fd = ::memfd_create("velmora-fuzz-keys", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
        for (const auto& entry : std::filesystem::directory_iterator(VELMORA_TEST_DATA)) {
            if (entry.path().extension() != ".keys")
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                std::abort();
        }
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

} // namespace velmora::fuzz
