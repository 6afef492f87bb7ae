#include "skin/SkinButton.h"

#include "skin/MouseArgs.h"

#include <QCursor>

namespace velmora {

namespace {

bool onButton(const QWidget* w, QPoint p) {
    return p.x() >= 0 && p.x() <= w->width() && p.y() >= 0 && p.y() <= w->height();
}

} // namespace

SkinButton::SkinButton(QWidget* parent) : QAbstractButton(parent), Timer1_(new QTimer(this)) {
    setMouseTracking(true);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(10);
    connect(Timer1_, &QTimer::timeout, this, &SkinButton::onTimer);
}

void SkinButton::mouseMoveEvent(QMouseEvent* e) {
    Timer1_->start();
    const QPoint pos = e->position().toPoint();
    if (onButton(this, pos))
        movedOver(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    QAbstractButton::mouseMoveEvent(e);
    e->accept();
}

void SkinButton::mouseDoubleClickEvent(QMouseEvent* e) {
    e->accept();
}

void SkinButton::leaveEvent(QEvent* e) {
    QAbstractButton::leaveEvent(e);
    // While a button is held the pointer is grabbed and the leave comes with the release. The right and bottom
    // edge lines lie just outside the widget but count as on the button: there the timer decides.
    const QPoint p = mapFromGlobal(QCursor::pos());
    const bool onEdgeLine = onButton(this, p) && (p.x() == width() || p.y() == height());
    if (Timer1_->isActive() && !onEdgeLine) {
        Timer1_->stop();
        mouseLeft();
    }
}

void SkinButton::onTimer() {
    if (onButton(this, mapFromGlobal(QCursor::pos())))
        return;
    Timer1_->stop();
    mouseLeft();
}

} // namespace velmora
