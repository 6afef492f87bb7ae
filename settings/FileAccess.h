#pragma once
// Whole-file reads and atomic replacement, the only two ways the settings store touches the disk.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

struct FileReadResult {
    enum class Status { Ok, Missing, Failed };
    Status status = Status::Missing;
    std::string bytes;   // the content when Ok
    std::string error;   // path and reason when Failed
    int errorNumber = 0; // the errno of the reason when Failed
};

// Reads a regular file whole. A missing file (or a missing folder on the way) is Missing, not Failed;
// anything that is not a regular file, or is larger than `limit` bytes, is Failed.
FileReadResult ReadWholeFile(const std::string& path, std::size_t limit);

// Replaces `path` by `bytes`: a temporary file in the same folder is written, flushed to disk and renamed
// over the target, so the target is either the old file or the new one, never a mix. A symbolic link is
// followed and its target replaced. Keeps the old file's permission bits and owner.
// Gives the path and the reason when it fails; the old file is then untouched.
std::optional<std::string> ReplaceFileAtomically(const std::string& path, std::string_view bytes);

} // namespace velmora
