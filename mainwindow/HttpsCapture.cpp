#include "mainwindow/HttpsCapture.h"

#include "capture/FrameText.h"
#include "engine/CaptureEngine.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/KeyLogOptions.h"
#include "mainwindow/StatusPanels.h"
#include "settings/TlsSettings.h"

#include <QTimer>
#include <QVBoxLayout>

#include <variant>

namespace {

QString OpenProblem(const velmora::KeyLogOpen& opened) {
    using Problem = velmora::KeyLogOpen::Problem;
    switch (opened.problem) {
    case Problem::Missing:
        return QStringLiteral("文件不存在");
    case Problem::NotAFile:
        return QStringLiteral("它不是普通文件");
    default:
        return QStringLiteral("无法读取（%1）").arg(QString::fromStdString(opened.message));
    }
}

} // namespace

HttpsCapture::HttpsCapture(Parts parts, QWidget* window) : QObject(window), parts_(std::move(parts)), window_(window) {
    missingKeysTimer_ = new QTimer(this);
    missingKeysTimer_->setInterval(1000);
    connect(missingKeysTimer_, &QTimer::timeout, this, &HttpsCapture::checkMissingKeys);
    QWidget* page = parts_.optionsPage;
    options_ = new KeyLogOptions(parts_.settings, page);
    connect(options_, &KeyLogOptions::KeyLogChosen, this, &HttpsCapture::keyLogChosen);
    // Last in the column of the check boxes, above its closing stretch.
    QLayout* columns = page->layout();
    for (int i = 0; columns && i < columns->count(); ++i) {
        auto* column = qobject_cast<QVBoxLayout*>(columns->itemAt(i)->layout());
        if (column && column->indexOf(parts_.columnMember) >= 0) {
            // No extra spacing before it: the column holds other groups too at the window's smallest size.
            column->insertWidget(column->count() - 1, options_);
            return;
        }
    }
}

HttpsCapture::~HttpsCapture() = default;

void HttpsCapture::CaptureStarting() {
    velmora::HttpsRequestFinder& finder = parts_.engine.Https();
    finder.Reset();
    missingKeys_.Reset();
    missingKeysTimer_->stop();
    keyLogInUse_.clear();
    const std::string path = velmora::TlsSettings(parts_.settings).KeyLogFileInUse();
    if (path.empty()) {
        finder.CloseKeyLog();
        return;
    }
    openKeyLog(path);
}

void HttpsCapture::keyLogChosen() {
    // The welcome text's order is adapter, start, then the browser: a key log chosen while the capture
    // runs is read at once, for every connection whose handshake comes after.
    if (!parts_.isCapturing())
        return;
    const std::string path = velmora::TlsSettings(parts_.settings).KeyLogFileInUse();
    if (path.empty() || path == keyLogInUse_)
        return;
    missingKeys_.Reset(); // the browser starts writing to it now
    openKeyLog(path);
}

