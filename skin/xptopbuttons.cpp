#include "skin/xptopbuttons.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QPainter>

namespace velmora {

xptopbuttons::xptopbuttons(QWidget* parent) : SkinButton(parent) {
    for (int i = 0; i < 4; ++i)
        pc_[size_t(i)] = PictureStrip(SkinPictures::load(QStringLiteral("xptopbuttons%1").arg(i)), 1, 4);
    setFixedSize(kSide, kSide);
    // A caption button must not take the focus from the window's controls.
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QAbstractButton::clicked, this, &xptopbuttons::Click);
    show_face();
    show_cell(Normal);
    Timer1()->start();
}

xptopbuttons::xptopbuttons(int value, QWidget* parent) : xptopbuttons(parent) {
    setValue(value);
}

void xptopbuttons::setValue(int value) {
    value_ = value;
    emit propertyChanged(QStringLiteral("Value"));
    show_face();
}

void xptopbuttons::setPictures(int face, const QImage& strip) {
    if (face < 0 || face > 3)
        return;
    pc_[size_t(face)] = PictureStrip(strip, 1, 4);
    update();
}

void xptopbuttons::show_face() {
    if (value_ >= 0 && value_ <= 3)
        face_ = value_;
    show_cell(isEnabled() ? Normal : Disabled);
}

void xptopbuttons::show_cell(int cell) {
    cell_ = cell;
    update();
}

void xptopbuttons::paintEvent(QPaintEvent*) {
    const QImage cell = pc_[size_t(face_)].cell(cell_);
    if (cell.isNull())
        return;
    QPainter p(this);
    p.drawImage(QPoint(0, 0), cell);
}

void xptopbuttons::mousePressEvent(QMouseEvent* e) {
    show_cell(Pressed);
    const QPoint pos = e->position().toPoint();
    emit MouseDown(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    SkinButton::mousePressEvent(e);
    e->accept();
}

void xptopbuttons::movedOver(int button, int shift, int x, int y) {
    emit MouseMove(button, shift, x, y);
    show_cell(button == 1 ? Pressed : Hover);
}

void xptopbuttons::mouseReleaseEvent(QMouseEvent* e) {
    show_cell(Normal);
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    SkinButton::mouseReleaseEvent(e); // Click after MouseUp
    e->accept();
}

void xptopbuttons::showEvent(QShowEvent* e) {
    SkinButton::showEvent(e);
    show_face();
}

void xptopbuttons::changeEvent(QEvent* e) {
    SkinButton::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        emit propertyChanged(QStringLiteral("Enabled"));
        show_cell(isEnabled() ? Normal : Disabled);
    }
}

void xptopbuttons::mouseLeft() {
    emit MouseOut();
    if (isEnabled())
        show_cell(Normal);
}

void xptopbuttons::initProperties() {
    setValue(0);
    setEnabled(true);
}

void xptopbuttons::readProperties(const QVariantMap& bag) {
    // Stored directly: the face follows when the button is shown.
    value_ = bag.value(QStringLiteral("Value"), 0).toInt();
    setEnabled(bag.value(QStringLiteral("Enabled"), true).toBool());
}

QVariantMap xptopbuttons::writeProperties() const {
    return {{QStringLiteral("Value"), value_}, {QStringLiteral("Enabled"), isEnabled()}};
}

} // namespace velmora
