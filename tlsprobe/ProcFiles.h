#pragma once
// Reading what the kernel says about a process under /proc: small text files and links, bounded.

#include <cstddef>
#include <optional>
#include <string>

namespace velmora::tlsprobe {

// The file's text, at most limit bytes of it; nothing when it cannot be opened (the process is gone, or
// not the caller's).
std::optional<std::string> readProcText(const std::string& path, std::size_t limit);

std::optional<std::string> readProcLink(const std::string& path);

} // namespace velmora::tlsprobe
