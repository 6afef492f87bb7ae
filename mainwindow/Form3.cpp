#include "mainwindow/Form3.h"

#include "mainwindow/Dialogs.h"
#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/ProductInfo.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWindow>

Form3::Form3(QWidget* window, FileTypeTableModel* table, std::function<void()> saveTable)
    : QWidget(nullptr, Qt::Dialog), window_(window), table_(table), saveTable_(std::move(saveTable)) {
    // No parent widget: its controls share names with the main window's, and findChild on the main
    // window must keep finding the main window's own.
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Form3"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::NonModal);
    if (!window_->windowIcon().isNull())
        setWindowIcon(window_->windowIcon());

    Text1_ = new QLineEdit(this);
    Text1_->setObjectName(QStringLiteral("Text1"));
    Combo1_ = new QComboBox(this);
    Combo1_->setObjectName(QStringLiteral("Combo1"));
    Combo1_->addItems({QStringLiteral("视频"), QStringLiteral("音频"), QStringLiteral("图片"), QStringLiteral("其它")});
    Combo2_ = new QComboBox(this);
    Combo2_->setObjectName(QStringLiteral("Combo2"));
    Combo2_->addItems({QStringLiteral("使用"), QStringLiteral("禁用")});
    MediaTypes_ = new QLineEdit(this);
    MediaTypes_->setObjectName(QStringLiteral("MediaTypes"));
    MediaTypes_->setPlaceholderText(QStringLiteral("可选，如 video/mp4, video/x-m4v"));
    MediaTypes_->setToolTip(QStringLiteral("服务器回应的 Content-Type 为其中之一时，无扩展名的地址也按此类型列出。\n"
                                           "留空则用该扩展名的常见媒体类型。"));
    Command1_ = new QPushButton(QStringLiteral("确定"), this);
    Command1_->setObjectName(QStringLiteral("Command1"));
    Command1_->setDefault(true);
    Command2_ = new QPushButton(QStringLiteral("取消"), this);
    Command2_->setObjectName(QStringLiteral("Command2"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("设置文件扩展名"), Text1_);
    form->addRow(QStringLiteral("设置文件类型"), Combo1_);
    form->addRow(QStringLiteral("选择运行状态"), Combo2_);
    form->addRow(QStringLiteral("媒体类型"), MediaTypes_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Command1_);
    buttons->addWidget(Command2_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    setFixedWidth(300);

    connect(Command1_, &QPushButton::clicked, this, &Form3::Command1_Click);
    connect(Command2_, &QPushButton::clicked, this, &Form3::Command2_Click);
    connect(Text1_, &QLineEdit::returnPressed, this, &Form3::Command1_Click);
}

void Form3::showEvent(QShowEvent* event) {
    // Shown before the window is mapped: the window system then keeps the dialog above the main window,
    // where raise() and activateWindow() do nothing (Wayland).
    if (QWindow* own = windowHandle(); own && window_->windowHandle())
        own->setTransientParent(window_->windowHandle());
    QWidget::showEvent(event);
}

void Form3::ResetChoices() {
    Combo1_->setCurrentIndex(0);
    Combo2_->setCurrentIndex(0);
    MediaTypes_->clear();
}

QString Form3::NormalizeExtension(const QString& typed) {
    qsizetype first = 0;
    while (first < typed.size() && typed.at(first) == QLatin1Char(' '))
        ++first;
    QString extension = typed.mid(first);
    if (extension.isEmpty())
        return extension;
    if (!extension.startsWith(QLatin1Char('.')))
        extension.prepend(QLatin1Char('.'));
    return extension.toLower();
}

void Form3::Command1_Click() {
    const QString extension = NormalizeExtension(Text1_->text());
    if (extension.isEmpty()) {
        Dialogs::Message(this, QMessageBox::NoIcon, ProductInfo::AppTitle(), QStringLiteral("请设置文件扩展名"));
        return;
    }
    // Exact comparison: a row stored with capitals in the file is not a duplicate of its lower-case form.
    for (int row = 0; row < table_->rowCount(); ++row) {
        if (table_->Extension(row) == extension) {
            Dialogs::Message(this, QMessageBox::NoIcon, ProductInfo::AppTitle(),
                             QStringLiteral("已经设置了此类型!请检查"));
            return;
        }
    }
    const QString state = Combo2_->currentIndex() == 1 ? Combo2_->currentText() : QString();
    // Left empty, the row names the usual media types of its extension.
    const QString mediaTypes = MediaTypes_->text().trimmed();
    table_->Append(
        {extension.toStdU16String(), Combo1_->currentText().toStdU16String(), state.toStdU16String(),
         mediaTypes.isEmpty() ? velmora::DefaultMediaTypes(extension.toStdU16String()) : mediaTypes.toStdU16String()});
    saveTable_();
    close();
}

void Form3::Command2_Click() {
    close();
}
