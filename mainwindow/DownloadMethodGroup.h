#pragma once
// "★ 下载方式" on the options page, under the download manager's path Text5: how the download
// command hands an address on, with the fields of the chosen method only. Every change is written to
// section "Download" at once; the download command reads the fields themselves, as it reads Text5.

#include "settings/DownloadSettings.h"

#include <QWidget>

class QComboBox;
class QLineEdit;

namespace velmora {
class SettingsFile;
}

class DownloadMethodGroup final : public QWidget {
    Q_OBJECT

public:
    // The choices, in the order of the stored Method numbers.
    static QStringList MethodNames();

    // Placed on `optionsPage` right under `downloaderPath` (Text5); `settings` must already name its file.
    DownloadMethodGroup(velmora::SettingsFile& settings, QWidget* optionsPage, QLineEdit* downloaderPath);

    // The values the fields hold now.
    velmora::DownloadSettings Current() const;

    QComboBox* Method() const { return method_; }
    QLineEdit* Aria2Url() const { return aria2Url_; }
    QLineEdit* Aria2Secret() const { return aria2Secret_; }
    QLineEdit* Command() const { return command_; }
    QLineEdit* StreamCommand() const { return streamCommand_; }

private:
    void showFieldsOf(int method);

    QComboBox* method_ = nullptr;
    QWidget* aria2Fields_ = nullptr;
    QLineEdit* aria2Url_ = nullptr;
    QLineEdit* aria2Secret_ = nullptr;
    QLineEdit* command_ = nullptr;
    QLineEdit* streamCommand_ = nullptr;
};
