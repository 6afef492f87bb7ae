#pragma once
// The window's side of seeing HTTPS: the key log option on the options page, the key log the frame
// path's HttpsRequestFinder gets at every capture start (the file the setting names then), the TLS
// figures of the status bar, and the decrypted request texts the data window shows.

#include "capture/ResultList.h"
#include "tls/MissingKeysNotice.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class KeyLogOptions;
class QTimer;
class StatusPanels;

namespace velmora {
class CaptureEngine;
class SettingsFile;
} // namespace velmora

class HttpsCapture final : public QObject {
    Q_OBJECT

public:
    // What it works with; all of it outlives this object.
    struct Parts {
        velmora::CaptureEngine& engine; // its HttpsRequestFinder reads the key log
        velmora::SettingsFile& settings;
        StatusPanels* status;
        // The key log option goes last in the column of `optionsPage` that holds `columnMember` directly.
        QWidget* optionsPage;
        QWidget* columnMember;
        std::function<bool()> isCapturing;
        std::function<void()> showNewRows;
    };

    // `window` owns this and the boxes it shows.
    HttpsCapture(Parts parts, QWidget* window);
    ~HttpsCapture() override;

    KeyLogOptions* Options() const { return options_; }

    // Capture start: connections, figures and request texts of the last capture go; the key log the
    // setting names now is opened (made, private, when the named file does not exist yet), or none
    // when the setting is empty. A key log that cannot be read is said once; the capture runs without it.
    // While an adapter capture runs, the status bar says once when its TLS connections get no keys.
    // One that others can write is read, and said once for that file.
    void CaptureStarting();

    // Capture end: every connection followed gets its final outcome.
    void CaptureEnded();

    // The status bar's text when connections stay without keys: why, and what to do.
    static QString MissingKeysText();

    // What the fifth status panel adds to the frame figures, short (" · 已解密 N · 无密钥 M", TLS and HTTP/3
    // together, then the rarer outcomes when there are any), and in full for its tooltip, TLS and HTTP/3
    // apart. Nothing without a key log but clear-text connections that lost answers to gaps.
    struct Figures {
        QString brief;
        QString detail; // lines
    };
    Figures FiguresText() const;

    // What the data window shows for a row listed from a decrypted connection: its request, rendered as
    // `Chk2` chooses (PacketToText, or PacketToTextCn and DecodeCnEscapes when `chinese`). Nothing for the
    // other rows.
    std::optional<QString> DataWindowText(const velmora::ResultRow& row, bool chinese) const;

private:
    void checkMissingKeys();
    // Opens `path` for the capture that runs; a box says why when it cannot be used.
    void openKeyLog(const std::string& path);
    // The user chose a key log (a file, the browser button) while a capture may run.
    void keyLogChosen();

    Parts parts_;
    QWidget* window_;
    KeyLogOptions* options_ = nullptr;
    velmora::MissingKeysNotice missingKeys_;
    QTimer* missingKeysTimer_ = nullptr;
    QElapsedTimer captureClock_;
    std::string warnedKeyLog_; // the key log others can write that the user was told of
    std::string keyLogInUse_;  // the one the running capture reads, empty for none
};