void HttpsCapture::openKeyLog(const std::string& path) {
    velmora::HttpsRequestFinder& finder = parts_.engine.Https();
    velmora::TlsSettings tls(parts_.settings);
    // The browser may not have made the file yet; made here it is the user's alone from the start.
    QString problem;
    const auto ensured = tls.EnsureKeyLogFile(KeyLogOptions::KeyLogBaseFolder().toStdString());
    if (const auto* failed = std::get_if<velmora::KeyLogFileError>(&ensured)) {
        problem = QString::fromStdString(failed->message);
    } else if (const velmora::KeyLogOpen opened = finder.OpenKeyLog(path); !opened) {
        // Read afresh at every start: the file may have been deleted and begun again since.
        problem = OpenProblem(opened);
    } else if (!opened.warning.empty() && warnedKeyLog_ != path) {
        // Said once for the file, not at every start: it is read all the same.
        warnedKeyLog_ = path;
        const QString who =
            opened.otherOwner.empty()
                ? QStringLiteral("它的权限是 %1，其他用户也能写入").arg(QString::fromStdString(opened.writableMode))
                : QStringLiteral("它属于另一个用户 %1").arg(QString::fromStdString(opened.otherOwner));
        Dialogs::Message(window_, QMessageBox::Warning, QStringLiteral("TLS 密钥日志"),
                         QStringLiteral("TLS 密钥日志 %1 不安全：%2。他们写进这个文件的内容都会被当作密钥读取。\n\n"
                                        "嗅探照常进行。请让这个文件只属于你自己，并且只有你能写入（chmod 600）。")
                             .arg(QString::fromStdString(path), who));
    }
    if (problem.isEmpty()) {
        keyLogInUse_ = path;
        captureClock_.start();
        missingKeysTimer_->start();
        return;
    }
    keyLogInUse_.clear();
    finder.CloseKeyLog();
    Dialogs::Message(window_, QMessageBox::Warning, QStringLiteral("TLS 密钥日志"),
                     QStringLiteral("无法使用 TLS 密钥日志 %1：%2\n\n嗅探照常进行，但这次不能解密 HTTPS 请求。"
                                    "请在“设置区”的“TLS 密钥日志”中选择一个可以读取的文件。")
                         .arg(QString::fromStdString(path), problem));
}

void HttpsCapture::checkMissingKeys() {
    // Capture files are read at once: only a running adapter capture waits for the browser.
    if (!parts_.isCapturing() || !parts_.engine.Https().HasKeyLog()) {
        missingKeysTimer_->stop();
        return;
    }
    if (missingKeys_.Update(parts_.engine.DecryptedConnections(), captureClock_.elapsed()))
        parts_.status->showMessage(MissingKeysText(), 60000);
}

QString HttpsCapture::MissingKeysText() {
    // Short enough to be read whole beside the capture figures at the window's first size.
    return QStringLiteral("浏览器没有记录这些连接的密钥：请关闭浏览器后单击“启动浏览器（记录密钥）”");
}

void HttpsCapture::CaptureEnded() {
    parts_.engine.EndCapture();
    parts_.showNewRows(); // answers that waited ahead of a gap
}

QString HttpsCapture::FiguresText() const {
    // Connections that lost answers to a gap in the capture (frames cut short or dropped) are said apart.
    const velmora::HttpFollowStats http = parts_.engine.ClearTextConnections();
    QString text = http.withGaps > 0 ? QStringLiteral("，HTTP 连接有缺口 %1").arg(http.withGaps) : QString();
    if (!parts_.engine.Https().HasKeyLog())
        return text;
    const velmora::TlsStats stats = parts_.engine.DecryptedConnections(); // QUIC counted too
    text += QStringLiteral("，TLS 已解密 %1 / 无密钥 %2")
                .arg(QString::number(stats.decrypted), QString::number(stats.withoutKeys));
    // The rarer outcomes only when there are any, so that the figures shown add up to the connections seen.
    if (stats.withGaps > 0)
        text += QStringLiteral(" / 有缺口 %1").arg(stats.withGaps);
    if (stats.failed > 0)
        text += QStringLiteral(" / 失败 %1").arg(stats.failed);
    if (stats.unsupported > 0)
        text += QStringLiteral(" / 不支持 %1").arg(stats.unsupported);
    return text;
}

std::optional<QString> HttpsCapture::DataWindowText(const velmora::ResultRow& row, bool chinese) const {
    // Rows from clear text, keyword search rows, and HTTPS rows past the bound on kept texts have none:
    // their packet is shown as for any row.
    const std::string* text = parts_.engine.Https().RequestText(row);
    if (!text)
        return std::nullopt;
    // A request head is lines of text, not a frame: one "名称: 值" a line, the rest shown as a frame is.
    QStringList lines;
    std::string_view rest(*text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
        lines << (chinese ? QString::fromStdU16String(velmora::DecodeCnEscapes(velmora::PacketToTextCn(bytes)))
                          : QString::fromStdU16String(velmora::PacketToText(bytes)));
    }
    return lines.join(QLatin1Char('\n'));
}
