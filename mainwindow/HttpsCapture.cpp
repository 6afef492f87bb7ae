#include "mainwindow/HttpsCapture.h"

#include "capture/FrameText.h"
#include "engine/CaptureEngine.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/KeyLogOptions.h"
#include "mainwindow/OptionsColumn.h"
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
    // Last in the column that holds `columnMember` (the file-type table's, which gives up height to it).
    if (QBoxLayout* column = ColumnHolding(parts_.columnMember))
        column->addWidget(options_);
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
    // Short enough to be read whole beside the capture figures at the window's smallest size.
    return QStringLiteral("无密钥：请关闭浏览器后单击“启动浏览器（记录密钥）”");
}

void HttpsCapture::CaptureEnded() {
    parts_.engine.EndCapture();
    parts_.showNewRows(); // answers that waited ahead of a gap
}

HttpsCapture::Figures HttpsCapture::FiguresText() const {
    Figures figures;
    QStringList detail;
    // Connections that lost answers to a gap in the capture (frames cut short or dropped) are said apart.
    const velmora::HttpFollowStats http = parts_.engine.ClearTextConnections();
    if (parts_.engine.Https().HasKeyLog()) {
        const velmora::TlsStats all = parts_.engine.DecryptedConnections();
        const velmora::TlsStats tls = parts_.engine.Stats();
        const velmora::QuicStats quic = parts_.engine.QuicConnections();
        figures.brief = QStringLiteral(" · 已解密 %1 · 无密钥 %2").arg(all.decrypted).arg(all.withoutKeys);
        // The rarer outcomes only when there are any, so that the figures shown add up to the connections seen.
        const std::pair<std::uint64_t, const char16_t*> rare[] = {{all.abandoned, u"未完成"},
                                                                  {all.withGaps, u"有缺口"},
                                                                  {all.failed, u"失败"},
                                                                  {all.unsupported, u"不支持"}};
        for (const auto& [count, name] : rare)
            if (count > 0)
                figures.brief += QStringLiteral(" · %1 %2").arg(QString::fromUtf16(name)).arg(count);
        detail << QStringLiteral("TLS：已解密 %1，无密钥 %2，未完成 %3，有缺口 %4，失败 %5，不支持 %6")
                      .arg(tls.decrypted)
                      .arg(tls.withoutKeys)
                      .arg(tls.abandoned)
                      .arg(tls.withGaps)
                      .arg(tls.failed)
                      .arg(tls.unsupported)
               << QStringLiteral("HTTP/3：已解密 %1，无密钥 %2，未完成 %3").arg(quic.decrypted).arg(quic.withoutKeys).arg(quic.abandoned)
               << QStringLiteral("（未完成：握手没有完成的连接，例如浏览器因证书而放弃，没有可解密的请求）");
    }
    if (http.withGaps > 0) {
        figures.brief += QStringLiteral(" · HTTP 缺口 %1").arg(http.withGaps);
        detail << QStringLiteral("HTTP 连接有缺口 %1：抓包缺帧，部分回应没有读到").arg(http.withGaps);
    }
    figures.detail = detail.join(QLatin1Char('\n'));
    return figures;
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
