#include "desktop/CommandTemplate.h"

#include <QProcess>

std::optional<CommandLine> CommandTemplate::Expand(const QString& text, const CommandValues& values) {
    const QStringList words = QProcess::splitCommand(text);
    if (words.isEmpty() || words.front().isEmpty())
        return std::nullopt;
    bool addressPlaced = false;
    QStringList expanded;
    for (const QString& word : words) {
        QString out;
        for (qsizetype i = 0; i < word.size(); ++i) {
            const QChar next = i + 1 < word.size() ? word[i + 1] : QChar();
            if (word[i] != QLatin1Char('%') || next.isNull()) {
                out += word[i];
                continue;
            }
            switch (next.unicode()) {
            case 'u':
                out += values.address;
                addressPlaced = true;
                break;
            case 'r':
                out += values.referer;
                break;
            case 'a':
                out += values.userAgent;
                break;
            case 'c':
                out += values.cookie;
                break;
            case '%':
                out += QLatin1Char('%');
                break;
            default:
                out += word[i];
                continue; // not a placeholder: the next character is copied on its own
            }
            ++i;
        }
        expanded << out;
    }
    if (!addressPlaced)
        expanded << values.address;
    CommandLine line;
    line.program = expanded.takeFirst();
    line.arguments = expanded;
    return line;
}

std::optional<QString> CommandTemplate::Start(const CommandLine& line) {
    QProcess process;
    process.setProgram(line.program);
    process.setArguments(line.arguments);
    if (process.startDetached())
        return std::nullopt;
    return QStringLiteral("无法启动下载程序“%1”：%2").arg(line.program, process.errorString());
}
