#pragma once
// Opening saved captures (pcap, pcapng) in the window: "velmora FILE..." and the about/help menu's
// "打开捕获文件…". The files go through the same frame path as a live capture, as a capture run of
// their own: the list, ResultCount and the packet store start again. While they are read the capture
// button reads "停止嗅探" and a click on it ends the reading; the status bar shows the progress.
//
#include <QObject>
#include <QStringList>

#include <functional>

class HttpsCapture;
class QAbstractButton;
class QTimer;
class ResultListModel;
class StatusPanels;

namespace velmora {
class CaptureComponent;
}

class CaptureFileOpener final : public QObject {
    Q_OBJECT

public:
    static QString FileFilter();
    // The files named on a command line (arguments()[1..]), leaving out options ("--name" and what
    // the ones that take a value take).
    static QStringList FileArguments(const QStringList& arguments);

    // What it works with; all of it outlives this object.
    struct Parts {
        velmora::CaptureComponent& component; // the window's own: files are read as a capture is
        ResultListModel* rows;
        HttpsCapture* https;
        StatusPanels* status;
        QAbstractButton* captureButton;    // Cmd1(0)
        std::function<bool()> isCapturing; // a capture or another file runs
        std::function<void()> resetCaptureState;
        std::function<void()> showNewRows;
    };

    // `window` owns this and the boxes it shows.
    CaptureFileOpener(Parts parts, QWidget* window);

    // The menu entry: a file dialog, then Open.
    void ChooseAndOpen();
    // Reads `paths` in order as one run. Refused (a box) while a capture or another file runs.
    bool Open(const QStringList& paths);
    bool IsReading() const { return reading_; }

signals:
    // The run is over: read to its end, cut short by the user, or stopped by damage.
    void Finished();

private:
    void poll();
    void finish(bool cutShort);
    void showProgress();

    Parts parts_;
    QWidget* window_;
    QTimer* poll_;
    QStringList paths_;
    bool reading_ = false;
    QString lastFile_; // the dialog starts where it was last used
};
