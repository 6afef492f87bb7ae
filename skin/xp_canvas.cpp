#include "skin/xp_canvas.h"

#include "skin/MouseArgs.h"
#include "skin/SkinPictures.h"
#include "skin/trans_colour.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWindow>
#include <optional>

namespace velmora {

namespace {

// The title image in three slices: 5-pixel end caps at their width, the middle stretched; all stretched in height.
void drawTitle(QPainter& p, const QImage& img, const QSize& target, bool withMiddle) {
    if (img.isNull() || target.isEmpty())
        return;
    const int W = img.width();
    const int H = img.height();
    const int PW = target.width();
    const int PH = target.height();
    p.drawImage(QRect(0, 0, 5, PH), img, QRect(0, 0, 5, H));
    if (withMiddle && PW - 10 > 0)
        p.drawImage(QRect(5, 0, PW - 10, PH), img, QRect(5, 0, W - 10, H));
    p.drawImage(QRect(PW - 5, 0, 5, PH), img, QRect(W - 5, 0, 5, H));
}

QPixmap stretched(const QImage& img, const QSize& size) {
    if (img.isNull() || size.isEmpty())
        return {};
    QPixmap out(size);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.drawImage(QRect(QPoint(0, 0), size), img);
    return out;
}

QFont captionFont() {
    // The caption's own face where it is installed, else a close sans: both bold at 9.75 points.
    QFont font;
    font.setFamilies({QStringLiteral("Trebuchet MS"), QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("WenQuanYi Micro Hei")});
    font.setStyleHint(QFont::SansSerif);
    font.setBold(true);
    font.setPointSizeF(9.75);
    return font;
}

QWidget* makePiece(QWidget* parent, const QString& name) {
    auto* piece = new QWidget(parent);
    piece->setObjectName(name);
    piece->setMouseTracking(false);
    return piece;
}

} // namespace

xp_canvas::xp_canvas(QWidget* parent)
    : QWidget(parent), pictop_(makePiece(this, QStringLiteral("pictop"))),
      picbottom_(makePiece(this, QStringLiteral("picbottom"))), picleft_(makePiece(this, QStringLiteral("picleft"))),
      picright_(makePiece(this, QStringLiteral("picright"))), imgicon_(new QLabel(pictop_)),
      lblshadow_(new QLabel(pictop_)), lblcaption_(new QLabel(pictop_)) {
    setFocusPolicy(Qt::ClickFocus);
    for (QWidget* piece : {pictop_, picbottom_, picleft_, picright_})
        piece->installEventFilter(this);

    Image1_ = QPixmap::fromImage(SkinPictures::load(QStringLiteral("Image1")));
    imgicon_->setObjectName(QStringLiteral("imgicon"));
    imgicon_->setGeometry(6, 8, 16, 16);
    imgicon_->setScaledContents(true);
    imgicon_->setPixmap(Image1_);
    imgicon_->setAttribute(Qt::WA_TransparentForMouseEvents);

    const QFont font = captionFont();
    lblshadow_->setObjectName(QStringLiteral("lblshadow"));
    lblcaption_->setObjectName(QStringLiteral("lblcaption"));
    for (QLabel* label : {lblshadow_, lblcaption_}) {
        label->setFont(font);
        label->setTextFormat(Qt::PlainText);
    }
    QPalette shadow = lblshadow_->palette();
    shadow.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    lblshadow_->setPalette(shadow);
    QPalette caption = lblcaption_->palette();
    caption.setColor(QPalette::WindowText, QColor(255, 255, 255));
    lblcaption_->setPalette(caption);
    lblshadow_->setAttribute(Qt::WA_TransparentForMouseEvents);
    lblcaption_->installEventFilter(this);

    // Grips lie over the title strip (2, 6, 7) and the bottom border (4, 5); they draw nothing.
    for (int d : {TopLeft, Top, TopRight, BottomRight, BottomLeft}) {
        auto* grip = new QWidget(d == BottomRight || d == BottomLeft ? picbottom_ : pictop_);
        grip->setObjectName(QStringLiteral("imgresize%1").arg(d));
        grip->resize(kGrip, kGrip);
        grip->installEventFilter(this);
        imgresize_[size_t(d)] = grip;
    }

    // The host shows nothing of its own under the canvas, so it can be see-through: the corner pixels the
    // canvas leaves out are then transparent where a compositor draws the screen. This must be set before the
    // host's window exists; without a compositor the window shape cuts the same pixels.
    if (parent && parent->isWindow() && !parent->testAttribute(Qt::WA_WState_Created))
        parent->setAttribute(Qt::WA_TranslucentBackground);

    active_ = CanvasSkin::shipped(1);
    inactive_ = CanvasSkin::shipped(2);
    apply_active_skin();
    layout_pass();
}

QString xp_canvas::Caption() const {
    return lblcaption_->text();
}

void xp_canvas::setCaption(const QString& caption) {
    lblcaption_->setText(caption);
    lblshadow_->setText(caption);
    lblcaption_->adjustSize();
    lblshadow_->adjustSize();
    window()->setWindowTitle(caption);
    layout_pass();
    emit propertyChanged(QStringLiteral("Caption"));
}

void xp_canvas::setIcon(const QPixmap& icon) {
    icon_ = icon;
    imgicon_->setPixmap(icon);
    emit propertyChanged(QStringLiteral("Icon"));
}

void xp_canvas::setFixed_Single(bool fixed) {
    fixedSingle_ = fixed;
    layout_pass();
}

void xp_canvas::setSkin(const CanvasSkin& active, const CanvasSkin& inactive) {
    active_ = active;
    inactive_ = inactive;
    current_ = activeSkin_ ? active_ : inactive_;
    layout_pass();
}

void xp_canvas::apply_active_skin() {
    current_ = active_;
    activeSkin_ = true;
}

void xp_canvas::apply_inactive_skin() {
    current_ = inactive_;
    activeSkin_ = false;
}

void xp_canvas::SetFocus() {
    apply_active_skin();
    layout_pass();
    setFocus(Qt::OtherFocusReason);
}

xp_canvas::HostState xp_canvas::hostState() const {
    const Qt::WindowStates state = window()->windowState();
    if (state & Qt::WindowMinimized)
        return HostState::Minimised;
    if (state & (Qt::WindowMaximized | Qt::WindowFullScreen))
        return HostState::Maximised;
    return HostState::Normal;
}

void xp_canvas::layout_pass() {
    const HostState state = hostState();
    const int W = width();
    const int H = height();
    const int sideHeight = std::max(0, H - kTitleHeight - kBorder);

    pictop_->setGeometry(0, 0, W, kTitleHeight);
    picbottom_->setGeometry(0, H - kBorder, W, kBorder);
    picleft_->setGeometry(0, kTitleHeight, kBorder, sideHeight);
    picright_->setGeometry(W - kBorder, kTitleHeight, kBorder, sideHeight);

    leftPicture_ = stretched(current_.imgleft, picleft_->size());
    rightPicture_ = stretched(current_.imgright, picright_->size());
    // A minimised window's strip is left as it was.
    if (state != HostState::Minimised) {
        QImage title(pictop_->size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
        title.fill(Qt::transparent);
        {
            QPainter p(&title);
            drawTitle(p, state == HostState::Maximised ? current_.imgtopmax : current_.imgtop, pictop_->size(), true);
        }
        // The key colour is never shown: its pixels are painted fully transparent, here and under the title.
        painted_ = trans_colour::trans_region(title, size(), kKeyColour);
        const QRgb key = qRgb(int(kKeyColour & 255u), int((kKeyColour >> 8) & 255u), int((kKeyColour >> 16) & 255u));
        for (int y = 0; y < std::min(trans_colour::kScannedRows, title.height()); ++y) {
            auto* line = reinterpret_cast<QRgb*>(title.scanLine(y));
            for (int x = 0; x < title.width(); ++x)
                if (line[x] == key)
                    line[x] = qRgba(0, 0, 0, 0);
        }
        topPicture_ = QPixmap::fromImage(title);
    }
    bottomPicture_ = stretched(current_.imgbottom, picbottom_->size());

    lblcaption_->move(26, 6);
    lblshadow_->move(28, 8);

    imgresize_[TopRight]->setGeometry(pictop_->width() - kGrip, 0, kGrip, kGrip);
    imgresize_[BottomRight]->setGeometry(picbottom_->width() - kGrip, picbottom_->height() - kGrip, kGrip, kGrip);
    imgresize_[Top]->setGeometry(kGrip, 0, pictop_->width() - 2 * kGrip, kGrip);
    imgresize_[TopLeft]->setGeometry(0, 0, kGrip, kGrip);
    imgresize_[BottomLeft]->setGeometry(0, 0, kGrip, kGrip);

    setPointers(state);
    for (QWidget* piece : {pictop_, picbottom_, picleft_, picright_})
        piece->update();
    update();
    emit Resize();
}

void xp_canvas::setPointers(HostState state) {
    if (state == HostState::Minimised)
        return;
    const bool resizable = !fixedSingle_ && state == HostState::Normal;
    auto point = [resizable](QWidget* w, Qt::CursorShape shape) {
        if (resizable)
            w->setCursor(shape);
        else
            w->unsetCursor();
    };
    point(picleft_, Qt::SizeHorCursor);
    point(picright_, Qt::SizeHorCursor);
    point(picbottom_, Qt::SizeVerCursor);
    point(imgresize_[Top], Qt::SizeVerCursor);
    point(imgresize_[BottomRight], Qt::SizeFDiagCursor);
    point(imgresize_[BottomLeft], Qt::SizeBDiagCursor);
    point(imgresize_[TopRight], Qt::SizeBDiagCursor);
    point(imgresize_[TopLeft], Qt::SizeFDiagCursor);
}

void xp_canvas::resize_by_drag(int direction) {
    if (direction < Left || direction > TopLeft)
        return;
    // A maximised or minimised window refuses to be moved or sized.
    if (hostState() != HostState::Normal)
        return;
    QWidget* host = window();
    const int dx = dragEnd_.x() - dragStart_.x();
    const int dy = dragEnd_.y() - dragStart_.y();
    QRect g = host->geometry();
    int left = g.x(), top = g.y(), w = g.width(), h = g.height();
    switch (direction) {
    case Left:
        left += dx, w -= dx;
        break;
    case Right:
        w += dx;
        break;
    case Top:
        top += dy, h -= dy;
        break;
    case Bottom:
        h += dy;
        break;
    case BottomRight:
        w += dx, h += dy;
        break;
    case BottomLeft:
        left += dx, w -= dx, h += dy;
        break;
    case TopRight:
        top += dy, w += dx, h -= dy;
        break;
    case TopLeft:
        left += dx, top += dy, w -= dx, h -= dy;
        break;
    }
    host->setGeometry(left, top, w, h);
}

void xp_canvas::make_trans(QWidget* host) {
    if (!host || host->width() <= 0 || host->height() <= 0)
        return;
    // The picture the shape is read from: the host's top rows with the title's end caps on them.
    QImage surface(host->width(), std::min(trans_colour::kScannedRows, host->height()), QImage::Format_RGB32);
    surface.fill(host->palette().color(QPalette::Window));
    const bool normal = !(host->windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen));
    if (normal) {
        QPainter p(&surface);
        // The title strip spans the canvas; its size is taken from the canvas, whose resize may still be pending.
        drawTitle(p, current_.imgtop, QSize(width(), kTitleHeight), false);
    }
    trans_colour::set_trans_region(host, surface, kKeyColour);
}

void xp_canvas::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (!painted_.isEmpty())
        p.setClipRegion(painted_);
    p.fillRect(rect(), palette().color(QPalette::Window));
}

