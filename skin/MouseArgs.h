#pragma once

#include <QKeyEvent>
#include <QMouseEvent>

namespace velmora {

// The skinned controls report mouse and key events with the classic arguments: Button 1 left, 2 right,
// 4 middle (for a move, the buttons held); Shift 1 shift, 2 ctrl, 4 alt; X and Y in pixels.
inline int mouseButtonArg(Qt::MouseButtons buttons) {
    return (buttons & Qt::LeftButton ? 1 : 0) | (buttons & Qt::RightButton ? 2 : 0) |
           (buttons & Qt::MiddleButton ? 4 : 0);
}

inline int shiftArg(Qt::KeyboardModifiers modifiers) {
    return (modifiers & Qt::ShiftModifier ? 1 : 0) | (modifiers & Qt::ControlModifier ? 2 : 0) |
           (modifiers & Qt::AltModifier ? 4 : 0);
}

// Press and release name the button that changed; a move names the buttons held.
inline int mouseButtonArg(const QMouseEvent* e) {
    return e->type() == QEvent::MouseMove ? mouseButtonArg(e->buttons()) : mouseButtonArg(e->button());
}

// The character a key press types, 0 when it types none.
inline int keyAsciiArg(const QKeyEvent* e) {
    return e->text().isEmpty() ? 0 : int(e->text().at(0).unicode());
}

} // namespace velmora
