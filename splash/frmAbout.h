#pragma once
// The about box: product name, tagline and the maker's contact lines; the web and mail lines open
// in the desktop's own browser and mail program. Never modal, and at most one exists.

#include <QDialog>
#include <QUrl>

class QFrame;
class QLabel;
class QPushButton;

class frmAbout final : public QDialog {
    Q_OBJECT

public:
    static constexpr const char* kWebAddress = "https://velmora.example/";
    static constexpr const char* kMailAddress = "support@velmora.example";

    // Shows the about box, creating it when none is loaded; a second request shows the same window.
    // `owner` is the main window: the box goes with it.
    static frmAbout* ShowAbout(QWidget* owner);
    // The loaded box, or nullptr.
    static frmAbout* Loaded();
    // Unloads the box if it is loaded (the main window's unload).
    static void UnloadIfLoaded();

    QUrl WebUrl() const;
    QUrl MailUrl() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit frmAbout(QWidget* owner);

    QLabel* lblTitle_;
    QLabel* lblDisclaimer_;
    QLabel* Label1_;
    QLabel* Label2_;
    QLabel* Label3_;
    QLabel* Label4_;
    QFrame* Line1_;
    QPushButton* cmdOK_;
};