void xp_canvas::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    layout_pass();
}

bool xp_canvas::event(QEvent* e) {
    // Window activation events stand in for polling the active window: the look follows the host's activation.
    if (e->type() == QEvent::WindowActivate || e->type() == QEvent::WindowDeactivate) {
        if (e->type() == QEvent::WindowActivate)
            apply_active_skin();
        else
            apply_inactive_skin();
        layout_pass();
    }
    return QWidget::event(e);
}

void xp_canvas::focusInEvent(QFocusEvent* e) {
    QWidget::focusInEvent(e);
    apply_active_skin();
    layout_pass();
}

void xp_canvas::EndPointerHold(QWidget* window, QPoint global) {
    // After the event being handled: the release must not arrive inside the press's own handling.
    QTimer::singleShot(0, window, [window, global] {
        QWindow* handle = window->windowHandle();
        if (!handle)
            return;
        QMouseEvent release(QEvent::MouseButtonRelease, handle->mapFromGlobal(QPointF(global)), QPointF(global),
                            Qt::LeftButton, Qt::NoButton, QGuiApplication::keyboardModifiers());
        QCoreApplication::sendEvent(handle, &release);
    });
}

bool xp_canvas::handleTitleEvent(QEvent* e) {
    const auto* mouse = static_cast<QMouseEvent*>(e);
    switch (e->type()) {
    case QEvent::MouseButtonPress:
        // The move is handed to the window system at the first movement with the button held, so a
        // double-click on the title still reaches us.
        titleDrag_ = hostState() == HostState::Normal ? TitleDrag::Armed : TitleDrag::None;
        titlePressGlobal_ = mouse->globalPosition().toPoint();
        titlePressHost_ = window()->pos();
        return true;
    case QEvent::MouseMove:
        if (titleDrag_ == TitleDrag::None || mouse->buttons() == Qt::NoButton)
            return true;
        if (titleDrag_ == TitleDrag::Armed) {
            QWindow* handle = window()->windowHandle();
            // Window managers without _NET_WM_MOVERESIZE (and the offscreen platform) refuse the hand-off;
            // the window then follows the pointer here.
            titleDrag_ = handle && handle->startSystemMove() ? TitleDrag::None : TitleDrag::Following;
            if (titleDrag_ == TitleDrag::None)
                EndPointerHold(window(), mouse->globalPosition().toPoint());
        }
        if (titleDrag_ == TitleDrag::Following)
            window()->move(titlePressHost_ + (mouse->globalPosition().toPoint() - titlePressGlobal_));
        return true;
    case QEvent::MouseButtonRelease:
        titleDrag_ = TitleDrag::None;
        return true;
    case QEvent::MouseButtonDblClick:
        titleDrag_ = TitleDrag::None;
        if (!fixedSingle_) {
            if (hostState() == HostState::Normal)
                window()->showMaximized();
            else
                window()->showNormal();
        }
        return true;
    default:
        return false;
    }
}

