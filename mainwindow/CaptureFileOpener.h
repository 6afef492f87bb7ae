#pragma once
// Opening saved captures (pcap, pcapng) in the window: "velmora FILE..." and the about/help menu's
// "打开捕获文件…". The files go through the same frame path as a live capture, as a capture run of
// their own: the list, ResultCount and the packet store start again. While they are read the capture
// button reads "停止嗅探" and a click on it ends the reading; the status bar shows the progress.
//
// Attached to the main window with one line.

#include <QObject>
#include <QStringList>

class Form1;
class QTimer;

class CaptureFileOpener final : public QObject {
    Q_OBJECT

public:
    static QString FileFilter();
    // The files named on a command line (arguments()[1..]), leaving out options ("--name" and what
    // the ones that take a value take).
    static QStringList FileArguments(const QStringList& arguments);

    explicit CaptureFileOpener(Form1* form);

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

    Form1* form_;
    QTimer* poll_;
    QStringList paths_;
    bool reading_ = false;
    QString lastFile_; // the dialog starts where it was last used
};
