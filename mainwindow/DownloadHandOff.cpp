#include "mainwindow/DownloadHandOff.h"

#include "desktop/Aria2Client.h"
#include "desktop/CommandTemplate.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/ProductInfo.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/RowRequestHeaders.h"
#include "mainwindow/StatusPanels.h"

namespace {

constexpr int kStatusMessageMs = 10000;

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

} // namespace

DownloadHandOff::DownloadHandOff(const velmora::CaptureEngine& engine, ResultListModel* rows, StatusPanels* status,
                                 QWidget* window, QObject* parent)
    : QObject(parent), engine_(engine), rows_(rows), status_(status), window_(window), aria2_(new Aria2Client(this)) {
    setObjectName(QStringLiteral("DownloadHandOff"));
    connect(aria2_, &Aria2Client::Added, this, [this](const QString& gid) {
        showStatus(QStringLiteral("已交给 aria2 下载，任务编号（gid）%1").arg(gid));
    });
    connect(aria2_, &Aria2Client::Failed, this, &DownloadHandOff::fail);
}

void DownloadHandOff::HandOff(int row, const velmora::DownloadSettings& settings) {
    const QString address = rows_->AddressText(row);
    const velmora::RequestHeaders headers = RequestHeadersForRow(engine_, row);
    if (settings.method == velmora::DownloadMethod::Aria2)
        toAria2(address, headers, settings);
    else if (settings.method == velmora::DownloadMethod::Command)
        toCommand(address, headers, settings.command);
}

void DownloadHandOff::toAria2(const QString& address, const velmora::RequestHeaders& headers,
                              const velmora::DownloadSettings& settings) {
    QStringList lines;
    if (!headers.referer.empty())
        lines << QStringLiteral("Referer: ") + text(headers.referer);
    if (!headers.userAgent.empty())
        lines << QStringLiteral("User-Agent: ") + text(headers.userAgent);
    if (!headers.cookie.empty())
        lines << QStringLiteral("Cookie: ") + text(headers.cookie);
    aria2_->AddUri(QUrl(text(settings.aria2Url)), text(settings.aria2Secret), address, lines);
    showStatus(QStringLiteral("正在交给 aria2……"));
}

void DownloadHandOff::toCommand(const QString& address, const velmora::RequestHeaders& headers,
                                const std::string& command) {
    const std::optional<CommandLine> line = CommandTemplate::Expand(
        text(command), {address, text(headers.referer), text(headers.userAgent), text(headers.cookie)});
    if (!line) {
        fail(QStringLiteral("请先在设置区的“下载方式”里填写下载命令，例如 yt-dlp %u。"));
        return;
    }
    if (const std::optional<QString> error = CommandTemplate::Start(*line)) {
        fail(*error);
        return;
    }
    showStatus(QStringLiteral("已启动 %1").arg(line->program));
}

void DownloadHandOff::fail(const QString& reason) {
    showStatus(QString());
    Dialogs::Message(window_, QMessageBox::Critical, ProductInfo::AppTitle(),
                     reason + QStringLiteral("\n\n链接已复制到剪贴板。"));
}

void DownloadHandOff::showStatus(const QString& message) {
    if (status_) {
        if (message.isEmpty())
            status_->clearMessage();
        else
            status_->showMessage(message, kStatusMessageMs);
    }
}