namespace {

Qt::Edges edgesOf(int direction) {
    switch (direction) {
    case xp_canvas::Left:
        return Qt::LeftEdge;
    case xp_canvas::Right:
        return Qt::RightEdge;
    case xp_canvas::Top:
        return Qt::TopEdge;
    case xp_canvas::Bottom:
        return Qt::BottomEdge;
    case xp_canvas::BottomRight:
        return Qt::BottomEdge | Qt::RightEdge;
    case xp_canvas::BottomLeft:
        return Qt::BottomEdge | Qt::LeftEdge;
    case xp_canvas::TopRight:
        return Qt::TopEdge | Qt::RightEdge;
    case xp_canvas::TopLeft:
        return Qt::TopEdge | Qt::LeftEdge;
    }
    return {};
}

} // namespace

bool xp_canvas::handleResizeEvent(int direction, QEvent* e) {
    const auto* mouse = static_cast<QMouseEvent*>(e);
    switch (e->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        if (!fixedSingle_) {
            dragStart_ = mouse->globalPosition().toPoint();
            resizeDrag_ = ResizeDrag::Armed;
        }
        return true;
    case QEvent::MouseMove:
        // The first movement with the button held hands the resize to the window system, which lets the
        // window follow the pointer and is the only way on Wayland, where a client cannot place itself.
        // Where it refuses (no _NET_WM_MOVERESIZE, the offscreen platform) the window changes on release.
        if (resizeDrag_ == ResizeDrag::Armed && mouse->buttons() != Qt::NoButton) {
            QWindow* handle = window()->windowHandle();
            const bool system =
                hostState() == HostState::Normal && handle && handle->startSystemResize(edgesOf(direction));
            resizeDrag_ = system ? ResizeDrag::System : ResizeDrag::OnRelease;
            if (system)
                EndPointerHold(window(), mouse->globalPosition().toPoint());
        }
        return true;
    case QEvent::MouseButtonRelease:
        // Only a drag of our own resizes here: after a system resize a release may still come (ours, given
        // when the window system took over, then the window system's own).
        if (!fixedSingle_ && (resizeDrag_ == ResizeDrag::Armed || resizeDrag_ == ResizeDrag::OnRelease)) {
            dragEnd_ = mouse->globalPosition().toPoint();
            resize_by_drag(direction);
        }
        resizeDrag_ = ResizeDrag::None;
        return true;
    default:
        return false;
    }
}

