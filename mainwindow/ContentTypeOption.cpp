#include "mainwindow/ContentTypeOption.h"

#include "mainwindow/Form1.h"
#include "settings/FileTypeSettings.h"
#include "skin/xpcheckbox.h"

#include <QLayout>
#include <QVBoxLayout>

ContentTypeOption::ContentTypeOption(Form1* form) : QObject(form), form_(form) {
    QWidget* page = form_->Frame1(1);
    check_ = new velmora::xpcheckbox(QStringLiteral("按服务器回应的媒体类型识别"), page);
    check_->setObjectName(QStringLiteral("ByContentType"));
    check_->setToolTip(QStringLiteral("地址没有受监视的扩展名时，服务器以受监视的媒体类型（Content-Type）"
                                      "回应也列出，并显示文件大小"));
    const bool on = velmora::ReadByContentType(form_->settings());
    check_->setValue(on ? 1 : 0);
    form_->engine().SetListByContentType(on);
    form_->engine().SetReadStreams(velmora::ReadStreams(form_->settings())); // "[FileType] Streams", no switch of its own
    // Right under "中文文本处理", in the column of the check boxes.
    QLayout* columns = page->layout();
    for (int i = 0; columns && i < columns->count(); ++i) {
        auto* column = qobject_cast<QVBoxLayout*>(columns->itemAt(i)->layout());
        if (const int at = column ? column->indexOf(form_->Chk2()) : -1; at >= 0) {
            column->insertWidget(at + 1, check_);
            break;
        }
    }
    connect(check_, &velmora::xpcheckbox::propertyChanged, this, [this](const QString& key) {
        if (key == QLatin1String("Value"))
            changed();
    });
}

void ContentTypeOption::changed() {
    const bool on = check_->Value() == 1;
    form_->engine().SetListByContentType(on);
    form_->engine().SetReadStreams(velmora::ReadStreams(form_->settings())); // "[FileType] Streams", no switch of its own
    velmora::WriteByContentType(form_->settings(), on);
}
