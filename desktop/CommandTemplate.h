#pragma once
// The user's download command, such as "yt-dlp %u" or "ffmpeg -i %u -c copy out.mp4": split into
// arguments once, the placeholders filled in inside each argument, and the program started detached
// with no shell in between. Whatever an address from the network holds (spaces, quotes, ";", "$(...)",
// newlines), it reaches the program as one argument and runs nothing else.

#include <QString>
#include <QStringList>

#include <optional>

struct CommandLine {
    QString program;
    QStringList arguments;
};

struct CommandValues {
    QString address;   // %u; appended as the last argument when the template has no %u
    QString referer;   // %r
    QString userAgent; // %a
    QString cookie;    // %c
};

class CommandTemplate final {
public:
    // Splits `text` as QProcess::splitCommand does (quotes group, a doubled quote is one) and then
    // replaces %u, %r, %a, %c and %% ("%") in one pass, so a value is never scanned for placeholders
    // itself. Any other "%" stays. Nothing when the template names no program.
    static std::optional<CommandLine> Expand(const QString& text, const CommandValues& values);

    // Starts the program detached. The reason in Chinese, naming the program, when it cannot be started.
    static std::optional<QString> Start(const CommandLine& line);
};
