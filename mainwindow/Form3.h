#pragma once
// The add-file-type dialog: extension, type, state and media types of a new row of the main window's file-type table.
// Not modal; the main window keeps at most one, and closing it destroys it.

#include <QWidget>

#include <functional>

class FileTypeTableModel;
class QComboBox;
class QLineEdit;
class QPushButton;

class Form3 final : public QWidget {
    Q_OBJECT

public:
    // `window` lends its icon and keeps the dialog above it; `saveTable` writes the table after an add.
    Form3(QWidget* window, FileTypeTableModel* table, std::function<void()> saveTable);

    QLineEdit* Text1() const { return Text1_; }
    QComboBox* Combo1() const { return Combo1_; }
    QComboBox* Combo2() const { return Combo2_; }
    QLineEdit* MediaTypes() const { return MediaTypes_; }
    QPushButton* Command1() const { return Command1_; }
    QPushButton* Command2() const { return Command2_; }

    // Entry 0 in both combo boxes ("视频", "使用"), as every click of the add button leaves them.
    void ResetChoices();

    void Command1_Click();
    void Command2_Click();

    // What OK makes of the typed extension: leading spaces dropped, a dot put in front, lower case.
    static QString NormalizeExtension(const QString& typed);

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* window_;
    FileTypeTableModel* table_;
    std::function<void()> saveTable_;
    QLineEdit* Text1_ = nullptr;
    QComboBox* Combo1_ = nullptr;
    QComboBox* Combo2_ = nullptr;
    QLineEdit* MediaTypes_ = nullptr; // optional: the Content-Type values that mean this type
    QPushButton* Command1_ = nullptr;
    QPushButton* Command2_ = nullptr;
};
