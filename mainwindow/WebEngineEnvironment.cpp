#include "mainwindow/WebEngineEnvironment.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QString>

#include <unistd.h>

void PrepareWebEngineEnvironment() {
    const bool root = ::geteuid() == 0;
    // Chromium's zygote will not run as root with its sandbox on; there is no other way round it.
    if (root && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");

    const bool noGpu = !QFileInfo::exists(QStringLiteral("/dev/dri"));
    const bool offscreen = qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen");
    if (root || noGpu || offscreen) {
        QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
        if (!flags.contains("--disable-gpu")) {
            if (!flags.isEmpty())
                flags += ' ';
            flags += "--disable-gpu";
            qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
        }
    }
    // WebEngine prints its whole start-up configuration at info level when the sandbox is off; the
    // user's own QT_LOGGING_RULES still win.
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    // WebEngine shares its OpenGL context with the widgets; it must be set before the application exists.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}
