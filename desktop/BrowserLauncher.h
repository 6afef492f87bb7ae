#pragma once
// Starts the user's web browser so that it writes its TLS secrets to a key log file, which lets the
// capture decrypt the HTTPS requests the browser sends. Every browser built on NSS or BoringSSL reads
// SSLKEYLOGFILE; the Chromium family also takes --ssl-key-log-file, and is kept off QUIC so its
// requests travel over TCP, where the capture can follow them.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

class BrowserLauncher final {
public:
    // The programs looked for on PATH, in order; the first found is started.
    static const QStringList& Candidates();

    struct Launch {
        QString program; // absolute path of the browser found
        QStringList arguments;
        QProcessEnvironment environment;
    };

    // What would be started for `keyLogFile`: the first candidate on the PATH of `environment`, its
    // arguments, and `environment` with SSLKEYLOGFILE set. Nothing when no candidate is on PATH.
    static std::optional<Launch> Plan(const QString& keyLogFile, const QProcessEnvironment& environment);

    // Plans with this process's environment and starts the browser detached (no shell: the path is one
    // argument whatever it holds). Gives the message for the user when nothing was started.
    static std::optional<QString> Start(const QString& keyLogFile);

    // The message when no candidate was found, naming them.
    static QString NoBrowserMessage();
    // Why nothing is started for a program running as root, and what the user can do instead: a browser
    // must not run as root (Chromium refuses to), and the user's own browser could not write a key log
    // that root made private.
    static QString RootMessage();
};
