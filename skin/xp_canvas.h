#pragma once

#include "skin/CanvasSkin.h"

#include <QLabel>
#include <QPixmap>
#include <QVariantMap>
#include <QWidget>
#include <array>

namespace velmora {

// The program's own window frame. A frameless top-level window puts one xp_canvas over its whole client area and
// its other controls on the canvas; the canvas paints the title strip (icon, caption with shadow), the left, right
// and bottom borders, drags the window by its title, maximises and restores it on a double-click of the title,
// resizes it by the borders and corners and follows whether the window is active.
// The host calls make_trans after every change of its size to round the top corners. The corners are also left
// unpainted on a see-through host (the canvas makes its parent window so when created with one), which is what a
// compositor shows: on Wayland a window shape only limits input.
class xp_canvas : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)
    Q_PROPERTY(bool Fixed_Single READ Fixed_Single WRITE setFixed_Single)
    Q_PROPERTY(QPixmap Icon READ Icon WRITE setIcon)

public:
    static constexpr int kTitleHeight = 29;
    static constexpr int kBorder = 5;
    static constexpr int kGrip = 9;
    static constexpr quint32 kKeyColour = 0xFF00FF; // magenta, red + 256 x green + 65536 x blue

    // What a border or grip passes on release: which edges of the window follow the pointer.
    enum Direction {
        Left = 0,
        Right = 1,
        Top = 2,
        Bottom = 3,
        BottomRight = 4,
        BottomLeft = 5,
        TopRight = 6,
        TopLeft = 7
    };

    explicit xp_canvas(QWidget* parent = nullptr);

    // Once a move or resize is handed to the window system, the release of the button goes to the window
    // system, not to us (Wayland compositors never send it): Qt would keep the title or border as the
    // widget the pointer is held on, so no other widget hovers and the resize cursor stays. A release is
    // given to `window` at `global` as the drag's end.
    static void EndPointerHold(QWidget* window, QPoint global);

    // Sets both caption labels and the host window's own title.
    QString Caption() const;
    void setCaption(const QString& caption);

    // The icon shown at 16 x 16 on the title; a null icon until set (the built-in icon is shown meanwhile).
    QPixmap Icon() const { return icon_; }
    void setIcon(const QPixmap& icon);

    // When true the window can be neither resized nor maximised by the user; the title still drags it.
    bool Fixed_Single() const { return fixedSingle_; }
    void setFixed_Single(bool fixed);

    // Recuts HOST's window shape: the key-coloured corner pixels of the title's end caps are cut out while the
    // host is in normal state; otherwise the window stays rectangular.
    void make_trans(QWidget* host);

    // Forces the active look and takes the keyboard focus.
    void SetFocus();

    // Replaces the two picture sets (the shipped ones are used until then) and lays out again.
    void setSkin(const CanvasSkin& active, const CanvasSkin& inactive);
    bool showsActiveSkin() const { return activeSkin_; }

    // Screen positions recorded at the last press and release on a border or grip.
    QPoint drag_start() const { return dragStart_; }
    QPoint drag_end() const { return dragEnd_; }
    // Moves and sizes the host in one step by drag_end - drag_start along DIRECTION (0 to 7; others do nothing).
    // Used on release when the window system did not take the resize at the first movement.
    void resize_by_drag(int direction);

    // Persisted properties: "Caption", "Icon", "Fixed_Single". A fresh instance takes its object name as caption.
    void initProperties();
    void readProperties(const QVariantMap& bag);
    QVariantMap writeProperties() const;

signals:
    void Click();
    void DblClick();
    void Resize();
    void KeyDown(int KeyCode, int Shift);
    void KeyPress(int KeyAscii);
    void KeyUp(int KeyCode, int Shift);
    void MouseDown(int Button, int Shift, int X, int Y);
    void MouseMove(int Button, int Shift, int X, int Y);
    void MouseUp(int Button, int Shift, int X, int Y);
    void propertyChanged(const QString& key);

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    bool event(QEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    enum class HostState { Normal, Minimised, Maximised };
    HostState hostState() const;
    void layout_pass();
    void apply_active_skin();
    void apply_inactive_skin();
    void setPointers(HostState state);
    bool handleTitleEvent(QEvent* e);
    bool handleResizeEvent(int direction, QEvent* e);

    QWidget* pictop_;
    QWidget* picbottom_;
    QWidget* picleft_;
    QWidget* picright_;
    QLabel* imgicon_;
    QLabel* lblshadow_;
    QLabel* lblcaption_;
    // Grips by direction; 0, 1 and 3 are the borders themselves, so those stay null.
    std::array<QWidget*, 8> imgresize_{};

    CanvasSkin active_;
    CanvasSkin inactive_;
    CanvasSkin current_;
    bool activeSkin_ = true;
    QPixmap topPicture_, leftPicture_, rightPicture_, bottomPicture_;
    QPixmap Image1_;
    QPixmap icon_;
    bool fixedSingle_ = false;
    QPoint dragStart_;
    QPoint dragEnd_;
    enum class ResizeDrag { None, Armed, System, OnRelease };
    ResizeDrag resizeDrag_ = ResizeDrag::None;
    // What of the canvas is painted: all but the key-coloured corner pixels of the title.
    QRegion painted_;
    enum class TitleDrag { None, Armed, Following };
    TitleDrag titleDrag_ = TitleDrag::None;
    QPoint titlePressGlobal_;
    QPoint titlePressHost_;
    QObject* pressedOn_ = nullptr;
    bool secondPress_ = false;
};

} // namespace velmora
