#include "desktop/FixedSizeWindows.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>

void FixedSizeWindows::Install(QApplication& app) {
    app.installEventFilter(new FixedSizeWindows(&app));
}

bool FixedSizeWindows::IsFixed(const QWidget& window) {
    return window.minimumSize() == window.maximumSize();
}

bool FixedSizeWindows::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Show || !watched->isWidgetType())
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    QWindow* window = widget->isWindow() ? widget->windowHandle() : nullptr;
    if (!window || window->property("velmoraFixedSizeWatched").toBool())
        return false;
    window->setProperty("velmoraFixedSizeWatched", true);
    const QPointer<QWidget> guarded(widget);
    // The request has gone out by the time the window hears of it, and the compositor will configure the
    // window maximised: its largest size is lifted so that configuration is followed (a surface that does
    // not take the size is a protocol error), and the normal state is asked for right after. Qt drops a
    // request for the state the compositor last set, so it is asked for again whenever the maximised
    // state comes back from the compositor.
    connect(window, &QWindow::windowStateChanged, this, [guarded, window](Qt::WindowState state) {
        if (state != Qt::WindowMaximized || !guarded ||
            !(IsFixed(*guarded) || guarded->property("velmoraMaximiseRefused").toBool()))
            return;
        guarded->setProperty("velmoraMaximiseRefused", true);
        guarded->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        QTimer::singleShot(0, guarded, [window] {
            window->setWindowStates(window->windowStates() & ~Qt::WindowMaximized);
        });
    });
    return false;
}
