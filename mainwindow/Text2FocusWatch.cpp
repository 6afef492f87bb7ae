#include "mainwindow/Text2FocusWatch.h"

#include <QApplication>
#include <QLineEdit>

Text2FocusWatch::Text2FocusWatch(QLineEdit* text2, std::function<void()> check, QObject* parent)
    : QObject(parent), text2_(text2), check_(std::move(check)) {
    connect(text2_, &QLineEdit::textEdited, this, [this] { pending_ = true; });
    // Focus moving between widgets of the program. Deactivation reports no new widget, and a popup
    // without a focus widget of its own takes the keyboard without moving the focus.
    connect(qApp, &QApplication::focusChanged, this, &Text2FocusWatch::focusChanged);
}

void Text2FocusWatch::CheckPending() {
    if (pending_)
        check();
}

void Text2FocusWatch::focusChanged(QWidget* old, QWidget* now) {
    if (old == text2_ && now != nullptr && now != text2_)
        check();
}

void Text2FocusWatch::check() {
    pending_ = false;
    check_();
}
