#include "mainwindow/StreamDownloads.h"

#include "mainwindow/Dialogs.h"
#include "mainwindow/ProductInfo.h"

#include <QFileInfo>
#include <QProcess>
#include <QWidget>

#include <algorithm>

namespace {

constexpr qsizetype kLastLinesBytes = 4096; // of ffmpeg's messages, for the box
constexpr int kLastLines = 12;

QString clock(double seconds) {
    const int s = static_cast<int>(seconds);
    return s >= 3600 ? QStringLiteral("%1:%2:%3").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

bool isFfmpeg(const QString& program) {
    return QFileInfo(program).fileName().startsWith(QLatin1String("ffmpeg"));
}

} // namespace

struct StreamDownloads::Download {
    QProcess* process = nullptr;
    QString output;
    double duration = 0;
    QByteArray progress; // an unfinished line of the progress pipe
    QByteArray messages; // the last of ffmpeg's standard error
    bool stopping = false;
};

StreamDownloads::StreamDownloads(QWidget* boxParent, StatusSink status, QObject* parent)
    : QObject(parent), boxParent_(boxParent), status_(std::move(status)) {
    setObjectName(QStringLiteral("StreamDownloads"));
}

StreamDownloads::~StreamDownloads() {
    StopAll();
}

void StreamDownloads::Start(CommandLine line, const QString& output, double duration) {
    if (isFfmpeg(line.program))
        line.arguments = QStringList{QStringLiteral("-progress"), QStringLiteral("pipe:1"), QStringLiteral("-nostats")} +
                         line.arguments;
    auto download = std::make_unique<Download>();
    Download& d = *download;
    d.output = output;
    d.duration = duration;
    d.process = new QProcess(this);
    d.process->setProgram(line.program);
    d.process->setArguments(line.arguments);
    d.process->setStandardInputFile(QProcess::nullDevice());
    connect(d.process, &QProcess::readyReadStandardOutput, this, [this, &d] { readProgress(d); });
    connect(d.process, &QProcess::readyReadStandardError, this, [&d] {
        d.messages += d.process->readAllStandardError();
        if (d.messages.size() > kLastLinesBytes)
            d.messages = d.messages.right(kLastLinesBytes);
    });
    connect(d.process, &QProcess::finished, this,
            [this, &d](int, QProcess::ExitStatus status) { finished(d, status == QProcess::CrashExit); });
    connect(d.process, &QProcess::errorOccurred, this, [this, &d](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        const QString reason = QStringLiteral("无法启动下载程序“%1”：%2").arg(d.process->program(), d.process->errorString());
        remove(d);
        if (status_)
            status_(QString());
        Dialogs::Message(boxParent_, QMessageBox::Critical, ProductInfo::AppTitle(), reason);
    });
    downloads_.push_back(std::move(download));
    if (status_)
        status_(QStringLiteral("正在下载流到 %1……").arg(output));
    d.process->start();
}

int StreamDownloads::Running() const {
    return static_cast<int>(downloads_.size());
}

void StreamDownloads::readProgress(Download& d) {
    d.progress += d.process->readAllStandardOutput();
    qsizetype end;
    while ((end = d.progress.indexOf('\n')) >= 0) {
        const QByteArray line = d.progress.left(end).trimmed();
        d.progress.remove(0, end + 1);
        if (!line.startsWith("out_time_us=") || !status_)
            continue;
        const double done = std::max(0.0, line.mid(12).toDouble() / 1e6);
        const QString name = QFileInfo(d.output).fileName();
        if (d.duration > 0)
            status_(QStringLiteral("正在下载流 %1：%2 / %3（%4%）")
                        .arg(name, clock(done), clock(d.duration))
                        .arg(std::min(100, static_cast<int>(done * 100 / d.duration))));
        else
            status_(QStringLiteral("正在下载流 %1：已下载 %2").arg(name, clock(done)));
    }
    if (d.progress.size() > 4096) // no line ends: not ffmpeg's progress
        d.progress.clear();
}

void StreamDownloads::finished(Download& d, bool crashed) {
    readProgress(d);
    const bool saved = !crashed && d.process->exitCode() == 0;
    const bool stopped = d.stopping;
    const QString output = d.output;
    QStringList lines = QString::fromUtf8(d.messages).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > kLastLines)
        lines = lines.mid(lines.size() - kLastLines);
    const QString program = QFileInfo(d.process->program()).fileName();
    remove(d);
    emit Finished(output, saved);
    if (saved) {
        if (status_)
            status_(QStringLiteral("流已保存到 %1").arg(output));
        return;
    }
    if (stopped)
        return;
    if (status_)
        status_(QString());
    Dialogs::Message(boxParent_, QMessageBox::Critical, ProductInfo::AppTitle(),
                     QStringLiteral("%1 未能保存流“%2”。\n\n%1 最后的输出：\n%3")
                         .arg(program, output, lines.isEmpty() ? QStringLiteral("（无）") : lines.join(QLatin1Char('\n'))));
}

void StreamDownloads::remove(Download& d) {
    d.process->disconnect(this);
    d.process->deleteLater();
    std::erase_if(downloads_, [&d](const std::unique_ptr<Download>& each) { return each.get() == &d; });
}

bool StreamDownloads::ConfirmQuit() {
    if (downloads_.empty())
        return true;
    const auto answer = Dialogs::Choice(
        boxParent_, QMessageBox::Question, ProductInfo::AppTitle(),
        QStringLiteral("还有 %1 个流正在下载。退出将停止下载，已下载的部分保留在文件里。\n\n仍要退出吗？").arg(downloads_.size()),
        {{QMessageBox::Yes, QStringLiteral("停止下载并退出")}, {QMessageBox::No, QStringLiteral("继续下载")}});
    if (answer != QMessageBox::Yes)
        return false;
    StopAll();
    return true;
}

void StreamDownloads::StopAll() {
    // SIGTERM: ffmpeg finishes the file it writes, so what was saved plays.
    for (const auto& d : downloads_) {
        d->stopping = true;
        d->process->terminate();
    }
    while (!downloads_.empty()) {
        Download* d = downloads_.front().get();
        QProcess* process = d->process; // outlives d: deleted later
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(1000);
        }
        if (!downloads_.empty() && downloads_.front().get() == d)
            remove(*d); // finished() was not delivered while waiting
    }
}
