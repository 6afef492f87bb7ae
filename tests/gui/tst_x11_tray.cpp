// The tray icon on a real X server with a tray host (run under Xvfb + jwm + trayer): it appears with
// its tip, a left click on it brings a hidden or minimised window back, a right click thanks the user.
// The clicks are real pointer events sent with xdotool onto the icon's place in the tray.
#include "tst_mainwindow_support.h"

#include "desktop/TrayIcon.h"

#include <QProcess>
#include <QSystemTrayIcon>

using namespace testsupport;

namespace {

bool ClickAt(const QPoint& point, int button) {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"),
                  {QStringLiteral("mousemove"), QString::number(point.x()), QString::number(point.y()),
                   QStringLiteral("click"), QString::number(button)});
    return xdotool.waitForFinished(5000) && xdotool.exitCode() == 0;
}

} // namespace

class TestX11Tray final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void iconRestoresTheWindow();
};

void TestX11Tray::initTestCase() {
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("needs an X server with a tray host (tests/run-under-xvfb.sh)");
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);
}

void TestX11Tray::iconRestoresTheWindow() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options({Adapter("eth0", 0xC0A80105, 0xFFFFFF00)});
    options.trayIcon = true;
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    TrayIcon* tray = form.trayIcon();
    QVERIFY(tray && tray->IsInstalled());
    QVERIFY(tray->Icon()->isVisible());
    QCOMPARE(tray->Tip(), QStringLiteral("Velmora V3.0 欢迎使用"));
    // The icon is embedded once the tray host has taken it.
    QTRY_VERIFY_WITH_TIMEOUT(tray->Icon()->geometry().width() > 0, 10000);
    const QPoint icon = tray->Icon()->geometry().center();

    // With a tray, closing hides the window; a left click on the icon shows it again.
    QVERIFY(!form.close());
    QTRY_VERIFY(!form.isVisible());
    QVERIFY(ClickAt(icon, 1));
    QTRY_VERIFY_WITH_TIMEOUT(form.isVisible(), 5000);
    QVERIFY(!form.isMinimized());

    // Minimised: restored to the normal state.
    form.showMinimized();
    QTRY_VERIFY(form.isMinimized());
    QTest::qWait(500); // the window manager iconifies in its own time
    QVERIFY(ClickAt(icon, 1));
    QTRY_VERIFY_WITH_TIMEOUT(!form.isMinimized(), 5000);
    QVERIFY(form.isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::qWait(300);
    QVERIFY(!form.isMinimized());

    // The right button thanks the user, every time, and leaves the window as it is.
    form.HideWindow();
    QTRY_VERIFY(!form.isVisible());
    QVERIFY(ClickAt(icon, 3));
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.Count(), 1, 5000);
    QCOMPARE(dialogs.Last().text, TrayIcon::ThankYouMessage());
    QVERIFY(dialogs.Last().text.startsWith(QStringLiteral("谢谢你使用VelmoraV3.0。更多信息请访问")));
    QCOMPARE(dialogs.Last().icon, QMessageBox::NoIcon);
    QTest::qWait(QApplication::doubleClickInterval() + 100); // two quick presses would be a double click
    QVERIFY(ClickAt(icon, 3));
    QTRY_COMPARE_WITH_TIMEOUT(dialogs.Count(), 2, 5000);
    QTest::qWait(200);
    QVERIFY(!form.isVisible());

    // The activation Qt reports for a left click does the same as the click.
    tray->OnActivated(QSystemTrayIcon::Trigger);
    QVERIFY(form.isVisible());

    // Unloading removes the icon.
    form.Unload();
    QVERIFY(!tray->IsInstalled());
    QVERIFY(!tray->Icon());
}

VELMORA_GUI_TEST_MAIN(TestX11Tray)
#include "tst_x11_tray.moc"
