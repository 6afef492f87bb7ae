#pragma once
// When the user has left the minimum-length box Text2, so that its value is checked: when the focus
// moves from it to another widget of the program, and, if the user changed it since its last check,
// before the value is used in earnest (a capture starts, the window closes). Not when the window is
// merely deactivated (another program takes the focus, the window hides) or a popup opens over the
// box (its own context menu): the user has not left it, and a box then would pop up over whatever
// they are doing, or turn an empty box into "0" under the menu.

#include <QObject>

#include <functional>

class QLineEdit;
class QWidget;

class Text2FocusWatch final : public QObject {
    Q_OBJECT

public:
    Text2FocusWatch(QLineEdit* text2, std::function<void()> check, QObject* parent);

    // Runs the check now if the user changed the value since its last check.
    void CheckPending();

private:
    void focusChanged(QWidget* old, QWidget* now);
    void check();

    QLineEdit* text2_;
    std::function<void()> check_;
    bool pending_ = false;
};
