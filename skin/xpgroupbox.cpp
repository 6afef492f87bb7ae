#include "skin/xpgroupbox.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"

#include <QPainter>

namespace velmora {

namespace {

const QColor kCaptionEnabled(0, 70, 213);
const QColor kCaptionDisabled(161, 161, 146);

void stretch(QPainter& p, const QImage& picture, const QRect& source, const QRect& target) {
    if (target.width() > 0 && target.height() > 0)
        p.drawImage(target, picture, source);
}

} // namespace

xpgroupbox::xpgroupbox(QWidget* parent)
    : QWidget(parent), img_(SkinPictures::load(QStringLiteral("xpgroupbox"))), lbl_(new QLabel(this)) {
    lbl_->setObjectName(QStringLiteral("lbl"));
    // The caption's background, the window colour, hides the frame line behind the text.
    lbl_->setAutoFillBackground(true);
    lbl_->setBackgroundRole(QPalette::Window);
    lbl_->setForegroundRole(QPalette::WindowText);
    lbl_->installEventFilter(this);
    lbl_->setMouseTracking(true);
    setMouseTracking(true);
    setCaptionColour();
    placeCaption();
}

xpgroupbox::xpgroupbox(const QString& caption, QWidget* parent) : xpgroupbox(parent) {
    setCaption(caption);
}

QString xpgroupbox::Caption() const {
    return lbl_->text();
}

void xpgroupbox::setCaption(const QString& caption) {
    lbl_->setText(caption);
    placeCaption();
    update();
    emit propertyChanged(QStringLiteral("Caption"));
}

void xpgroupbox::setCaptionFont(const QFont& font) {
    lbl_->setFont(font);
    placeCaption();
    update();
}

void xpgroupbox::setPicture(const QImage& picture) {
    img_ = picture;
    update();
}

void xpgroupbox::placeCaption() {
    lbl_->adjustSize();
    if (lbl_->text().isEmpty())
        lbl_->resize(0, lbl_->height());
    lbl_->move(15, 0);
}

void xpgroupbox::setCaptionColour() {
    QPalette palette = lbl_->palette();
    palette.setColor(QPalette::WindowText, isEnabled() ? kCaptionEnabled : kCaptionDisabled);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, kCaptionDisabled);
    lbl_->setPalette(palette);
}

int xpgroupbox::frameTop() const {
    return lbl_->height() / 2;
}

void xpgroupbox::paintEvent(QPaintEvent*) {
    if (img_.isNull())
        return;
    QPainter p(this);
    const int W = width();
    const int H = height();
    const int T = frameTop();
    stretch(p, img_, QRect(0, 0, 3, 3), QRect(0, T, 3, 3));
    stretch(p, img_, QRect(19, 0, 3, 3), QRect(W - 3, T, 3, 3));
    stretch(p, img_, QRect(19, 17, 3, 3), QRect(W - 3, H - 3, 3, 3));
    stretch(p, img_, QRect(0, 17, 3, 3), QRect(0, H - 3, 3, 3));
    stretch(p, img_, QRect(3, 0, 16, 1), QRect(3, T, W - 6, 1));
    stretch(p, img_, QRect(21, 3, 1, 14), QRect(W - 1, T + 3, 1, H - 6 - T));
    stretch(p, img_, QRect(3, 19, 16, 1), QRect(3, H - 1, W - 6, 1));
    stretch(p, img_, QRect(0, 3, 1, 14), QRect(0, T + 3, 1, H - 6 - T));
}

void xpgroupbox::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    placeCaption();
    update();
}

void xpgroupbox::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) {
        emit propertyChanged(QStringLiteral("Enabled"));
        setCaptionColour();
    }
}

bool xpgroupbox::forwardMouse(QObject* source, QMouseEvent* e) {
    const QPoint pos = e->position().toPoint();
    const int button = mouseButtonArg(e);
    const int shift = shiftArg(e->modifiers());
    switch (e->type()) {
    case QEvent::MouseButtonPress:
        pressedOn_ = source;
        secondPress_ = false;
        emit MouseDown(button, shift, pos.x(), pos.y());
        return true;
    case QEvent::MouseButtonDblClick:
        // The second press of a double-click raises DblClick in place of MouseDown, and no second Click.
        pressedOn_ = source;
        secondPress_ = true;
        emit DblClick();
        return true;
    case QEvent::MouseMove:
        emit MouseMove(button, shift, pos.x(), pos.y());
        return true;
    case QEvent::MouseButtonRelease: {
        emit MouseUp(button, shift, pos.x(), pos.y());
        const auto* piece = qobject_cast<QWidget*>(source);
        const bool inside = piece && piece->rect().contains(pos);
        if (pressedOn_ == source && inside && !secondPress_)
            emit Click();
        pressedOn_ = nullptr;
        secondPress_ = false;
        return true;
    }
    default:
        return false;
    }
}

void xpgroupbox::mousePressEvent(QMouseEvent* e) {
    forwardMouse(this, e);
}

void xpgroupbox::mouseMoveEvent(QMouseEvent* e) {
    forwardMouse(this, e);
}

void xpgroupbox::mouseReleaseEvent(QMouseEvent* e) {
    forwardMouse(this, e);
}

void xpgroupbox::mouseDoubleClickEvent(QMouseEvent* e) {
    forwardMouse(this, e);
}

bool xpgroupbox::eventFilter(QObject* watched, QEvent* e) {
    if (watched == lbl_) {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
            return forwardMouse(watched, static_cast<QMouseEvent*>(e));
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, e);
}

void xpgroupbox::initProperties() {
    setCaption(objectName());
    setEnabled(true);
}

void xpgroupbox::readProperties(const QVariantMap& bag) {
    setEnabled(bag.value(QStringLiteral("Enabled"), true).toBool());
    setCaption(bag.value(QStringLiteral("Caption"), objectName()).toString());
}

QVariantMap xpgroupbox::writeProperties() const {
    return {{QStringLiteral("Caption"), Caption()}, {QStringLiteral("Enabled"), isEnabled()}};
}

} // namespace velmora
