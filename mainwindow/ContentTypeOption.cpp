#include "mainwindow/ContentTypeOption.h"

#include "engine/CaptureEngine.h"
#include "mainwindow/OptionsColumn.h"
#include "settings/FileTypeSettings.h"
#include "skin/xpcheckbox.h"

#include <QLayout>
#include <QVBoxLayout>

ContentTypeOption::ContentTypeOption(velmora::CaptureEngine& engine, velmora::SettingsFile& settings, QWidget* page,
                                     QWidget* above, QObject* parent)
    : QObject(parent), engine_(engine), settings_(settings) {
    check_ = new velmora::xpcheckbox(QStringLiteral("按服务器回应的媒体类型识别"), page);
    check_->setObjectName(QStringLiteral("ByContentType"));
    check_->setToolTip(QStringLiteral("地址没有受监视的扩展名时，服务器以受监视的媒体类型（Content-Type）"
                                      "回应也列出，并显示文件大小"));
    const bool on = velmora::ReadByContentType(settings_);
    check_->setValue(on ? 1 : 0);
    engine_.SetListByContentType(on);
    engine_.SetReadStreams(velmora::ReadStreams(settings_)); // "[FileType] Streams", no switch of its own
    // Right under "中文文本处理", in the column of the check boxes.
    if (QBoxLayout* column = ColumnHolding(above))
        column->insertWidget(column->indexOf(above) + 1, check_);
    connect(check_, &velmora::xpcheckbox::propertyChanged, this, [this](const QString& key) {
        if (key == QLatin1String("Value"))
            changed();
    });
}

void ContentTypeOption::changed() {
    const bool on = check_->Value() == 1;
    engine_.SetListByContentType(on);
    engine_.SetReadStreams(velmora::ReadStreams(settings_)); // "[FileType] Streams", no switch of its own
    velmora::WriteByContentType(settings_, on);
}
