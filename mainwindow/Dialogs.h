#pragma once
// Every modal box the program shows goes through here, so tests can answer them without timers:
// a test installs a DialogHook and sees each box's title and text instead of a window.

#include <QMessageBox>
#include <QString>

#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QWidget;

struct DialogRequest {
    enum class Kind { Message, Input, OpenFile, SaveFile };
    Kind kind = Kind::Message;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QString title;
    QString text;            // message or prompt
    QString initial;         // input default, or the file dialog's starting file
    QString filter;          // file dialogs
    QStringList buttonTexts; // a choice's own button texts, in the order of its buttons
};

// What the hook answers: the button for a message box; the text (or nothing when cancelled) for
// input and file dialogs.
struct DialogAnswer {
    QMessageBox::StandardButton button = QMessageBox::Ok;
    std::optional<QString> text;
};

class Dialogs final {
public:
    using Hook = std::function<DialogAnswer(const DialogRequest&)>;

    static QMessageBox::StandardButton Message(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                               const QString& text,
                                               QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    // A message box whose buttons say what they do: each standard button with its own text. The answer is
    // the button pressed (Escape gives the one with the reject role).
    static QMessageBox::StandardButton
    Choice(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
           const std::vector<std::pair<QMessageBox::StandardButton, QString>>& buttons);
    // Cancel gives nothing; OK gives the text, possibly empty.
    static std::optional<QString> InputText(QWidget* parent, const QString& title, const QString& prompt,
                                            const QString& initial = {});
    // An Open dialog; with mustExist false it also takes the name of a file that does not exist yet.
    static std::optional<QString> OpenFileName(QWidget* parent, const QString& title, const QString& initial,
                                               const QString& filter, bool mustExist = true);
    static std::optional<QString> SaveFileName(QWidget* parent, const QString& title, const QString& initial,
                                               const QString& filter);

    // Tests only: answers every box through `hook` until reset with an empty hook.
    static void SetHook(Hook hook);

private:
    static std::optional<DialogAnswer> hooked(const DialogRequest& request);
};
