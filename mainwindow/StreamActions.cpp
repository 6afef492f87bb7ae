#include "mainwindow/StreamActions.h"

#include "desktop/StreamDownloadPlan.h"
#include "engine/CaptureEngine.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/ProductInfo.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StreamDownloads.h"
#include "settings/DownloadSettings.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

enum Entry { Quality = 1, DownloadStream = 2, CopyCommand = 3 }; // choices follow Quality

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

QString downloadFolder() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    QDir().mkpath(folder);
    return folder;
}

QString shellQuoted(const QString& word) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

StreamActions::StreamActions(velmora::CaptureEngine& engine, ResultListModel& rows, velmora::SettingsFile& settings,
                             RowHeaders headers, QWidget* window, StatusSink status)
    : QObject(window), engine_(engine), rows_(rows), settings_(settings), headers_(std::move(headers)), window_(window),
      status_(status), downloads_(new StreamDownloads(window, status, this)) {
    setObjectName(QStringLiteral("StreamActions"));
}

bool StreamActions::Handles(int row) const {
    if (row < 0 || row >= rows_.rowCount())
        return false;
    const velmora::ResultRow& r = rows_.Rows()[static_cast<std::size_t>(row)];
    return !r.pair.empty() || engine_.StreamOf(r) != nullptr;
}

QStringList StreamActions::MenuEntries(int row, QList<int>& checked) const {
    if (!Handles(row))
        return {};
    QStringList entries{QStringLiteral("清晰度 ▸"), QStringLiteral("下载流 (ffmpeg)"), QStringLiteral("复制 ffmpeg 命令")};
    const velmora::StreamInfo* stream = engine_.StreamOf(rows_.Rows()[static_cast<std::size_t>(row)]);
    const std::vector<StreamChoice> choices = stream ? StreamDownloadPlan::Choices(*stream) : std::vector<StreamChoice>{};
    if (choices.size() < 2) {
        entries.removeFirst(); // nothing to choose: no submenu
        return entries;
    }
    const int chosen = chosenRendition_.value(text(stream->address), choices.front().rendition);
    for (std::size_t i = 0; i < choices.size(); ++i) {
        entries.insert(static_cast<qsizetype>(1 + i), QLatin1Char('\t') + choices[i].label);
        if (choices[i].rendition == chosen)
            checked << static_cast<int>(2 + i);
    }
    return entries;
}

void StreamActions::Chosen(int row, int entry) {
    QList<int> checked;
    const QStringList entries = MenuEntries(row, checked);
    if (entry < 1 || entry > entries.size())
        return;
    const QString& chosen = entries[entry - 1];
    if (chosen.startsWith(QLatin1Char('\t'))) {
        const velmora::StreamInfo* stream = engine_.StreamOf(rows_.Rows()[static_cast<std::size_t>(row)]);
        const std::vector<StreamChoice> choices = StreamDownloadPlan::Choices(*stream);
        const int index = entry - 2; // after "清晰度 ▸"
        if (index >= 0 && index < static_cast<int>(choices.size())) {
            chosenRendition_.insert(text(stream->address), choices[index].rendition);
            if (status_)
                status_(QStringLiteral("下载流时取 %1").arg(chosen.mid(1)));
        }
    } else if (chosen == QStringLiteral("下载流 (ffmpeg)")) {
        Download(row);
    } else if (chosen == QStringLiteral("复制 ffmpeg 命令")) {
        if (const std::optional<QString> command = CommandText(row)) {
            QGuiApplication::clipboard()->setText(*command);
            if (status_)
                status_(QStringLiteral("ffmpeg 命令已复制到剪贴板"));
        }
    }
}

std::optional<StreamActions::Prepared> StreamActions::prepare(int row, QString* reason) const {
    if (!Handles(row))
        return std::nullopt;
    const velmora::ResultRow& r = rows_.Rows()[static_cast<std::size_t>(row)];
    StreamDownloadPlan plan;
    if (const velmora::StreamInfo* stream = engine_.StreamOf(r)) {
        plan = StreamDownloadPlan::ForStream(*stream, chosenRendition_.value(text(stream->address), -1));
    } else {
        const bool audio = r.contentType.starts_with("audio/");
        plan = StreamDownloadPlan::ForPair(QString::fromStdU16String(r.address), audio, QString::fromStdU16String(r.pair));
    }
    const velmora::RequestHeaders headers = headers_ ? headers_(row) : velmora::RequestHeaders{};
    Prepared prepared;
    prepared.output = StreamDownloadPlan::FreePath(downloadFolder(), plan.fileName);
    prepared.duration = plan.duration;
    prepared.drm = plan.drm;
    const velmora::DownloadSettings settings = velmora::ReadDownloadSettings(settings_);
    const std::optional<CommandLine> line = CommandTemplate::Expand(
        text(settings.streamCommand), {plan.input, text(headers.referer), text(headers.userAgent), text(headers.cookie),
                                       plan.secondInput, prepared.output, plan.afterInputs});
    if (!line) {
        if (reason)
            *reason = QStringLiteral("流下载命令是空的：请在设置区的“下载方式”里填写，例如 ffmpeg -i %u -c copy %o。");
        return std::nullopt;
    }
    prepared.line = *line;
    return prepared;
}

void StreamActions::Download(int row) {
    QString reason;
    const std::optional<Prepared> prepared = prepare(row, &reason);
    if (!prepared) {
        if (!reason.isEmpty())
            Dialogs::Message(window_, QMessageBox::Critical, ProductInfo::AppTitle(), reason);
        return;
    }
    if (prepared->drm) {
        Dialogs::Message(window_, QMessageBox::Information, ProductInfo::AppTitle(),
                         QStringLiteral("这个流受 DRM 保护：它的内容另行加密，密钥只交给授权的播放器。"
                                        "直接下载的文件无法播放，因此不能保存它。"));
        return;
    }
    downloads_->Start(prepared->line, prepared->output, prepared->duration);
}

std::optional<QString> StreamActions::CommandText(int row) const {
    const std::optional<Prepared> prepared = prepare(row, nullptr);
    if (!prepared)
        return std::nullopt;
    QStringList words{shellQuoted(prepared->line.program)};
    for (const QString& argument : prepared->line.arguments)
        words << shellQuoted(argument);
    return words.join(QLatin1Char(' '));
}
