#include "skin/xpcheckbox.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QPainter>
#include <cmath>

namespace velmora {

namespace {

const QColor kCaptionEnabled(0, 0, 0);
const QColor kCaptionDisabled(161, 161, 146);

// Offsets within a value's four cells.
constexpr int kNormal = 0, kHover = 1, kPressed = 2, kDisabled = 3;

int twipsToPixels(int twips) {
    return int(std::lround(double(twips) / xpcheckbox::kTwipsPerPixel));
}

} // namespace

xpcheckbox::xpcheckbox(QWidget* parent) : SkinButton(parent) {
    pc_ = PictureStrip(SkinPictures::load(QStringLiteral("xpcheckbox")), 12, 1);
    // Connected first, so Click and the change of Value come before any clicked() handler of the host.
    connect(this, &QAbstractButton::clicked, this, &xpcheckbox::onClicked);
    paint_resting();
    Timer1()->start();
}

xpcheckbox::xpcheckbox(const QString& caption, QWidget* parent) : xpcheckbox(parent) {
    setText(caption);
}

void xpcheckbox::setValue(int value) {
    value_ = value;
    paint_resting();
    emit propertyChanged(QStringLiteral("Value"));
}

void xpcheckbox::setCaption(const QString& caption) {
    setText(caption);
    updateGeometry();
    update();
    emit propertyChanged(QStringLiteral("Caption"));
}

void xpcheckbox::setPictures(const QImage& strip) {
    pc_ = PictureStrip(strip, 12, 1);
    update();
}

void xpcheckbox::show_cell(int cell) {
    cell_ = cell;
    update();
}

// Values other than 0, 1 and 2 leave the picture as it was.
void xpcheckbox::showFor(int offset) {
    if (value_ >= 0 && value_ <= 2)
        show_cell(value_ * 4 + offset);
}

void xpcheckbox::paint_resting() {
    showFor(isEnabled() ? kNormal : kDisabled);
}

void xpcheckbox::onClicked() {
    emit Click();
    if (value_ == 1 || value_ == 2)
        setValue(0);
    else if (value_ == 0)
        setValue(1);
    paint_resting();
}

int xpcheckbox::centredTopTwips(double controlTwips, double itemTwips) {
    const long difference = std::lround(controlTwips - itemTwips);
    return int(difference / 2);
}

QRect xpcheckbox::boxRect() const {
    const int heightTwips = height() * kTwipsPerPixel;
    const int side = twipsToPixels(kBoxTwips);
    return QRect(0, twipsToPixels(centredTopTwips(heightTwips, kBoxTwips)), side, side);
}

QRect xpcheckbox::captionRect() const {
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    const int top = centredTopTwips(height() * kTwipsPerPixel, text.height() * kTwipsPerPixel);
    return QRect(QPoint(twipsToPixels(kCaptionLeftTwips), twipsToPixels(top)), text);
}

void xpcheckbox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), palette().color(QPalette::Button));
    const QImage cell = pc_.cell(cell_);
    if (!cell.isNull())
        p.drawImage(boxRect(), cell);
    if (!text().isEmpty()) {
        p.setPen(isEnabled() ? kCaptionEnabled : kCaptionDisabled);
        p.drawText(captionRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextShowMnemonic, text());
    }
}

void xpcheckbox::mousePressEvent(QMouseEvent* e) {
    if (isEnabled())
        showFor(kPressed);
    const QPoint pos = e->position().toPoint();
    emit MouseDown(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    SkinButton::mousePressEvent(e);
    e->accept();
}

void xpcheckbox::movedOver(int button, int shift, int x, int y) {
    emit MouseMove(button, shift, x, y);
    if (isEnabled())
        showFor(button == 1 ? kPressed : kHover);
}

void xpcheckbox::mouseReleaseEvent(QMouseEvent* e) {
    // No repaint here: the click that follows paints the resting look.
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    SkinButton::mouseReleaseEvent(e);
    e->accept();
}

void xpcheckbox::keyPressEvent(QKeyEvent* e) {
    emit KeyDown(e->key(), shiftArg(e->modifiers()));
    if (const int ascii = keyAsciiArg(e))
        emit KeyPress(ascii);
    SkinButton::keyPressEvent(e);
}

void xpcheckbox::keyReleaseEvent(QKeyEvent* e) {
    emit KeyUp(e->key(), shiftArg(e->modifiers()));
    SkinButton::keyReleaseEvent(e);
}

void xpcheckbox::changeEvent(QEvent* e) {
    SkinButton::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        emit propertyChanged(QStringLiteral("Enabled"));
        paint_resting();
    } else if (e->type() == QEvent::FontChange) {
        updateGeometry();
    }
}

void xpcheckbox::mouseLeft() {
    paint_resting();
    emit MouseOut();
}

void xpcheckbox::initProperties() {
    setCaption(objectName());
    setEnabled(true);
    setValue(0);
}

void xpcheckbox::readProperties(const QVariantMap& bag) {
    setValue(bag.value(QStringLiteral("Value"), 0).toInt());
    setCaption(bag.value(QStringLiteral("Caption"), objectName()).toString());
    setEnabled(bag.value(QStringLiteral("Enabled"), true).toBool());
}

QVariantMap xpcheckbox::writeProperties() const {
    return {{QStringLiteral("Value"), value_},
            {QStringLiteral("Caption"), text()},
            {QStringLiteral("Enabled"), isEnabled()}};
}

QSize xpcheckbox::sizeHint() const {
    const QSize text = fontMetrics().size(Qt::TextShowMnemonic, this->text());
    return QSize(twipsToPixels(kCaptionLeftTwips) + text.width() + 2, std::max(17, text.height() + 2));
}

QSize xpcheckbox::minimumSizeHint() const {
    return sizeHint();
}

} // namespace velmora
