#include "mainwindow/TlsProbeProblem.h"

#include <cerrno>
#include <unistd.h>

namespace {

const QString kJoinGroup = QStringLiteral("sudo usermod -aG velmora $USER");
const QString kReconfigure = QStringLiteral("sudo dpkg-reconfigure velmora");
// The install question's own words, so the user finds it among the package's two.
const QString kQuestion = QStringLiteral("“是否让 velmora 组的成员看到自己程序的 HTTPS 请求？”");

bool Says(std::string_view said, std::string_view what) {
    return said.find(what) != std::string_view::npos;
}

} // namespace

TlsProbeProblem TlsProbeProblem::Missing(const std::string& path) {
    const QString where = path.empty() ? QStringLiteral("程序旁边或 ../libexec/velmora/ 中都没有")
                                       : QStringLiteral("%1 不存在").arg(QString::fromStdString(path));
    return {QStringLiteral("不可用：没有安装 velmora-tls"),
            QStringLiteral("找不到助手程序 velmora-tls（%1）。请安装完整的 velmora 软件包。").arg(where)};
}

TlsProbeProblem TlsProbeProblem::NotAllowed(const std::string& path) {
    return {QStringLiteral("不可用：你不在 velmora 组中"),
            QStringLiteral("你不能运行 %1：只有 velmora 组的成员可以运行它。\n请运行 %2 把自己加入这个组，"
                           "然后注销并重新登录。安装时没有允许的话，先运行 %3 并对%4回答“是”。")
                .arg(QString::fromStdString(path), kJoinGroup, kReconfigure, kQuestion)};
}

TlsProbeProblem TlsProbeProblem::Refused(std::string_view said) {
    const QString english = QString::fromUtf8(said.data(), static_cast<qsizetype>(said.size()));
    if (Says(said, "CAP_SYS_ADMIN"))
        return {QStringLiteral("不可用：助手没有权限"),
                QStringLiteral("velmora-tls 没有挂接程序所需的权限（CAP_SYS_ADMIN）。\n请运行 %1 并对%2回答“是”，"
                               "再运行 %3 把自己加入 velmora 组，然后注销并重新登录。")
                    .arg(kReconfigure, kQuestion, kJoinGroup)};
    if (Says(said, "BTF"))
        return {QStringLiteral("不可用：内核没有 BTF"),
                QStringLiteral("当前内核没有提供 BTF 类型信息（/sys/kernel/btf/vmlinux），velmora-tls 无法加载。"
                               "需要用 CONFIG_DEBUG_INFO_BTF 编译的内核（Debian 12 的内核就是）。")};
    if (Says(said, "uprobes"))
        return {QStringLiteral("不可用：内核不支持 uprobes"),
                QStringLiteral("当前内核不支持 uprobes（CONFIG_UPROBE_EVENTS），velmora-tls 无法挂接程序的 TLS 库。")};
    if (Says(said, "already running"))
        return {QStringLiteral("不可用：已有两个在运行"),
                QStringLiteral("你已经在运行两个 velmora-tls，这是同时允许的最多个数。请先关闭另一个 Velmora "
                               "或 velmora-cli --tls-probe。")};
    return {QStringLiteral("不可用：velmora-tls 无法加载"),
            QStringLiteral("velmora-tls 无法在这台机器上运行：%1").arg(english)};
}

TlsProbeProblem TlsProbeProblem::BeforeRunning(const std::string& path) {
    if (path.empty())
        return Missing(path);
    if (::access(path.c_str(), X_OK) == 0)
        return {};
    if (errno == EACCES && ::access(path.c_str(), F_OK) == 0)
        return NotAllowed(path);
    return Missing(path);
}
