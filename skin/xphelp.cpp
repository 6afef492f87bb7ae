#include "skin/xphelp.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QCursor>
#include <QPainter>

namespace velmora {

xphelp::xphelp(QWidget* parent) : QAbstractButton(parent), Timer1_(new QTimer(this)) {
    pc1_ = PictureStrip(SkinPictures::load(QStringLiteral("xphelp")), 1, 3);
    setFixedSize(kSide, kSide);
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(10);
    connect(Timer1_, &QTimer::timeout, this, &xphelp::onTimer);
    connect(this, &QAbstractButton::clicked, this, &xphelp::onClicked);
    show_cell(Normal);
    Timer1_->start();
}

void xphelp::setPictures(const QImage& strip) {
    pc1_ = PictureStrip(strip, 1, 3);
    update();
}

void xphelp::show_cell(int cell) {
    cell_ = cell;
    update();
}

void xphelp::onClicked() {
    show_cell(Normal);
    emit Click();
}

void xphelp::paintEvent(QPaintEvent*) {
    const QImage cell = pc1_.cell(cell_);
    if (cell.isNull())
        return;
    QPainter p(this);
    p.drawImage(QPoint(0, 0), cell);
}

void xphelp::mousePressEvent(QMouseEvent* e) {
    show_cell(Pressed);
    const QPoint pos = e->position().toPoint();
    emit MouseDown(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    QAbstractButton::mousePressEvent(e);
    e->accept();
}

void xphelp::mouseMoveEvent(QMouseEvent* e) {
    Timer1_->start();
    const QPoint pos = e->position().toPoint();
    if (pos.x() >= 0 && pos.x() <= width() && pos.y() >= 0 && pos.y() <= height()) {
        const int button = mouseButtonArg(e);
        emit MouseMove(button, shiftArg(e->modifiers()), pos.x(), pos.y());
        show_cell(button == 1 ? Pressed : Hover);
    }
    QAbstractButton::mouseMoveEvent(e);
    e->accept();
}

void xphelp::mouseReleaseEvent(QMouseEvent* e) {
    // The pressed look stays through MouseUp; the click shows the normal look.
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    QAbstractButton::mouseReleaseEvent(e);
    e->accept();
}

void xphelp::mouseDoubleClickEvent(QMouseEvent* e) {
    e->accept();
}

void xphelp::onTimer() {
    const QPoint p = mapFromGlobal(QCursor::pos());
    if (p.x() < 0 || p.y() < 0 || p.x() > width() || p.y() > height()) {
        Timer1_->stop();
        emit MouseOut();
        if (isEnabled())
            show_cell(Normal);
    }
}

void xphelp::initProperties() {
    setEnabled(true);
}

void xphelp::readProperties(const QVariantMap& bag) {
    setEnabled(bag.value(QStringLiteral("Enabled"), true).toBool());
}

QVariantMap xphelp::writeProperties() const {
    return {{QStringLiteral("Enabled"), isEnabled()}};
}

} // namespace velmora
