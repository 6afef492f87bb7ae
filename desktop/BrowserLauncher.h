#pragma once
// Starts the user's web browser so that it writes its TLS secrets to a key log file, which lets the
// capture decrypt the HTTPS requests the browser sends. Every browser built on NSS or BoringSSL reads
// SSLKEYLOGFILE; the Chromium family also takes --ssl-key-log-file. The same secrets serve their
// HTTP/3 over QUIC, so QUIC stays on.
//
// Only a browser process that starts afresh reads these: a start while the browser already runs with the
// same profile opens a window of the running process, which records nothing. The plan says so, and can
// start the browser with Velmora's own profile instead (a process of its own, without the user's logins).

#include "desktop/BrowserProfile.h"

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
        BrowserProfile::Family family = BrowserProfile::Family::Chromium;
        QString profile;                  // the profile folder it opens (empty: Firefox has none yet)
        bool ownProfile = false;          // Velmora's own profile, made (private) at the start
        std::optional<qint64> runningPid; // a browser of this machine already runs with that profile
    };

    // What would be started for `keyLogFile`: the first candidate on the PATH of `environment`, its
    // arguments, `environment` with SSLKEYLOGFILE set, its default profile and whether a browser runs
    // with it. Nothing when no candidate is on PATH.
    static std::optional<Launch> Plan(const QString& keyLogFile, const QProcessEnvironment& environment);

    // The same browser with Velmora's own profile, in a process of its own.
    static Launch WithOwnProfile(const Launch& launch);

    // Starts the browser detached (no shell: the key log path is one argument whatever it holds). Gives
    // the message for the user when nothing was started.
    static std::optional<QString> Start(const Launch& launch);

    // The message when no candidate was found, naming them.
    static QString NoBrowserMessage();
    // Why nothing is started for a program running as root, and what the user can do instead: a browser
    // must not run as root (Chromium refuses to), and the user's own browser could not write a key log
    // that root made private.
    static QString RootMessage();
    // The box's text when the planned browser already runs: why it will not record keys, and the two
    // ways on (close it and click again; or a separate browser now).
    static QString RunningMessage(const Launch& launch);
};
