#include "desktop/cPopupMenu.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QMenu>

namespace {
cPopupMenu::Hook& hookSlot() {
    static cPopupMenu::Hook hook;
    return hook;
}
} // namespace

void cPopupMenu::SetHook(Hook hook) {
    hookSlot() = std::move(hook);
}

int cPopupMenu::Popup(const QStringList& items) {
    const QPoint at = QCursor::pos();
    QMenu menu(QApplication::activeWindow());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString trimmed = items[i].trimmed();
        if (trimmed.isEmpty())
            continue;
        QAction* action = trimmed == QLatin1String("-") ? menu.addSeparator() : menu.addAction(items[i]);
        action->setData(int(i + 1));
    }

    QAction* chosen = hookSlot() ? hookSlot()(menu) : menu.exec(at);
    // The entry's own text, so skipped entries never shift it onto a neighbour.
    if (chosen == nullptr || !menu.actions().contains(chosen)) {
        selMenuString_.clear();
        return 0;
    }
    selMenuString_ = chosen->isSeparator() ? QString() : chosen->text().trimmed();
    return chosen->data().toInt();
}
