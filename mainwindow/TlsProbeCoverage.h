#pragma once
// Which of the user's programs the TLS probe reads, and which browsers it cannot: Chromium and Chrome
// carry their own TLS (BoringSSL, built in), so their requests are seen only through the key log the
// browser button sets up.

#include <QString>

#include <cstdint>
#include <set>
#include <string>
#include <sys/types.h>

struct TlsProbeCoverage {
    std::set<std::string> covered;    // program names the probe hooked or listed rows of
    std::set<std::string> needButton; // running browsers with their own TLS

    // "已覆盖: curl, firefox-esr · 需用按钮: chromium"; the status bar's short message.
    QString Brief() const;
    // The figures tooltip's line, with why the others need the button.
    QString Detail() const;
    bool operator==(const TlsProbeCoverage&) const = default;

    // The names of the processes of `uid` under `procRoot` (/proc) that are browsers with their own TLS.
    static std::set<std::string> BrowsersWithOwnTls(const std::string& procRoot, uid_t uid);
    // A process's name as the data window gives it: its executable's file name, else its comm; empty when
    // the process is gone.
    static std::string ProgramName(const std::string& procRoot, std::uint32_t pid);
};
