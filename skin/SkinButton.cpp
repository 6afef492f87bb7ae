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

void SkinButton::onTimer() {
    if (onButton(this, mapFromGlobal(QCursor::pos())))
        return;
    Timer1_->stop();
    mouseLeft();
}

} // namespace velmora