bool xp_canvas::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::Paint) {
        const QPixmap* picture = watched == pictop_      ? &topPicture_
                                 : watched == picbottom_ ? &bottomPicture_
                                 : watched == picleft_   ? &leftPicture_
                                 : watched == picright_  ? &rightPicture_
                                                         : nullptr;
        if (picture) {
            QPainter p(static_cast<QWidget*>(watched));
            p.drawPixmap(0, 0, *picture);
            return true;
        }
        return false;
    }
    if (watched == pictop_ || watched == lblcaption_)
        return handleTitleEvent(e) || QWidget::eventFilter(watched, e);
    if (watched == picleft_)
        return handleResizeEvent(Left, e);
    if (watched == picright_)
        return handleResizeEvent(Right, e);
    if (watched == picbottom_)
        return handleResizeEvent(Bottom, e);
    for (int d = 0; d < int(imgresize_.size()); ++d)
        if (imgresize_[size_t(d)] && watched == imgresize_[size_t(d)])
            return handleResizeEvent(d, e);
    return QWidget::eventFilter(watched, e);
}

// The canvas's own surface: events are raised to the host as received.
void xp_canvas::mousePressEvent(QMouseEvent* e) {
    pressedOn_ = this;
    secondPress_ = false;
    const QPoint pos = e->position().toPoint();
    emit MouseDown(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
}

void xp_canvas::mouseMoveEvent(QMouseEvent* e) {
    const QPoint pos = e->position().toPoint();
    emit MouseMove(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
}

void xp_canvas::mouseReleaseEvent(QMouseEvent* e) {
    const QPoint pos = e->position().toPoint();
    emit MouseUp(mouseButtonArg(e), shiftArg(e->modifiers()), pos.x(), pos.y());
    if (pressedOn_ == this && !secondPress_ && rect().contains(pos))
        emit Click();
    pressedOn_ = nullptr;
    secondPress_ = false;
}

void xp_canvas::mouseDoubleClickEvent(QMouseEvent*) {
    pressedOn_ = this;
    secondPress_ = true;
    emit DblClick();
}

void xp_canvas::keyPressEvent(QKeyEvent* e) {
    emit KeyDown(e->key(), shiftArg(e->modifiers()));
    if (const int ascii = keyAsciiArg(e))
        emit KeyPress(ascii);
}

void xp_canvas::keyReleaseEvent(QKeyEvent* e) {
    emit KeyUp(e->key(), shiftArg(e->modifiers()));
}

void xp_canvas::initProperties() {
    setCaption(objectName());
    setFixed_Single(false);
}

void xp_canvas::readProperties(const QVariantMap& bag) {
    setCaption(bag.value(QStringLiteral("Caption"), objectName()).toString());
    setFixed_Single(bag.value(QStringLiteral("Fixed_Single"), false).toBool());
    // The saved icon is restored too, so a loaded frame shows the icon it was saved with.
    const QVariant icon = bag.value(QStringLiteral("Icon"));
    if (icon.canConvert<QPixmap>() && !icon.value<QPixmap>().isNull())
        setIcon(icon.value<QPixmap>());
}

QVariantMap xp_canvas::writeProperties() const {
    return {{QStringLiteral("Caption"), Caption()},
            {QStringLiteral("Icon"), icon_.isNull() ? Image1_ : icon_},
            {QStringLiteral("Fixed_Single"), fixedSingle_}};
}

} // namespace velmora
