#include "mainwindow/OptionsColumn.h"

#include <QBoxLayout>
#include <QWidget>

namespace {

QBoxLayout* holding(QLayout* layout, QWidget* widget) {
    if (!layout)
        return nullptr;
    if (layout->indexOf(widget) >= 0)
        return qobject_cast<QBoxLayout*>(layout);
    for (int i = 0; i < layout->count(); ++i)
        if (QBoxLayout* found = holding(layout->itemAt(i)->layout(), widget))
            return found;
    return nullptr;
}

} // namespace

QBoxLayout* ColumnHolding(QWidget* member) {
    return member && member->parentWidget() ? holding(member->parentWidget()->layout(), member) : nullptr;
}
