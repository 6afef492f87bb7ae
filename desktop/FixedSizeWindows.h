#pragma once
// Windows of a fixed size (the about box, message boxes) do not stay maximised. On Wayland, Qt draws the
// title bar itself and its maximise button ignores the window's hints; a fixed-size window cannot take the
// compositor's maximised size, and weston ends the whole connection with a protocol error ("xdg_surface
// geometry does not match the configured maximized state"), losing the list and the capture. Such a window
// may grow to the maximised size for a moment and is then put back.

#include <QObject>

class QApplication;
class QWidget;

class FixedSizeWindows final : public QObject {
    Q_OBJECT

public:
    // Watches every window the application shows from now on.
    static void Install(QApplication& app);

    // Whether `window` has a fixed size: its smallest and largest sizes are the same.
    static bool IsFixed(const QWidget& window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit FixedSizeWindows(QObject* parent) : QObject(parent) {}
};
