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

int cPopupMenu::Popup(const QStringList& items, const QList<int>& checked) {
    static const QString kSubmenuMark = QStringLiteral(" ▸");
    const QPoint at = QCursor::pos();
    QMenu menu(QApplication::activeWindow());
    QMenu* submenu = nullptr;
    QList<QAction*> entries;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const bool inSubmenu = items[i].startsWith(QLatin1Char('\t')) && submenu;
        if (!inSubmenu)
            submenu = nullptr;
        const QString trimmed = items[i].trimmed();
        if (trimmed.isEmpty())
            continue;
        QMenu& into = inSubmenu ? *submenu : menu;
        QAction* action;
        if (trimmed == QLatin1String("-")) {
            action = into.addSeparator();
        } else if (!inSubmenu && items[i].endsWith(kSubmenuMark)) {
            submenu = menu.addMenu(items[i].chopped(kSubmenuMark.size()));
            action = submenu->menuAction();
        } else {
            action = into.addAction(inSubmenu ? items[i].mid(1) : items[i]);
        }
        if (checked.contains(int(i + 1))) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        action->setData(int(i + 1));
        entries << action;
    }

    QAction* chosen = hookSlot() ? hookSlot()(menu) : menu.exec(at);
    // The entry's own text, so skipped entries never shift it onto a neighbour.
    if (chosen == nullptr || !entries.contains(chosen) || chosen->menu()) {
        selMenuString_.clear();
        return 0;
    }
    selMenuString_ = chosen->isSeparator() ? QString() : chosen->text().trimmed();
    return chosen->data().toInt();
}
