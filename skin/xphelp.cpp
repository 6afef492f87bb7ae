#include "skin/xphelp.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QPainter>

namespace velmora {

xphelp::xphelp(QWidget* parent) : SkinButton(parent) {
    pc1_ = PictureStrip(SkinPictures::load(QStringLiteral("xphelp")), 1, 3);
    setFixedSize(kSide, kSide);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, &xphelp::onClicked);
    show_cell(Normal);
    Timer1()->start();
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
    SkinButton::mousePressEvent(e);
    e->accept();
}

void xphelp::movedOver(int button, int shift, int x, int y) {
    emit MouseMove(button, shift, x, y);
    show_cell(button == 1 ? Pressed : Hover);
}

void xphelp::mouseReleaseEvent(QMouseEvent* e) {
    // The pressed look stays through MouseUp; the click shows the normal look.
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    SkinButton::mouseReleaseEvent(e);
    e->accept();
}

void xphelp::mouseLeft() {
    emit MouseOut();
    if (isEnabled())
        show_cell(Normal);
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
