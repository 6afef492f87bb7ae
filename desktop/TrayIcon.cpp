#include "desktop/TrayIcon.h"

#include "mainwindow/Dialogs.h"
#include "mainwindow/ProductInfo.h"

#include <QGuiApplication>
#include <QIcon>
#include <QWidget>

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {}

TrayIcon::~TrayIcon() {
    RemoveTrayIcon();
}

void TrayIcon::AddTrayIcon(QWidget* window) {
    if (window_)
        window_->removeEventFilter(this);
    window_ = window;
    if (window)
        window->installEventFilter(this);
    if (!icon_) {
        icon_ = new QSystemTrayIcon(this);
        connect(icon_, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
    }
    QIcon icon = window ? window->windowIcon() : QIcon();
    if (icon.isNull())
        icon = QIcon(QStringLiteral(":/icons/velmora-64.png"));
    icon_->setIcon(icon);
    icon_->show();
}

void TrayIcon::SetTrayTip(const QString& tip) {
    if (icon_)
        icon_->setToolTip(tip.left(63)); // the tip field held 63 characters and a NUL
}

void TrayIcon::RemoveTrayIcon() {
    if (!icon_)
        return;
    icon_->hide();
    delete icon_;
    icon_ = nullptr;
}

QString TrayIcon::Tip() const {
    return icon_ ? icon_->toolTip() : QString();
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        LeftButtonUp();
        break;
    case QSystemTrayIcon::Context:
        RightButtonUp();
        break;
    default:
        break; // double and middle clicks do nothing
    }
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        if (event->type() == QEvent::WindowStateChange && window_->isMinimized())
            minimisedUnseen_ = true;
        // Brought back by the desktop, or hidden to the tray (minimising itself hides the window spontaneously).
        else if (event->type() == QEvent::WindowActivate || (event->type() == QEvent::Hide && !event->spontaneous()))
            minimisedUnseen_ = false;
    }
    return false;
}

void TrayIcon::LeftButtonUp() {
    if (!window_)
        return;
    const bool wayland = QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    if (window_->isMinimized() || (wayland && minimisedUnseen_)) {
        const Qt::WindowStates normal = window_->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
        if (wayland) {
            // A Wayland client cannot un-minimise itself: clearing the state changes nothing on screen. A
            // window mapped anew comes back in the normal state.
            window_->hide();
            window_->setWindowState(normal);
        } else {
            window_->setWindowState(normal);
        }
    }
    if (window_->isHidden())
        window_->show();
    // No activation request: a window manager that handles it late would map the window again after a
    // later hide.
    emit WindowRestored();
}

void TrayIcon::RightButtonUp() {
    Dialogs::Message(nullptr, QMessageBox::NoIcon, ProductInfo::AppTitle(), ThankYouMessage());
}

QString TrayIcon::ThankYouMessage() {
    return QStringLiteral("谢谢你使用VelmoraV3.0。更多信息请访问") + ProductInfo::MakerWebAddress();
}
