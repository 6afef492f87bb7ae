#pragma once
// The download command's hand-off when the options choose aria2 or a command of the user's instead of
// the download manager "影音传送带": the row's address, with the Referer, User-Agent and Cookie of the
// request it came from, goes to aria2 over JSON-RPC or into the user's command. Success shows in the
// status bar; a failure in a box, with the address still on the clipboard.

#include "capture/RequestHeaders.h"
#include "settings/DownloadSettings.h"

#include <QObject>

class Aria2Client;
class ResultListModel;
class StatusPanels;

namespace velmora {
class CaptureEngine;
}

class DownloadHandOff final : public QObject {
    Q_OBJECT

public:
    // `window` owns the boxes it shows.
    DownloadHandOff(const velmora::CaptureEngine& engine, ResultListModel* rows, StatusPanels* status, QWidget* window,
                    QObject* parent = nullptr);

    // Hands the address of result row `row` on by `settings.method` (Aria2 or Command).
    void HandOff(int row, const velmora::DownloadSettings& settings);

    Aria2Client* aria2() const { return aria2_; }

private:
    void toAria2(const QString& address, const velmora::RequestHeaders& headers,
                 const velmora::DownloadSettings& settings);
    void toCommand(const QString& address, const velmora::RequestHeaders& headers, const std::string& command);
    void fail(const QString& reason);
    void showStatus(const QString& text);

    const velmora::CaptureEngine& engine_;
    ResultListModel* rows_;
    StatusPanels* status_;
    QWidget* window_;
    Aria2Client* aria2_;
};
