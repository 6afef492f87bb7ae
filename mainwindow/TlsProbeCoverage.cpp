#include "mainwindow/TlsProbeCoverage.h"

#include <QStringList>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;

// A desktop session runs many programs that load a TLS library; past `most` only their number is given.
QString Names(const std::set<std::string>& names, std::size_t most) {
    QStringList list;
    for (const std::string& name : names) {
        if (static_cast<std::size_t>(list.size()) == most)
            return list.join(QStringLiteral(", ")) + QStringLiteral(" 等 %1 个").arg(names.size());
        list << QString::fromStdString(name);
    }
    return list.join(QStringLiteral(", "));
}

std::string Comm(const fs::path& process) {
    std::ifstream in(process / "comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

bool IsPid(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); });
}

} // namespace

QString TlsProbeCoverage::Brief() const {
    QString text = QStringLiteral("已覆盖: %1").arg(covered.empty() ? QStringLiteral("（暂无）") : Names(covered, 6));
    if (!needButton.empty())
        text += QStringLiteral(" · 需用按钮: %1").arg(Names(needButton, 6));
    return text;
}

QString TlsProbeCoverage::Detail() const {
    QString text = QStringLiteral("直接读取 HTTPS，已覆盖: %1")
                       .arg(covered.empty() ? QStringLiteral("（还没有程序发出 HTTPS 请求）") : Names(covered, 24));
    if (!needButton.empty())
        text += QStringLiteral("\n需用按钮: %1（浏览器自带 TLS，读取不到；请用“启动浏览器（记录密钥）”）")
                    .arg(Names(needButton, 24));
    return text;
}

std::set<std::string> TlsProbeCoverage::BrowsersWithOwnTls(const std::string& procRoot, uid_t uid) {
    // The names the kernel keeps (comm) for the browsers' processes; renderers and helpers share them.
    static const std::set<std::string> kOwnTls = {"chromium", "chromium-browse", "chrome",     "msedge",
                                                  "brave",    "opera",           "vivaldi-bin"};
    std::set<std::string> found;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(procRoot, error)) {
        const std::string name = entry.path().filename().string();
        struct stat info {};
        if (!IsPid(name) || ::stat(entry.path().c_str(), &info) != 0 || info.st_uid != uid)
            continue;
        if (std::string comm = Comm(entry.path()); kOwnTls.count(comm))
            found.insert(std::move(comm));
    }
    return found;
}

std::string TlsProbeCoverage::ProgramName(const std::string& procRoot, std::uint32_t pid) {
    const fs::path process = fs::path(procRoot) / std::to_string(pid);
    std::error_code error;
    std::string executable = fs::read_symlink(process / "exe", error).string();
    if (!error) {
        constexpr std::string_view kDeleted = " (deleted)"; // replaced by an upgrade while it runs
        if (executable.ends_with(kDeleted))
            executable.resize(executable.size() - kDeleted.size());
        if (const std::string name = fs::path(executable).filename().string(); !name.empty())
            return name;
    }
    return Comm(process);
}
