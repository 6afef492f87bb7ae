#include "settings/FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace velmora {
namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded (a delayed write error can surface here).
    bool Close() {
        if (fd_ < 0)
            return true;
        int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

private:
    int fd_;
};

std::string Reason(const std::string& what, const std::string& path, int error) {
    return what + " " + path + "：" + std::strerror(error);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Removes the temporary file unless the rename took it.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

} // namespace

FileReadResult ReadWholeFile(const std::string& path, std::size_t limit) {
    FileReadResult result;
    // O_NONBLOCK so that a FIFO put in the file's place cannot hang the program.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) {
            result.status = FileReadResult::Status::Missing;
        } else {
            result.status = FileReadResult::Status::Failed;
            result.errorNumber = errno;
            result.error = Reason("无法打开", path, result.errorNumber);
        }
        return result;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        result.status = FileReadResult::Status::Failed;
        result.errorNumber = errno;
        result.error = Reason("无法读取", path, result.errorNumber);
        return result;
    }
    if (!S_ISREG(info.st_mode)) {
        result.status = FileReadResult::Status::Failed;
        result.errorNumber = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        result.error = Reason("无法读取", path, result.errorNumber);
        return result;
    }
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size) < limit ? static_cast<std::size_t>(info.st_size) : limit);
    std::vector<char> buffer(65536);
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            result.status = FileReadResult::Status::Failed;
            result.errorNumber = errno;
            result.error = Reason("无法读取", path, result.errorNumber);
            return result;
        }
        if (n == 0)
            break;
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {
            result.status = FileReadResult::Status::Failed;
            result.errorNumber = EFBIG;
            result.error = Reason("无法读取", path, result.errorNumber);
            return result;
        }
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    result.status = FileReadResult::Status::Ok;
    result.bytes = std::move(bytes);
    return result;
}

std::optional<std::string> ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
    std::string target = path;
    struct stat linkInfo {};
    if (::lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)) {
        // Renaming over the link would replace the link itself; the user meant the file it points to.
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    struct stat old {};
    const bool hasOld = ::stat(target.c_str(), &old) == 0;
    if (hasOld && S_ISDIR(old.st_mode))
        return Reason("无法写入", target, EISDIR);

    std::filesystem::path targetPath(target);
    std::filesystem::path folder = targetPath.parent_path();
    if (folder.empty())
        folder = ".";
    std::string pattern = (folder / ("." + targetPath.filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd)
        return Reason("无法创建临时文件于", folder.string(), errno);
    TemporaryFile temporary(name.data());

    if (hasOld) {
        ::fchmod(fd.get(), old.st_mode & 07777);
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
            // Not the owner: the file simply becomes ours, as any editor's save would make it.
        }
    } else {
        ::fchmod(fd.get(), 0644);
    }
    if (!WriteAll(fd.get(), bytes))
        return Reason("无法写入", temporary.path(), errno);
    if (::fsync(fd.get()) != 0)
        return Reason("无法写入", temporary.path(), errno);
    if (!fd.Close())
        return Reason("无法写入", temporary.path(), errno);
    if (::rename(temporary.path().c_str(), target.c_str()) != 0)
        return Reason("无法替换", target, errno);
    temporary.Release();

    // Makes the rename itself durable; a failure here no longer endangers either version.
    UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory)
        ::fsync(directory.get());
    return std::nullopt;
}

} // namespace velmora
