#pragma once
// Starts a program the user keeps after Velmora ends (a browser, a download manager) as a stranger to
// this process: in a session of its own, with standard input, output and error on /dev/null and no
// other descriptor. Qt 6.4's startDetached passes every descriptor not marked close-on-exec (the
// embedded browser's sockets among them), which kept its helper processes alive for as long as the
// started browser ran, and it does not call a child process modifier.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

struct DetachedProcess {
    QString program; // a path, or a name looked up on the PATH of `environment`
    QStringList arguments = {};
    QString workingDirectory = {}; // empty: Velmora's own
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();

    // The pid of the started program, or why it could not start (strerror's text, in English).
    struct Started {
        qint64 pid = 0;
        QString error;
        explicit operator bool() const { return pid > 0; }
    };
    Started Start() const;
};
