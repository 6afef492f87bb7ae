#pragma once
// The TLS key log the window decrypts HTTPS requests with: its path in setting.ini ("KeyLogFile" in
// section "Tls"), and a fresh private file for it when the user has none yet. Beside it, "Probe": whether
// velmora-tls reads the HTTPS of the user's programs while a capture runs.
//
// The key log holds the secrets of every TLS connection the browser makes while it writes to it:
// whoever reads it can read that traffic. A file made here is therefore the user's alone (mode 0600)
// in a folder that is the user's alone (mode 0700).

#include "settings/SettingsFile.h"

#include <string>
#include <string_view>
#include <variant>

namespace velmora {

// Why no key log file could be made: the text for the user, naming the path and the reason.
struct KeyLogFileError {
    std::string message;
};

class TlsSettings final {
public:
    static constexpr std::string_view kFolderName = "velmora";
    static constexpr std::string_view kFileName = "tls-keys.log";

    explicit TlsSettings(SettingsFile& settings) : settings_(settings) {}

    // The stored path; "" when none is set.
    std::string KeyLogFile() const;
    // The key log to read: the stored path, else the one the user's session gives every program
    // (SSLKEYLOGFILE, when it is an absolute path), so the browsers the user starts and the capture share it.
    std::string KeyLogFileInUse() const;
    // SSLKEYLOGFILE of this process when it is an absolute path, else "".
    static std::string SessionKeyLogFile();
    // Writes the path at once; false when the write failed (the settings file's handler was told).
    bool SetKeyLogFile(std::string_view path);

    // "Probe=1"; anything else, or nothing, is off.
    bool Probe() const;
    bool SetProbe(bool on);

    // KeyLogFileInUse() when there is one, the file made (mode 0600) when it is missing. Otherwise makes `base`/velmora
    // (mode 0700) and in it an empty tls-keys.log (mode 0600), stores its path and gives it. `base` is $XDG_RUNTIME_DIR
    // when the session has one (a per-user tmpfs, gone at logout with the secrets in it), else the cache folder. A file
    // already there is kept (the browser may still be appending to it) but made private.
    std::variant<std::string, KeyLogFileError> EnsureKeyLogFile(const std::string& base);

    // The folder and file of EnsureKeyLogFile without the setting: `base`/velmora/tls-keys.log.
    static std::variant<std::string, KeyLogFileError> CreatePrivateKeyLogFile(const std::string& base);

private:
    SettingsFile& settings_;
};

} // namespace velmora
