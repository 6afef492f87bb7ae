#include "MappedFile.h"

#include <charconv>

namespace velmora::tlsprobe {
namespace {

std::string_view nextField(std::string_view& line) {
    const auto begin = line.find_first_not_of(' ');
    if (begin == std::string_view::npos) {
        line = {};
        return {};
    }
    line.remove_prefix(begin);
    const auto end = line.find(' ');
    const std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
    return field;
}

} // namespace

std::optional<MappedFile> parseMapsLine(std::string_view line) {
    MappedFile file;
    file.range = nextField(line);
    nextField(line); // permissions
    nextField(line); // offset
    nextField(line); // device
    const std::string_view inode = nextField(line);
    const auto [end, error] = std::from_chars(inode.data(), inode.data() + inode.size(), file.inode);
    if (error != std::errc() || end != inode.data() + inode.size() || file.inode == 0 ||
        file.range.find('-') == std::string_view::npos) {
        return std::nullopt;
    }
    // The path is the rest of the line and may hold spaces of its own.
    const auto begin = line.find_first_not_of(' ');
    if (begin == std::string_view::npos || line[begin] != '/') {
        return std::nullopt;
    }
    file.path = line.substr(begin);
    constexpr std::string_view deleted = " (deleted)";
    if (file.path.ends_with(deleted)) {
        file.path.remove_suffix(deleted.size());
    }
    file.fileName = file.path.substr(file.path.rfind('/') + 1);
    return file;
}

} // namespace velmora::tlsprobe
