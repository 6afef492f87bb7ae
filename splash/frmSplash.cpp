#include "splash/frmSplash.h"

#include "skin/mod_gardient.h"
#include "splash/frmAbout.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

// The pictures sit in the static GUI library; nothing else refers to them, so they are registered by hand.
// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterSplashResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(splash);
        return true;
    }();
    (void)done;
}

namespace {

QLabel* WhiteLabel(QWidget* parent, const char* objectName, const QString& text, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(objectName));
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    label->setPalette(palette);
    label->adjustSize();
    return label;
}

// The bar's empty track: a pale trough with a dark blue rim, drawn once; the blocks are drawn onto it.
QPixmap EmptyBar() {
    QPixmap bar(frmSplash::kBarWidth, frmSplash::kBarHeight);
    bar.fill(QColor(0xF2, 0xF5, 0xFC));
    QPainter p(&bar);
    p.setPen(QColor(0x1C, 0x46, 0xA0));
    p.drawRect(bar.rect().adjusted(0, 0, -1, -1));
    p.setPen(QColor(0xD5, 0xDE, 0xF0));
    p.drawLine(1, 1, bar.width() - 2, 1);
    return bar;
}

} // namespace

QUrl frmSplash::MakerPage() {
    return QUrl(QString::fromLatin1(frmAbout::kWebAddress));
}

std::array<QString, 4> frmSplash::ContactLines() {
    return {QStringLiteral("主页：") + QString::fromLatin1(frmAbout::kWebAddress),
            QStringLiteral("邮件：") + QString::fromLatin1(frmAbout::kMailAddress), QStringLiteral("版本：3.0 (Linux)"),
            QStringLiteral("© 2026 Velmora 开发组")};
}

frmSplash::frmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint), Timer1_(new QTimer(this)) {
    RegisterSplashResources();
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QStringLiteral("Velmora v3.0"));
    setFixedSize(kWidth, kHeight);
    setCursor(Qt::PointingHandCursor);

    imgLogo_ = new QLabel(this);
    imgLogo_->setObjectName(QStringLiteral("imgLogo"));
    imgLogo_->setPixmap(QPixmap(QStringLiteral(":/splash/logo.png")));
    imgLogo_->setGeometry(24, 22, 48, 48);

    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setStyleHint(QFont::SansSerif);
    titleFont.setBold(true);
    titleFont.setPixelSize(26);
    lblTitle_ = WhiteLabel(this, "lblTitle", QStringLiteral("Velmora v3.0"), titleFont);
    lblTitle_->move(86, 20);

    QFont taglineFont = font();
    taglineFont.setPixelSize(15);
    lblTagline_ = WhiteLabel(this, "lblTagline", QStringLiteral("-----网络信息的克星"), taglineFont);
    lblTagline_->move(lblTitle_->x() + 2, lblTitle_->geometry().bottom() + 6);

    QFont contactFont = font();
    contactFont.setPixelSize(13);
    const std::array<QString, 4> lines = ContactLines();
    const char* names[] = {"Label1", "Label2", "Label3", "Label4"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        lblContact_[i] = WhiteLabel(this, names[i], lines[i], contactFont);
        lblContact_[i]->move(40, 110 + 24 * static_cast<int>(i));
    }

    const QImage piece(QStringLiteral(":/splash/imgpgb1.png"));
    block_ = QPixmap::fromImage(piece.copy(kBlockLeft, kBlockTop, kBlockWidth, kBlockHeight));
    bar_ = EmptyBar();
    picpgb2_ = new QLabel(this);
    picpgb2_->setObjectName(QStringLiteral("picpgb2"));
    picpgb2_->setGeometry(kBarLeft, kBarTop, kBarWidth, kBarHeight);
    picpgb2_->setPixmap(bar_);

    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(kTickMs);
    connect(Timer1_, &QTimer::timeout, this, &frmSplash::Timer1_Timer);
    Timer1_->start();
}

frmSplash::~frmSplash() {
    Timer1_->stop();
}

void frmSplash::drawBlock(int x) {
    QPainter p(&bar_);
    p.drawPixmap(x, kBlockY, block_);
}

void frmSplash::Timer1_Timer() {
    if (unloaded_)
        return;
    for (int i = 0; i < 2; ++i) {
        drawBlock(position_);
        position_ = static_cast<std::int16_t>(position_ + kBlockStep);
    }
    picpgb2_->setPixmap(bar_);
    if (position_ > picpgb2_->width() - 5) {
        Timer1_->stop();
        unloaded_ = true;
        close();
        emit LoadMainWindow();
    }
}

void frmSplash::Form_Click() {
    // Nothing is reported when no browser answers.
    QDesktopServices::openUrl(MakerPage());
}

void frmSplash::paintEvent(QPaintEvent*) {
    QPainter p(this);
    velmora::mod_gardient::draw_gradient(p, size(), kStartColour, kEndColour);
}

void frmSplash::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
}

void frmSplash::mouseReleaseEvent(QMouseEvent* event) {
    const bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    pressed_ = false;
    if (click)
        Form_Click();
}
