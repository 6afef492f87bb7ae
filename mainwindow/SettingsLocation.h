#pragma once
// Where the settings file lives. Beside the executable, as the program always kept it; but an
// installed program's folder is not writable (and not the user's to write, even as root), and there every
// change would fail, so the user's configuration folder is used instead.

#include <QString>

class SettingsLocation final {
public:
    // `explicitPath` when given; else $VELMORA_SETTINGS (a file, or a folder to hold setting.ini);
    // else <executable folder>/setting.ini when that folder is writable and the program is not installed;
    // else FallbackIniFileName().
    static QString IniFileName(const QString& explicitPath = {});
    // $XDG_CONFIG_HOME/velmora/setting.ini, $XDG_CONFIG_HOME defaulting to ~/.config.
    static QString FallbackIniFileName();
    // The shipped default-setting.ini (beside the executable or in ../share/velmora), or "" when there is none.
    static QString DefaultSettingsFile();
    // NAME among the shipped files, whether or not it exists.
    static QString ShippedFile(const QString& name);
    static bool IsWritableFolder(const QString& folder);
};
