#pragma once

#include <QAbstractButton>
#include <QTimer>

namespace velmora {

// What the skinned picture buttons share about the mouse. A move over the button (right and bottom edges
// included) is handed to movedOver with the classic arguments, and starts Timer1: every 10 ms it looks where the
// cursor is, and once it is off the button it stops and calls mouseLeft. A leave event alone would not do: none
// comes while a button is held down elsewhere. Nor would the timer alone: on Wayland the cursor position stops
// changing once the pointer is outside the program's windows, so a leave event ends the hover as well.
// The second press of a double-click is no new press: it shows no pressed look and gives no second click.
class SkinButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit SkinButton(QWidget* parent = nullptr);

protected:
    // Raises the control's MouseMove and shows its look for the move.
    virtual void movedOver(int Button, int Shift, int X, int Y) = 0;
    // The cursor has left; Timer1 is stopped already.
    virtual void mouseLeft() = 0;

    QTimer* Timer1() const { return Timer1_; }

    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void leaveEvent(QEvent* e) override;

private:
    void onTimer();

    QTimer* Timer1_;
};

} // namespace velmora
