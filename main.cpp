// Velmora: lists the media addresses in the traffic this machine sees.
#include "desktop/FixedSizeWindows.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/Form1.h"
#include "mainwindow/QtTranslations.h"
#include "mainwindow/WebEngineEnvironment.h"
#include "skin/xptopbuttons.h"
#include "splash/frmSplash.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QScreen>
#include <QTabBar>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

// --screenshot FILE: grabs the splash (name-splash.png), then the window once the start page had time to load
// (FILE), its options page (name-options.png) and the window at its minimum size with the data window hidden
// and shown and on its options page (name-minimum.png, name-minimum-data.png, name-minimum-options.png) and
// maximised by its button (name-maximised.png), then quits. For checking the rendering on machines
// without a screenshot tool.
QString ScreenshotArgument(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0)
            return QString::fromLocal8Bit(argv[i + 1]);
    }
    return {};
}

// What the user sees of W: on X11 the screen's pixels, shaped corners included; elsewhere the widget itself.
QPixmap Shot(QWidget& w) {
    if (QGuiApplication::platformName() == QLatin1String("xcb") && w.screen()) {
        const QRect g = w.frameGeometry();
        return w.screen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
    }
    return w.grab();
}

QString Beside(const QString& file, const QString& suffix) {
    const QFileInfo info(file);
    return info.dir().filePath(info.completeBaseName() + suffix + QStringLiteral(".png"));
}

// Runs STEPS one after another, DELAY ms apart, so each change is painted before the next grab.
void RunSteps(QObject* context, std::shared_ptr<std::vector<std::function<void()>>> steps, std::size_t next,
              int delay) {
    if (next >= steps->size())
        return;
    QTimer::singleShot(delay, context, [context, steps, next, delay] {
        (*steps)[next]();
        RunSteps(context, steps, next + 1, delay);
    });
}

void ScheduleScreenshots(Form1& window, const QString& file) {
    auto steps = std::make_shared<std::vector<std::function<void()>>>();
    steps->push_back([&window, file] {
        Shot(window).save(file);
        window.TabS1()->setCurrentIndex(1);
    });
    steps->push_back([&window, file] {
        Shot(window).save(Beside(file, QStringLiteral("-options")));
        window.TabS1()->setCurrentIndex(0);
        window.resize(1, 1); // snaps back to the minimum
    });
    steps->push_back([&window, file] {
        Shot(window).save(Beside(file, QStringLiteral("-minimum")));
        window.Cmd1(2)->click();
    });
    steps->push_back([&window, file] {
        Shot(window).save(Beside(file, QStringLiteral("-minimum-data")));
        window.Cmd1(2)->click();
        window.TabS1()->setCurrentIndex(1);
    });
    steps->push_back([&window, file] {
        Shot(window).save(Beside(file, QStringLiteral("-minimum-options")));
        window.TabS1()->setCurrentIndex(0);
        window.maxb1()->click();
    });
    steps->push_back([&window, file] {
        Shot(window).save(Beside(file, QStringLiteral("-maximised")));
        window.Unload();
    });
    // The start page has had time to load by the first grab.
    QTimer::singleShot(3500, &window, [&window, steps] { RunSteps(&window, steps, 0, 500); });
}

// --help and --version answer on the terminal, before anything asks for a display.
bool AnsweredOnTerminal(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("velmora " VELMORA_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs("usage: velmora [FILE...]\n"
                       "       velmora --help | --version\n"
                       "\n"
                       "Lists the media addresses in the network traffic of this machine, or in the capture files\n"
                       "(pcap, pcapng) given. For the same without a window, see velmora-cli.\n",
                       stdout);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (AnsweredOnTerminal(argc, argv))
        return 0;
    PrepareWebEngineEnvironment();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    QApplication::setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    InstallQtTranslations(app);
    FixedSizeWindows::Install(app);
    // The window's app id on Wayland (its WM_CLASS "Velmora" on X11 is the entry's StartupWMClass): docks and
    // window switchers then find the entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(VELMORA_APP_ID));
    // Closing the window hides it; the program ends by the exit command.
    QApplication::setQuitOnLastWindowClosed(false);

    const QString screenshot = ScreenshotArgument(argc, argv);

    // The splash comes first; the main window is loaded when its bar is full.
    std::unique_ptr<Form1> window;
    auto* splash = new frmSplash;
    splash->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(splash, &frmSplash::LoadMainWindow, &app, [&app, &window, screenshot] {
        window = std::make_unique<Form1>();
        QApplication::setWindowIcon(window->windowIcon());
        QObject::connect(window.get(), &Form1::Unloaded, &app, &QApplication::quit, Qt::QueuedConnection);
        window->show();
        window->raise();
        window->activateWindow();
        // velmora FILE...: the capture files are read as a capture run once the window is up.
        if (const QStringList files = CaptureFileOpener::FileArguments(QCoreApplication::arguments()); !files.isEmpty())
            window->findChild<CaptureFileOpener*>()->Open(files);
        if (!screenshot.isEmpty())
            ScheduleScreenshots(*window, screenshot);
    });
    splash->show();
    if (!screenshot.isEmpty()) {
        QTimer::singleShot(2000, splash,
                           [splash, screenshot] { Shot(*splash).save(Beside(screenshot, QStringLiteral("-splash"))); });
    }
    return app.exec();
}
