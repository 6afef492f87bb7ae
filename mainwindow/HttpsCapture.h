#pragma once
// The window's side of seeing HTTPS: the key log option on the options page, the decryption of the
// browser's TLS connections in the frame path (with the key log file the setting names at capture
// start), the TLS figures of the status bar and the decrypted request texts the data window shows.

#include <QObject>
#include <QString>

class Form1;
class KeyLogOptions;

class HttpsCapture final : public QObject {
    Q_OBJECT

public:
    explicit HttpsCapture(Form1* form);
    ~HttpsCapture() override;

    KeyLogOptions* Options() const { return options_; }

private:
    Form1* form_;
    KeyLogOptions* options_ = nullptr;
};
