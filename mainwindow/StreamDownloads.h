#pragma once
// Streams being saved by the stream command (ffmpeg), run as this program's children. ffmpeg reports
// its progress on a pipe (-progress pipe:1), shown in the status bar as time done against the
// stream's duration; a failure shows ffmpeg's last lines in a box. Quitting with downloads running
// asks first, and stops them so ffmpeg closes its files.

#include "desktop/CommandTemplate.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QProcess;
class QWidget;

class StreamDownloads final : public QObject {
    Q_OBJECT

public:
    using StatusSink = std::function<void(const QString& message)>;

    StreamDownloads(QWidget* boxParent, StatusSink status, QObject* parent = nullptr);
    ~StreamDownloads() override;

    // Runs `line`, which writes `output`; `duration` in seconds (0 when unknown). A program that cannot
    // be started is said in a box.
    void Start(CommandLine line, const QString& output, double duration);
    int Running() const;
    // When downloads run: asks whether to stop them, and stops them when the user agrees. True when the
    // program may quit.
    bool ConfirmQuit();
    // Stops every download, giving ffmpeg a moment to close its file.
    void StopAll();

signals:
    void Finished(const QString& output, bool saved);

private:
    struct Download;
    void readProgress(Download& download);
    void finished(Download& download, bool crashed);
    void remove(Download& download);

    QWidget* boxParent_;
    StatusSink status_;
    std::vector<std::unique_ptr<Download>> downloads_;
};
