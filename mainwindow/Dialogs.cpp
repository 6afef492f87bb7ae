#include "mainwindow/Dialogs.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>

namespace {
// Where the toolkit draws the title bar itself (Wayland without server-side decorations), a narrow box
// cuts its title at the title bar's buttons: the box is made wide enough for the title, centred, with
// room for three buttons on either side of it.
int TitleWidth(const QWidget& box, const QString& title) {
    constexpr int kTitleButtonsWidth = 80;
    QFont bold = box.font();
    bold.setBold(true);
    return QFontMetrics(bold).horizontalAdvance(title) + 2 * kTitleButtonsWidth;
}

void KeepTitleWhole(QMessageBox& box, const QString& title) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    const int wanted = TitleWidth(box, title);
    grid->addItem(new QSpacerItem(wanted, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

Dialogs::Hook& hookSlot() {
    static Dialogs::Hook hook;
    return hook;
}
} // namespace

void Dialogs::SetHook(Hook hook) {
    hookSlot() = std::move(hook);
}

std::optional<DialogAnswer> Dialogs::hooked(const DialogRequest& request) {
    if (!hookSlot())
        return std::nullopt;
    return hookSlot()(request);
}

QMessageBox::StandardButton Dialogs::Message(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                             const QString& text, QMessageBox::StandardButtons buttons) {
    DialogRequest request{DialogRequest::Kind::Message, icon, buttons, title, text, {}, {}, {}};
    if (auto answer = hooked(request))
        return answer->button;
    QMessageBox box(icon, title, text, buttons, parent);
    KeepTitleWhole(box, title);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QMessageBox::StandardButton
Dialogs::Choice(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                const std::vector<std::pair<QMessageBox::StandardButton, QString>>& buttons) {
    DialogRequest request{DialogRequest::Kind::Message, icon, QMessageBox::NoButton, title, text, {}, {}, {}};
    for (const auto& [button, label] : buttons) {
        request.buttons |= button;
        request.buttonTexts << label;
    }
    if (auto answer = hooked(request))
        return answer->button;
    QMessageBox box(icon, title, text, request.buttons, parent);
    for (const auto& [button, label] : buttons)
        box.button(button)->setText(label);
    KeepTitleWhole(box, title);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::optional<QString> Dialogs::InputText(QWidget* parent, const QString& title, const QString& prompt,
                                          const QString& initial) {
    DialogRequest request{
        DialogRequest::Kind::Input, QMessageBox::NoIcon, QMessageBox::Ok, title, prompt, initial, {}, {}};
    if (auto answer = hooked(request))
        return answer->text;
    QInputDialog dialog(parent);
    dialog.setInputMode(QInputDialog::TextInput);
    (void)dialog.minimumSizeHint(); // lays the box out, so its layout exists
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextValue(initial);
    // Wide enough for its whole title beside the window system's caption buttons ("输入要搜索的字符串：" was cut).
    // (its layout sets the box's size, so the width goes in as a spacer)
    if (QLayout* layout = dialog.layout())
        layout->addItem(new QSpacerItem(TitleWidth(dialog, title), 0, QSizePolicy::Minimum, QSizePolicy::Fixed));
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.textValue();
}

std::optional<QString> Dialogs::OpenFileName(QWidget* parent, const QString& title, const QString& initial,
                                             const QString& filter, bool mustExist) {
    DialogRequest request{
        DialogRequest::Kind::OpenFile, QMessageBox::NoIcon, QMessageBox::Ok, title, {}, initial, filter, {}};
    if (auto answer = hooked(request))
        return answer->text;
    if (!mustExist) {
        QFileDialog dialog(parent, title, QString(), filter);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::AnyFile);
        if (!initial.isEmpty())
            dialog.selectFile(initial);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return std::nullopt;
        return dialog.selectedFiles().front();
    }
    const QString name = QFileDialog::getOpenFileName(parent, title, initial, filter);
    if (name.isEmpty())
        return std::nullopt;
    return name;
}

std::optional<QString> Dialogs::SaveFileName(QWidget* parent, const QString& title, const QString& initial,
                                             const QString& filter) {
    DialogRequest request{
        DialogRequest::Kind::SaveFile, QMessageBox::NoIcon, QMessageBox::Ok, title, {}, initial, filter, {}};
    if (auto answer = hooked(request))
        return answer->text;
    const QString name = QFileDialog::getSaveFileName(parent, title, initial, filter);
    if (name.isEmpty())
        return std::nullopt;
    return name;
}
