#include "tls/KeyLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(std::string_view hex, std::span<std::uint8_t> out) {
    if (hex.size() != out.size() * 2)
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int hi = hexValue(hex[2 * i]);
        const int lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The next field of a line split at runs of blanks.
std::string_view nextField(std::string_view& line) {
    std::size_t start = 0;
    while (start < line.size() && isBlank(line[start]))
        ++start;
    std::size_t end = start;
    while (end < line.size() && !isBlank(line[end]))
        ++end;
    const std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

KeyLogOpen failure(KeyLogOpen::Problem problem, std::string message) {
    return {false, problem, std::move(message), {}, {}, {}};
}

} // namespace

KeyLogOpen KeyLog::Open(const std::string& path) {
    *this = KeyLog();
    path_ = path;
    KeyLogOpen opened = readAppended();
    struct stat info {};
    if (!opened || ::stat(path.c_str(), &info) != 0)
        return opened;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        opened.writableMode = mode;
        opened.warning = "TLS key log " + path + " can be written by other users (mode " + mode +
                         "): what they write there is read as keys";
    } else if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        std::string owner = "uid " + std::to_string(info.st_uid);
        passwd entry{};
        passwd* found = nullptr;
        char names[1024];
        if (::getpwuid_r(info.st_uid, &entry, names, sizeof names, &found) == 0 && found)
            owner = found->pw_name;
        opened.otherOwner = owner;
        opened.warning =
            "TLS key log " + path + " belongs to another user (" + owner + "): what they write there is read as keys";
    }
    return opened;
}

bool KeyLog::Refresh() {
    if (path_.empty())
        return false;
    const std::uint64_t before = generation_;
    readAppended();
    return generation_ != before;
}

KeyLogOpen KeyLog::readAppended() {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        return failure(error == ENOENT ? KeyLogOpen::Problem::Missing : KeyLogOpen::Problem::Unreadable,
                       "TLS key log " + path_ + ": " + std::strerror(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return failure(KeyLogOpen::Problem::NotAFile, "TLS key log " + path_ + ": not a regular file");
    const auto size = static_cast<std::uint64_t>(info.st_size);
    bool rewritten = false;
    if (!head_.empty()) {
        std::string head(head_.size(), '\0');
        rewritten = ::pread(fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) || head != head_;
    }
    if (info.st_dev != device_ || info.st_ino != inode_ || size < offset_ || rewritten) {
        // Replaced or truncated: what it holds now is read from its start.
        device_ = info.st_dev;
        inode_ = info.st_ino;
        offset_ = 0;
        head_.clear();
        partial_.clear();
        skippingLongLine_ = false;
    }
    std::array<std::uint8_t, kReadChunk> chunk;
    while (offset_ < size) {
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset_));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return failure(KeyLogOpen::Problem::Unreadable, "TLS key log " + path_ + ": " + std::strerror(errno));
        }
        if (got == 0)
            break;
        if (offset_ < kHeadBytes)
            head_.append(reinterpret_cast<const char*>(chunk.data()),
                         std::min<std::size_t>(kHeadBytes - offset_, static_cast<std::size_t>(got)));
        offset_ += static_cast<std::uint64_t>(got);
        AddText(std::span(chunk.data(), static_cast<std::size_t>(got)));
    }
    return {};
}

void KeyLog::AddText(std::span<const std::uint8_t> bytes) {
    const auto* p = reinterpret_cast<const char*>(bytes.data());
    std::string_view rest(p, bytes.size());
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        const std::string_view piece = rest.substr(0, newline);
        if (!skippingLongLine_) {
            if (partial_.size() + piece.size() > kMaxLineBytes) {
                ++damagedLines_;
                partial_.clear();
                skippingLongLine_ = true;
            } else {
                partial_.append(piece);
            }
        }
        if (newline == std::string_view::npos)
            return;
        if (!skippingLongLine_)
            addLine(partial_);
        partial_.clear();
        skippingLongLine_ = false;
        rest.remove_prefix(newline + 1);
    }
}

void KeyLog::addLine(std::string_view line) {
    std::string_view rest = line;
    const std::string_view label = nextField(rest);
    if (label.empty() || label.front() == '#')
        return;
    TlsSecret TlsSecrets::*slot = nullptr;
    if (label == "CLIENT_RANDOM")
        slot = &TlsSecrets::master;
    else if (label == "CLIENT_HANDSHAKE_TRAFFIC_SECRET")
        slot = &TlsSecrets::clientHandshake;
    else if (label == "CLIENT_TRAFFIC_SECRET_0")
        slot = &TlsSecrets::clientTraffic;
    else if (label == "CLIENT_EARLY_TRAFFIC_SECRET")
        slot = &TlsSecrets::clientEarly;
    else if (label == "SERVER_TRAFFIC_SECRET_0")
        slot = &TlsSecrets::serverTraffic;
    else if (label == "SERVER_HANDSHAKE_TRAFFIC_SECRET")
        slot = &TlsSecrets::serverHandshake;
    if (!slot)
        return; // EXPORTER_SECRET, RSA and labels of later versions
    const std::string_view randomHex = nextField(rest);
    const std::string_view secretHex = nextField(rest);
    ClientRandom random;
    TlsSecret secret;
    const std::size_t secretLength = secretHex.size() / 2;
    const bool lengthOk = slot == &TlsSecrets::master ? secretLength == 48 : (secretLength == 32 || secretLength == 48);
    if (!nextField(rest).empty() || !lengthOk || !parseHex(randomHex, random) ||
        !parseHex(secretHex, std::span(secret.bytes.data(), secretLength))) {
        ++damagedLines_;
        return;
    }
    secret.length = static_cast<std::uint8_t>(secretLength);
    auto [it, inserted] = secrets_.try_emplace(random);
    if (inserted) {
        order_.push_back(random);
        if (order_.size() > kMaxClientRandoms) {
            secrets_.erase(order_.front());
            order_.pop_front();
        }
    }
    // Erasing the oldest entry leaves `it`, the newest, valid.
    TlsSecret& target = it->second.*slot;
    if (target.length != secret.length || std::memcmp(target.bytes.data(), secret.bytes.data(), secret.length) != 0) {
        target = secret;
        ++generation_;
    }
}

std::size_t KeyLog::LongestChain() const {
    std::size_t longest = 0;
    for (std::size_t i = 0; i < secrets_.bucket_count(); ++i)
        longest = std::max(longest, secrets_.bucket_size(i));
    return longest;
}

const TlsSecrets* KeyLog::Find(std::span<const std::uint8_t, 32> clientRandom) const {
    ClientRandom key;
    std::memcpy(key.data(), clientRandom.data(), key.size());
    const auto it = secrets_.find(key);
    return it == secrets_.end() ? nullptr : &it->second;
}

} // namespace velmora
