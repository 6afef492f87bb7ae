#include "desktop/CommandTemplate.h"

#include "desktop/DetachedProcess.h"

#include <QProcess>

#include <algorithm>
#include <vector>

namespace {

struct Word {
    QString text;
    bool placeholders = false; // it held a placeholder other than %%
    bool allEmpty = true;      // and every one of them was empty
    bool address = false;      // it held %u
    bool second = false;       // it held %v
};

bool isOption(const Word& word) {
    return !word.placeholders && word.text.size() > 1 && word.text.front() == QLatin1Char('-');
}

Word expandWord(const QString& word, const CommandValues& values, bool& secondPlaced) {
    Word out;
    auto put = [&out](const QString& value) {
        out.text += value;
        out.placeholders = true;
        out.allEmpty = out.allEmpty && value.isEmpty();
    };
    for (qsizetype i = 0; i < word.size(); ++i) {
        const QChar next = i + 1 < word.size() ? word[i + 1] : QChar();
        if (word[i] != QLatin1Char('%') || next.isNull()) {
            out.text += word[i];
            continue;
        }
        switch (next.unicode()) {
        case 'u':
            put(values.address);
            out.address = true;
            break;
        case 'r':
            put(values.referer);
            break;
        case 'a':
            put(values.userAgent);
            break;
        case 'c':
            put(values.cookie);
            break;
        case 'v':
            put(values.secondAddress);
            out.second = true;
            secondPlaced = true;
            break;
        case 'o':
            put(values.output);
            break;
        case '%':
            out.text += QLatin1Char('%');
            break;
        default:
            out.text += word[i];
            continue; // not a placeholder: the next character is copied on its own
        }
        ++i;
    }
    return out;
}

} // namespace

std::optional<CommandLine> CommandTemplate::Expand(const QString& text, const CommandValues& values) {
    const QStringList words = QProcess::splitCommand(text);
    if (words.isEmpty() || words.front().isEmpty())
        return std::nullopt;
    bool secondPlaced = false;
    std::vector<Word> expanded;
    for (const QString& word : words)
        expanded.push_back(expandWord(word, values, secondPlaced));

    QStringList kept;
    bool addressPlaced = false;
    qsizetype afterAddress = -1; // where a second input goes
    qsizetype afterInputs = -1;  // where the options that follow the inputs go
    for (std::size_t i = 0; i < expanded.size(); ++i) {
        const Word& word = expanded[i];
        if (word.placeholders && word.allEmpty && i > 0) {
            if (isOption(expanded[i - 1]) && !kept.isEmpty())
                kept.removeLast();
            continue;
        }
        kept << word.text;
        if (word.address) {
            addressPlaced = true;
            afterAddress = kept.size();
        }
        if (word.address || word.second)
            afterInputs = kept.size();
    }
    if (!addressPlaced) {
        kept << values.address;
        afterAddress = afterInputs = kept.size();
    }
    if (!secondPlaced && !values.secondAddress.isEmpty()) {
        const QStringList second =
            addressPlaced ? QStringList{QStringLiteral("-i"), values.secondAddress} : QStringList{values.secondAddress};
        for (qsizetype i = 0; i < second.size(); ++i)
            kept.insert(afterAddress + i, second[i]);
        afterInputs = std::max(afterInputs, afterAddress) + second.size();
    }
    for (qsizetype i = 0; i < values.afterInputs.size(); ++i)
        kept.insert(afterInputs + i, values.afterInputs[i]);

    CommandLine line;
    line.program = kept.takeFirst();
    line.arguments = kept;
    return line;
}

std::optional<QString> CommandTemplate::Start(const CommandLine& line) {
    const DetachedProcess::Started started = DetachedProcess{line.program, line.arguments}.Start();
    if (started)
        return std::nullopt;
    return QStringLiteral("无法启动下载程序“%1”：%2").arg(line.program, started.error);
}
