// Velmora: lists the media addresses in the traffic this machine sees.
#include "mainwindow/Form1.h"
#include "mainwindow/WebEngineEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QTimer>

#include <cstring>

namespace {

// --screenshot FILE: grabs the window (and its options page) once the start page had time to load, then quits.
// For checking the rendering on machines without a screenshot tool.
QString ScreenshotArgument(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0)
            return QString::fromLocal8Bit(argv[i + 1]);
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    PrepareWebEngineEnvironment();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QStringLiteral("3.0"));
    // Closing the window hides it; the program ends by the exit command.
    QApplication::setQuitOnLastWindowClosed(false);

    Form1 window;
    QApplication::setWindowIcon(window.windowIcon());
    QObject::connect(&window, &Form1::Unloaded, &app, &QApplication::quit, Qt::QueuedConnection);
    window.show();
    window.raise();
    window.activateWindow();

    const QString screenshot = ScreenshotArgument(argc, argv);
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(4000, &window, [&window, screenshot] {
            window.grab().save(screenshot);
            // The options page too, beside it: name-options.png.
            window.BringFrameToFront(1);
            const QFileInfo info(screenshot);
            window.grab().save(info.dir().filePath(info.completeBaseName() + QStringLiteral("-options.png")));
            window.Unload();
        });
    }
    return app.exec();
}
