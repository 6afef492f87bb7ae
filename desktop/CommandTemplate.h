#pragma once
// The user's download command, such as "yt-dlp %u" or "ffmpeg -i %u -c copy %o": split into
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
    QString secondAddress; // %v: a pair's second input; "-i %v" follows %u when the template has no %v
    QString output;        // %o
    QStringList afterInputs; // put after the inputs (ffmpeg's -map of a chosen rendition)
};

class CommandTemplate final {
public:
    // Splits `text` as QProcess::splitCommand does (quotes group, a doubled quote is one) and then
    // replaces %u, %r, %a, %c, %v, %o and %% ("%") in one pass, so a value is never scanned for
    // placeholders itself. Any other "%" stays. An argument whose placeholders are all empty is left
    // out, with the option before it ("-referer %r" without a Referer): an empty value would be taken
    // as a value. Nothing when the template names no program.
    static std::optional<CommandLine> Expand(const QString& text, const CommandValues& values);

    // Starts the program detached. The reason in Chinese, naming the program, when it cannot be started.
    static std::optional<QString> Start(const CommandLine& line);
};
