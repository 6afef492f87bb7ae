#pragma once
// The options page's "★ TLS 密钥日志" group: the key log file the capture decrypts HTTPS requests
// with (stored as "KeyLogFile" in section "Tls" at every change; a click opens a file dialog, as the
// downloader path does) and a button that starts the user's browser writing its secrets to that file.

#include <QProcessEnvironment>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QLineEdit;

namespace velmora {
class SettingsFile;
}

class KeyLogOptions final : public QWidget {
    Q_OBJECT

public:
    KeyLogOptions(velmora::SettingsFile& settings, QWidget* parent);

    QLineEdit* KeyLogFile() const { return keyLogFile_; }
    QAbstractButton* LaunchBrowser() const { return launchBrowser_; }

    // The file dialog, as a click on the field opens it; a cancelled dialog keeps the path.
    void KeyLogFile_Click();
    // Makes the key log file when none is set, then starts the browser writing to it. Running as root, it
    // only says how to start the browser as the user instead.
    void LaunchBrowser_Click();
    // What the click does once the key log is there, for the user of `environment`: starts the first
    // browser on its PATH, unless that browser already runs with the user's profile (it would record
    // nothing); then a box says so and offers a separate browser with Velmora's own profile.
    void StartBrowser(const QString& keyLogFile, const QProcessEnvironment& environment);

    // Where a new key log file goes: $XDG_RUNTIME_DIR when set, else the user's cache folder.
    static QString KeyLogBaseFolder();

signals:
    // A key log was chosen: by the file dialog, by the browser button, or typed and left.
    void KeyLogChosen();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keyLogFileChanged();

    velmora::SettingsFile& settings_;
    QLineEdit* keyLogFile_ = nullptr;
    QAbstractButton* launchBrowser_ = nullptr;
};
