#include "mainwindow/CaptureFileOpener.h"

#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/HttpsCapture.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>

namespace {

const QString kStartCaption = QStringLiteral("开始嗅探");
const QString kStopCaption = QStringLiteral("停止嗅探");
constexpr int kPollMs = 200;

} // namespace

QString CaptureFileOpener::FileFilter() {
    return QStringLiteral("捕获文件 (*.pcap *.pcapng);;所有文件 (*)");
}

QStringList CaptureFileOpener::FileArguments(const QStringList& arguments) {
    static const QStringList withValue{QStringLiteral("--screenshot")};
    QStringList files;
    bool onlyFiles = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!onlyFiles && argument == QLatin1String("--"))
            onlyFiles = true;
        else if (!onlyFiles && argument.startsWith(QLatin1String("--")))
            i += withValue.contains(argument) ? 1 : 0;
        else
            files << argument;
    }
    return files;
}

CaptureFileOpener::CaptureFileOpener(Parts parts, QWidget* window)
    : QObject(window), parts_(std::move(parts)), window_(window), poll_(new QTimer(this)) {
    setObjectName(QStringLiteral("CaptureFileOpener"));
    poll_->setInterval(kPollMs);
    connect(poll_, &QTimer::timeout, this, &CaptureFileOpener::poll);
    // The window stops the component on the click first (its handler was connected before), then this
    // sees the caption.
    connect(parts_.captureButton, &QAbstractButton::clicked, this, [this] {
        if (reading_)
            finish(true);
    });
}

void CaptureFileOpener::ChooseAndOpen() {
    if (parts_.isCapturing()) {
        Open({}); // says why not
        return;
    }
    const std::optional<QString> chosen =
        Dialogs::OpenFileName(window_, QStringLiteral("打开捕获文件"), lastFile_, FileFilter());
    if (!chosen || chosen->isEmpty())
        return;
    lastFile_ = *chosen;
    Open({*chosen});
}

bool CaptureFileOpener::Open(const QStringList& paths) {
    if (parts_.isCapturing()) {
        Dialogs::Message(window_, QMessageBox::Critical, QStringLiteral("错误"),
                         QStringLiteral("正在嗅探，要打开捕获文件先停止嗅探！"));
        return false;
    }
    if (paths.isEmpty())
        return false;
    velmora::CaptureComponent& component = parts_.component;
    std::vector<std::string> files;
    for (const QString& path : paths)
        files.push_back(QFile::encodeName(path).toStdString());
    velmora::CaptureResult opened = component.OpenFiles(files);
    if (opened) {
        // The run starts as a capture does; the earlier rows stay when the files cannot be read at all.
        parts_.resetCaptureState();
        opened = component.StartCapture();
    }
    if (!opened) {
        component.CloseAdapter();
        Dialogs::Message(
            window_, QMessageBox::Critical, QStringLiteral("无法打开捕获文件"),
            QStringLiteral("无法读取捕获文件，列表没有改变。\n\n原因：%1").arg(QString::fromStdString(opened.message)));
        return false;
    }
    paths_ = paths;
    reading_ = true;
    parts_.captureButton->setText(kStopCaption);
    parts_.status->SetPanelText(1, QStringLiteral("状态：读取捕获文件"));
    showProgress();
    poll_->start();
    return true;
}

void CaptureFileOpener::poll() {
    if (!reading_)
        return;
    velmora::CaptureComponent& component = parts_.component;
    // The keyword search stops the component itself: the run is over then too.
    if (!component.IsOpen()) {
        finish(true);
        return;
    }
    showProgress();
    if (component.Finished())
        finish(false);
}

void CaptureFileOpener::showProgress() {
    const velmora::CaptureComponent& component = parts_.component;
    const velmora::FileProgress progress = component.ReadProgress();
    const QString frames = QString::number(component.Stats().delivered);
    QString text =
        progress.bytesTotal > 0
            ? QStringLiteral("读取中 %1%，已处理 %2 帧").arg(progress.bytesRead * 100 / progress.bytesTotal).arg(frames)
            : QStringLiteral("读取中，已处理 %1 帧").arg(frames);
    parts_.status->CapturePanel()->setText(text);
}

void CaptureFileOpener::finish(bool cutShort) {
    reading_ = false;
    poll_->stop();
    velmora::CaptureComponent& component = parts_.component;
    const std::optional<velmora::FileDamage> damage = cutShort ? std::nullopt : component.Damage();
    const velmora::CaptureResult end = component.EndResult();
    const std::uint64_t frames = component.Stats().delivered;
    component.StopCapture();
    component.CloseAdapter();
    parts_.showNewRows();
    parts_.https->CaptureEnded();
    parts_.captureButton->setText(kStartCaption);
    parts_.status->SetPanelText(1, cutShort ? QStringLiteral("状态：读取中止") : QStringLiteral("状态：读取完毕"));
    const HttpsCapture::Figures figures = parts_.https->FiguresText();
    const QString file = QStringLiteral("捕获文件：%1 帧，%2 个地址").arg(frames).arg(parts_.rows->ResultCount());
    parts_.status->ShowFigures(QStringLiteral("%1 帧 · %2 个地址").arg(frames).arg(parts_.rows->ResultCount()) +
                                   figures.brief,
                               figures.detail.isEmpty() ? file : file + QLatin1Char('\n') + figures.detail);
    emit Finished();
    if (damage) {
        Dialogs::Message(
            window_, QMessageBox::Critical, QStringLiteral("捕获文件已损坏"),
            QStringLiteral("捕获文件“%1”在第 %2 帧损坏，读取到此为止。之前各帧找到的地址仍在列表中。\n\n原因：%3")
                .arg(QFile::decodeName(QByteArray::fromStdString(damage->path)))
                .arg(damage->frame)
                .arg(QString::fromStdString(damage->reason)));
    } else if (!cutShort && !end) {
        Dialogs::Message(window_, QMessageBox::Critical, QStringLiteral("无法读取捕获文件"),
                         QStringLiteral("读取捕获文件失败。之前找到的地址仍在列表中。\n\n原因：%1")
                             .arg(QString::fromStdString(end.message)));
    }
}
