#include "settings/ShippedFiles.h"

namespace velmora {

ShippedFiles ShippedFiles::Find(const std::filesystem::path& executableFolder) {
    std::error_code error;
    if (std::filesystem::is_regular_file(executableFolder / "default-setting.ini", error))
        return {executableFolder, false};
    const std::filesystem::path share = executableFolder.parent_path() / "share" / "velmora";
    if (std::filesystem::is_directory(share, error))
        return {share, true};
    return {executableFolder, false};
}

} // namespace velmora
