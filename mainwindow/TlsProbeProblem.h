#pragma once
// Why velmora-tls cannot read HTTPS here, said to the user: short beside the switch, whole in its tooltip
// and in boxes. Made from what the helper said (its "error" line, in English) or from why it could not
// be run at all.

#include <QString>

#include <string>
#include <string_view>

struct TlsProbeProblem {
    QString brief;  // "不可用：…", a few words
    QString detail; // what is missing and what to do about it

    // No helper at `path` (empty: none was found).
    static TlsProbeProblem Missing(const std::string& path);
    // The helper is there but this user may not run it (root:velmora 0754 and not in the group).
    static TlsProbeProblem NotAllowed(const std::string& path);
    // The helper ran and refused, with the text of its "error" line (or how it ended).
    static TlsProbeProblem Refused(std::string_view said);
    // Before running `path`: Missing or NotAllowed when it cannot be run, else nothing (brief empty).
    static TlsProbeProblem BeforeRunning(const std::string& path);

    bool operator==(const TlsProbeProblem&) const = default;
};
