// Asks a fixed-size message box to maximise, as the maximise button Qt draws on Wayland does, then makes
// it paint again; ends with 0 when the program is still connected. With --unguarded the application
// runs without FixedSizeWindows (to show what the guard prevents).
#include "desktop/FixedSizeWindows.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>

#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (!(argc > 1 && std::strcmp(argv[1], "--unguarded") == 0))
        FixedSizeWindows::Install(app);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Velmora"), QStringLiteral("关于"), QMessageBox::Ok);
    box.show();
    QTimer::singleShot(1500, &box, [&box] { box.windowHandle()->setWindowStates(Qt::WindowMaximized); });
    QTimer::singleShot(3000, &box, [&box] { box.setText(QStringLiteral("再画一次")); box.repaint(); });
    QTimer::singleShot(4500, &app, [] { QCoreApplication::exit(0); });
    return app.exec();
}
