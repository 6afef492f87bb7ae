#pragma once
// The main window's icon in the notification area. The window's close button only hides it, so the
// icon is the way back: a left click restores and shows the window, a right click thanks the user.
// Qt reports the clicks as activations (QSystemTrayIcon::Trigger for the left button, Context for the
// right one), which stand for the button releases the window procedure used to watch for.

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

class QWidget;

class TrayIcon final : public QObject {
    Q_OBJECT

public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    // Shows the icon for `window` (its window icon, or the program's).
    void AddTrayIcon(QWidget* window);
    void SetTrayTip(const QString& tip);
    void RemoveTrayIcon();

    bool IsInstalled() const { return icon_ != nullptr; }
    QSystemTrayIcon* Icon() const { return icon_; }
    QString Tip() const;

    // What each kind of activation does; public so a test can act as the tray host would.
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void LeftButtonUp();
    void RightButtonUp();

    static QString ThankYouMessage();

signals:
    // After the window was restored by a left click.
    void WindowRestored();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> window_;
    QSystemTrayIcon* icon_ = nullptr;
    // Wayland: the window was minimised and has not been brought back since. xdg-shell has no minimised
    // state to report, so Qt 6.4 clears it at once and isMinimized() says false while nothing shows.
    bool minimisedUnseen_ = false;
};
