#pragma once
// Where the files shipped with the program (default-setting.ini, readme.htm) are: beside the executable in the
// build tree or an unpacked folder, or in ../share/velmora once installed. The path is taken relative to the
// executable, so an installation under any prefix, or a DESTDIR tree, finds its own files.

#include <filesystem>
#include <string_view>

namespace velmora {

struct ShippedFiles {
    std::filesystem::path folder; // holds the shipped files; the executable's folder when none are found
    // Found under ../share/velmora: the executable's folder belongs to the system, and the user's settings
    // go to the configuration folder even when that folder is writable (by root).
    bool installed = false;

    static ShippedFiles Find(const std::filesystem::path& executableFolder);
    std::filesystem::path File(std::string_view name) const { return folder / name; }
};

} // namespace velmora
