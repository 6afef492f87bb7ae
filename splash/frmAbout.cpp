#include "splash/frmAbout.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QPointer<frmAbout>& instance() {
    static QPointer<frmAbout> box;
    return box;
}

QLabel* makeLabel(QWidget* parent, const char* objectName, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}

// The two contact lines that open something look and feel like links.
void makeLinkLike(QLabel* label) {
    label->setCursor(Qt::PointingHandCursor);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 192));
    label->setPalette(palette);
}

} // namespace

frmAbout* frmAbout::ShowAbout(QWidget* owner) {
    QPointer<frmAbout>& box = instance();
    if (!box)
        box = new frmAbout(owner);
    box->show();
    box->raise();
    box->activateWindow();
    return box;
}

frmAbout* frmAbout::Loaded() {
    return instance();
}

void frmAbout::UnloadIfLoaded() {
    if (QPointer<frmAbout>& box = instance())
        delete box.data();
}

frmAbout::frmAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setWindowTitle(QStringLiteral("关于..."));
    setFixedSize(4845 / 15, 2910 / 15); // the box's inner size in twips

    lblTitle_ = makeLabel(this, "lblTitle", QStringLiteral("Velmora V3.0"));
    QFont titleFont = lblTitle_->font();
    titleFont.setBold(true);
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    lblTitle_->setFont(titleFont);
    lblDisclaimer_ = makeLabel(this, "lblDisclaimer", QStringLiteral("-----网络信息的克星"));
    lblDisclaimer_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    Line1_ = new QFrame(this);
    Line1_->setObjectName(QStringLiteral("Line1"));
    Line1_->setFrameShape(QFrame::HLine);
    Line1_->setFrameShadow(QFrame::Sunken);

    Label1_ = makeLabel(this, "Label1", QStringLiteral("作者：Velmora 开发组"));
    Label2_ = makeLabel(this, "Label2", QStringLiteral("主页：") + QString::fromLatin1(kWebAddress));
    Label3_ = makeLabel(this, "Label3", QStringLiteral("邮箱：") + QString::fromLatin1(kMailAddress));
    Label4_ = makeLabel(this, "Label4", QStringLiteral("问题和建议，欢迎来信告诉我们。"));
    makeLinkLike(Label2_);
    makeLinkLike(Label3_);
    Label2_->setToolTip(QString::fromLatin1(kWebAddress));
    Label3_->setToolTip(MailUrl().toString());
    Label2_->installEventFilter(this);
    Label3_->installEventFilter(this);

    cmdOK_ = new QPushButton(QStringLiteral("退出"), this);
    cmdOK_->setObjectName(QStringLiteral("cmdOK"));
    cmdOK_->setDefault(true);
    connect(cmdOK_, &QPushButton::clicked, this, &QWidget::close);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 8, 14, 8);
    layout->setSpacing(2);
    layout->addWidget(lblTitle_);
    layout->addWidget(lblDisclaimer_);
    layout->addWidget(Line1_);
    layout->addWidget(Label1_);
    layout->addWidget(Label2_);
    layout->addWidget(Label3_);
    layout->addWidget(Label4_);
    layout->addStretch();
    layout->addWidget(cmdOK_, 0, Qt::AlignRight);
}

QUrl frmAbout::WebUrl() const {
    return QUrl(QString::fromLatin1(kWebAddress));
}

QUrl frmAbout::MailUrl() const {
    return QUrl(QStringLiteral("mailto:") + QString::fromLatin1(kMailAddress));
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease && (watched == Label2_ || watched == Label3_)) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        auto* label = static_cast<QLabel*>(watched);
        // A press that slides off the line before release opens nothing, as with a button.
        if (mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint())) {
            // The desktop's handler (xdg-open) reports nothing back; a failure shows nothing here either.
            QDesktopServices::openUrl(watched == Label2_ ? WebUrl() : MailUrl());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
