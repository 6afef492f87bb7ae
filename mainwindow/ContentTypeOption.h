#pragma once
// The options tab's switch "按服务器回应的媒体类型识别": whether an address the file-type table does not
// name by its extension is listed when the server answers it with a monitored media type. Kept in
// "[FileType] ByContentType" and handed to the engine at once. Attached to the main window with one line.

#include <QObject>

class Form1;

namespace velmora {
class xpcheckbox;
}

class ContentTypeOption final : public QObject {
    Q_OBJECT

public:
    explicit ContentTypeOption(Form1* form);
    velmora::xpcheckbox* CheckBox() const { return check_; }

private:
    void changed();

    Form1* form_;
    velmora::xpcheckbox* check_ = nullptr;
};
