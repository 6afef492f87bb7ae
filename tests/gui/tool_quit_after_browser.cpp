// The program's life in short, for a test that watches from outside: the window with its start page in
// the embedded browser, the user's browser started as the key-log button starts it, then "退 出". The
// test then looks for anything of this process left running.
//   tool_quit_after_browser SETTINGS_FOLDER DEFAULT_SETTINGS KEY_LOG
#include "desktop/BrowserLauncher.h"
#include "mainwindow/Form1.h"
#include "mainwindow/WebEngineEnvironment.h"

#include <QApplication>
#include <QTimer>
#include <QWebEngineView>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    PrepareWebEngineEnvironment();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Form1::Options options;
    options.settingsPath = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/setting.ini");
    options.defaultSettingsPath = QString::fromLocal8Bit(argv[2]);
    options.webBrowser = true;
    options.trayIcon = false;
    Form1 form(options);
    QObject::connect(&form, &Form1::Unloaded, &app, &QApplication::quit, Qt::QueuedConnection);
    form.show();
    const QString keyLog = QString::fromLocal8Bit(argv[3]);
    int result = 1;
    // Once the start page is up (its helper processes run), the browser, then the exit command.
    QObject::connect(form.WebBr1(), &QWebEngineView::loadFinished, &form, [&](bool) {
        const auto launch = BrowserLauncher::Plan(keyLog, QProcessEnvironment::systemEnvironment());
        const std::optional<QString> failed = launch ? BrowserLauncher::Start(*launch) : BrowserLauncher::NoBrowserMessage();
        if (failed)
            std::fprintf(stderr, "%s\n", qPrintable(*failed));
        else
            result = 0;
        QTimer::singleShot(500, &form, [&form] { form.Unload(); });
    });
    QTimer::singleShot(60000, &app, [] { std::fputs("the start page did not load\n", stderr); QCoreApplication::exit(3); });
    const int code = app.exec();
    return code != 0 ? code : result;
}
