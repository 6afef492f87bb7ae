#pragma once
// X11WindowDriver over Xlib and XTest, on a connection of its own. Titles are read from _NET_WM_NAME
// (UTF-8), falling back to WM_NAME, and compared exactly. Every request runs under an X error
// handler, so a window that vanishes midway gives "not found" instead of ending the program.

#include "desktop/X11WindowDriver.h"

#include <memory>

struct _XDisplay;

class X11XlibWindowDriver final : public X11WindowDriver {
public:
    // Nothing when no X display can be opened (no DISPLAY, Wayland without XWayland) or the server
    // lacks the XTest extension.
    static std::unique_ptr<X11XlibWindowDriver> Open();
    ~X11XlibWindowDriver() override;

    std::optional<WindowId> FindWindowByTitle(const QString& title) override;
    void ShowMaximizedOnTop(WindowId window) override;
    bool IsShownMaximized(WindowId window) override;
    std::optional<QRect> WindowRect(WindowId window) override;
    void MoveCursor(QPoint screenPoint) override;
    void LeftClick() override;
    void PasteKeystroke() override;

    // The title as the search reads it; nothing when the window has none or is gone.
    std::optional<QString> WindowTitle(WindowId window);

private:
    struct Atoms;
    explicit X11XlibWindowDriver(_XDisplay* display);

    bool hasEwmhWindowManager();
    long wmState(WindowId window);

    _XDisplay* display_;
    std::unique_ptr<Atoms> atoms_;
};
