#pragma once
// The few window operations the hand-off to the download manager needs, as a small interface so the
// sequence can be tested against a fake where a real X server cannot produce the fault on demand
// (a window that vanishes between being found and being measured).

#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>

class X11WindowDriver {
public:
    using WindowId = unsigned long;

    virtual ~X11WindowDriver() = default;

    // One search among the top-level windows (normal or minimised) for a title equal to `title`.
    virtual std::optional<WindowId> FindWindowByTitle(const QString& title) = 0;
    // Asks for the window to be shown maximised, on top, and active.
    virtual void ShowMaximizedOnTop(WindowId window) = 0;
    // Whether the request above has taken effect (the window manager works asynchronously).
    virtual bool IsShownMaximized(WindowId window) = 0;
    // The window's outer rectangle (frame included) in screen pixels, or nothing when it is gone.
    virtual std::optional<QRect> WindowRect(WindowId window) = 0;
    virtual void MoveCursor(QPoint screenPoint) = 0;
    // Left button press then release at the cursor.
    virtual void LeftClick() = 0;
    // Ctrl down, V down, V up, Ctrl up; every key pressed is released.
    virtual void PasteKeystroke() = 0;
};
