#pragma once
// The profile folder a browser opens when started without a profile option, whether a browser already
// runs with it on this machine, and the separate profile Velmora keeps for a browser of its own.
//
// A browser that already runs with a profile takes a new start as a request to open one more window:
// the running process writes no key log whatever the new start asks for. Chromium marks its profile with
// a SingletonLock symlink naming "host-pid"; Firefox holds a POSIX lock on the profile's .parentlock.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

class BrowserProfile final {
public:
    enum class Family { Chromium, Firefox };

    // By the program's file name: chromium, google-chrome (and their channels), firefox, firefox-esr.
    static std::optional<Family> FamilyOf(const QString& program);

    // The folder the program uses by default for the user `environment` belongs to (HOME, XDG_CONFIG_HOME,
    // CHROME_CONFIG_HOME): Chromium's user data folder, or Firefox's default profile from profiles.ini.
    // Empty when Firefox has no profile yet.
    static QString DefaultFolder(const QString& program, const QProcessEnvironment& environment);

    // The process of this machine that holds `folder` as its profile, if any. A lock left by a process that
    // ended, or by another machine sharing the folder, is no running browser here.
    static std::optional<qint64> RunningIn(Family family, const QString& folder);

    // Velmora's own profile for the family: $XDG_DATA_HOME/velmora/chromium or .../firefox (XDG_DATA_HOME is
    // ~/.local/share when unset).
    static QString OwnFolder(Family family, const QProcessEnvironment& environment);

    // The arguments that start the program with `folder` as its profile, in a process of its own.
    static QStringList ProfileArguments(Family family, const QString& folder);
};
