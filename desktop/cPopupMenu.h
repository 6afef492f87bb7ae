#pragma once
// A context menu built on the spot from a list of texts: Popup shows it at the mouse cursor, waits
// for the choice and returns the chosen entry's number (its index in the list plus one), 0 when the
// menu is dismissed. An entry of spaces only is left out but keeps its number; "-" is a separator.
// Either mouse button chooses (QMenu triggers on the release of either). An entry ending in " ▸" opens a
// submenu of the entries after it that begin with a tab; `checked` entries show a check mark.

#include <QString>
#include <QStringList>

#include <functional>

class QAction;
class QMenu;

class cPopupMenu final {
public:
    // Tests only: instead of running the menu, Popup hands the built menu to the hook, which returns
    // the action to choose (nullptr to dismiss). An empty hook restores the real menu.
    using Hook = std::function<QAction*(QMenu& menu)>;

    int Popup(const QStringList& items, const QList<int>& checked = {});
    // The chosen entry's text, trimmed; empty before the first Popup and after a dismissed menu.
    QString SelMenuString() const { return selMenuString_; }

    static void SetHook(Hook hook);

private:
    QString selMenuString_;
};
