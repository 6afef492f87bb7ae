#pragma once
// What the result list's menu offers for a stream row or an audio/video pair: "清晰度 ▸" (the
// renditions, highest first, the played ones marked, the chosen one checked), "下载流 (ffmpeg)" and
// "复制 ffmpeg 命令". Streams and pairs go to the stream command ([Download] StreamCommand) whatever
// the download method says; it runs as this program's child (StreamDownloads) and writes a new file
// in the user's download folder.

#include "capture/RequestHeaders.h"
#include "desktop/CommandTemplate.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class ResultListModel;
class StreamDownloads;
class QWidget;

namespace velmora {
class CaptureEngine;
class SettingsFile;
} // namespace velmora

class StreamActions final : public QObject {
    Q_OBJECT

public:
    using RowHeaders = std::function<velmora::RequestHeaders(int row)>;
    using StatusSink = std::function<void(const QString& message)>;

    StreamActions(velmora::CaptureEngine& engine, ResultListModel& rows, velmora::SettingsFile& settings,
                  RowHeaders headers, QWidget* window, StatusSink status);

    // Whether `row` is a stream or one of a pair.
    bool Handles(int row) const;
    // The menu entries for `row` (cPopupMenu's form), and those to check, numbered from 1 in them.
    QStringList MenuEntries(int row, QList<int>& checked) const;
    // The entry numbered `entry` (from 1) of MenuEntries was chosen.
    void Chosen(int row, int entry);

    // Saves the row's stream or pair with the stream command.
    void Download(int row);
    // The command Download would run, quoted for a shell, to paste into a terminal.
    std::optional<QString> CommandText(int row) const;

    StreamDownloads* downloads() const { return downloads_; }

private:
    struct Prepared {
        CommandLine line;
        QString output;
        double duration = 0;
        bool drm = false;
    };
    std::optional<Prepared> prepare(int row, QString* reason) const;

    velmora::CaptureEngine& engine_;
    ResultListModel& rows_;
    velmora::SettingsFile& settings_;
    RowHeaders headers_;
    QWidget* window_;
    StatusSink status_;
    StreamDownloads* downloads_;
    QHash<QString, int> chosenRendition_; // by stream address; absent: the highest
};
