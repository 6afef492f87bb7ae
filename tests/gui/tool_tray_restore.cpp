// The main window on a real compositor, minimised by its own minimise button, then given the tray
// icon's left click as the tray host's Activate brings it. Driven over standard input by a test that
// looks at the screen: it says "minimised", waits for "activate", says "restored", waits for "quit".
//   tool_tray_restore SETTINGS_FOLDER DEFAULT_SETTINGS
#include "desktop/TrayIcon.h"
#include "mainwindow/Form1.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Form1::Options options;
    options.settingsPath = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/setting.ini");
    options.defaultSettingsPath = QString::fromLocal8Bit(argv[2]);
    options.webBrowser = false;
    options.trayIcon = true;
    Form1 form(options);
    form.show();
    QTimer::singleShot(2000, &form, [&form] {
        form.minb1_Click();
        std::puts("minimised");
        std::fflush(stdout);
    });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &form, [&] {
        char line[64] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (n <= 0 || std::strncmp(line, "quit", 4) == 0) {
            QCoreApplication::quit();
        } else if (std::strncmp(line, "activate", 8) == 0) {
            form.trayIcon()->OnActivated(QSystemTrayIcon::Trigger);
            std::puts("restored");
            std::fflush(stdout);
        }
    });
    return app.exec();
}
