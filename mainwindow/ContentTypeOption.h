#pragma once
// The options tab's switch "按服务器回应的媒体类型识别": whether an address the file-type table does not
// name by its extension is listed when the server answers it with a monitored media type. Kept in
// "[FileType] ByContentType" and handed to the engine at once.

#include <QObject>

class QWidget;

namespace velmora {
class CaptureEngine;
class SettingsFile;
class xpcheckbox;
} // namespace velmora

class ContentTypeOption final : public QObject {
    Q_OBJECT

public:
    // The switch goes on the options page `page`, right under `above` in the same column.
    ContentTypeOption(velmora::CaptureEngine& engine, velmora::SettingsFile& settings, QWidget* page, QWidget* above,
                      QObject* parent);
    velmora::xpcheckbox* CheckBox() const { return check_; }

private:
    void changed();

    velmora::CaptureEngine& engine_;
    velmora::SettingsFile& settings_;
    velmora::xpcheckbox* check_ = nullptr;
};
