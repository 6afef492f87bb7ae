#include "skin/xpcmdbutton.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QPainter>

namespace velmora {

namespace {

const QColor kCaptionEnabled(0, 0, 0);
const QColor kCaptionDisabled(161, 161, 146);

// Copies SOURCE of CELL stretched onto TARGET; parts that end up with no width or height are not drawn.
void stretch(QPainter& p, const QImage& cell, const QRect& source, const QRect& target) {
    if (target.width() > 0 && target.height() > 0)
        p.drawImage(target, cell, source);
}

} // namespace

xpcmdbutton::xpcmdbutton(QWidget* parent) : SkinButton(parent) {
    pc_ = PictureStrip(SkinPictures::load(QStringLiteral("xpcmdbutton")), 1, 5);
    connect(this, &QAbstractButton::clicked, this, &xpcmdbutton::Click);
    draw_resting();
}

xpcmdbutton::xpcmdbutton(const QString& caption, QWidget* parent) : xpcmdbutton(parent) {
    setText(caption);
}

void xpcmdbutton::setCaption(const QString& caption) {
    setText(caption);
    update();
    emit propertyChanged(QStringLiteral("Caption"));
}

void xpcmdbutton::setState(int state) {
    state_ = state;
    emit propertyChanged(QStringLiteral("State"));
    draw_resting();
}

void xpcmdbutton::setPictures(const QImage& strip) {
    pc_ = PictureStrip(strip, 1, 5);
    update();
}

void xpcmdbutton::draw_cell(int cell) {
    cell_ = cell;
    update();
}

void xpcmdbutton::draw_resting() {
    if (state_ == 1)
        rest_cell_ = Alternative;
    else if (state_ == 0)
        rest_cell_ = Normal;
    draw_cell(isEnabled() ? rest_cell_ : Disabled);
}

QRect xpcmdbutton::captionRect() const {
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    return QRect(QPoint((width() - text.width()) / 2, (height() - text.height()) / 2), text);
}

void xpcmdbutton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QImage cell = pc_.cell(cell_);
    const int W = width();
    const int H = height();
    if (!cell.isNull()) {
        // Nine parts of the 18 x 21 cell: corners at their size, edges stretched along, the centre both ways.
        stretch(p, cell, QRect(0, 0, 3, 3), QRect(0, 0, 3, 3));
        stretch(p, cell, QRect(15, 0, 3, 3), QRect(W - 3, 0, 3, 3));
        stretch(p, cell, QRect(15, 18, 3, 3), QRect(W - 3, H - 3, 3, 3));
        stretch(p, cell, QRect(0, 18, 3, 3), QRect(0, H - 3, 3, 3));
        stretch(p, cell, QRect(3, 0, 12, 3), QRect(3, 0, W - 6, 3));
        stretch(p, cell, QRect(15, 3, 3, 15), QRect(W - 3, 3, 3, H - 6));
        stretch(p, cell, QRect(0, 3, 3, 15), QRect(0, 3, 3, H - 6));
        stretch(p, cell, QRect(3, 18, 12, 3), QRect(3, H - 3, W - 6, 3));
        stretch(p, cell, QRect(3, 3, 12, 15), QRect(3, 3, W - 6, H - 6));
    }
    if (!text().isEmpty()) {
        p.setPen(isEnabled() ? kCaptionEnabled : kCaptionDisabled);
        p.drawText(captionRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic, text());
    }
}

void xpcmdbutton::mousePressEvent(QMouseEvent* e) {
    const QPoint pos = e->position().toPoint();
    emit MouseDown(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    draw_cell(Pressed);
    SkinButton::mousePressEvent(e);
    e->accept();
}

void xpcmdbutton::movedOver(int button, int shift, int x, int y) {
    emit MouseMove(button, shift, x, y);
    draw_cell(button == 1 ? Pressed : Hover);
}

void xpcmdbutton::mouseReleaseEvent(QMouseEvent* e) {
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    draw_resting();
    SkinButton::mouseReleaseEvent(e); // raises clicked, and through it Click, after MouseUp
    e->accept();
}

void xpcmdbutton::keyPressEvent(QKeyEvent* e) {
    emit KeyDown(e->key(), shiftArg(e->modifiers()));
    if (const int ascii = keyAsciiArg(e))
        emit KeyPress(ascii);
    SkinButton::keyPressEvent(e);
}

void xpcmdbutton::keyReleaseEvent(QKeyEvent* e) {
    emit KeyUp(e->key(), shiftArg(e->modifiers()));
    SkinButton::keyReleaseEvent(e);
}

void xpcmdbutton::resizeEvent(QResizeEvent* e) {
    SkinButton::resizeEvent(e);
    draw_resting();
}

void xpcmdbutton::showEvent(QShowEvent* e) {
    SkinButton::showEvent(e);
    draw_resting();
}

void xpcmdbutton::changeEvent(QEvent* e) {
    SkinButton::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        emit propertyChanged(QStringLiteral("Enabled"));
        draw_resting();
    } else if (e->type() == QEvent::FontChange) {
        updateGeometry();
    }
}

void xpcmdbutton::mouseLeft() {
    emit MouseOut();
    draw_resting();
}

void xpcmdbutton::initProperties() {
    setEnabled(true);
    setCaption(objectName());
}

void xpcmdbutton::readProperties(const QVariantMap& bag) {
    setState(bag.value(QStringLiteral("State"), 0).toInt());
    setEnabled(bag.value(QStringLiteral("Enabled"), true).toBool());
    setCaption(bag.value(QStringLiteral("Caption"), objectName()).toString());
}

QVariantMap xpcmdbutton::writeProperties() const {
    return {{QStringLiteral("State"), state_},
            {QStringLiteral("Enabled"), isEnabled()},
            {QStringLiteral("Caption"), text()}};
}

QSize xpcmdbutton::sizeHint() const {
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    return QSize(std::max(75, text.width() + 20), std::max(23, text.height() + 8));
}

QSize xpcmdbutton::minimumSizeHint() const {
    return QSize(6, 6);
}

} // namespace velmora
