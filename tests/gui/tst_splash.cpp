// The splash window on the offscreen platform: its card, the bar's blocks tick by tick, the hand-over after
// the 19th tick, and a click that opens the maker's page without cutting the wait short. Ticks are driven by
// calling the tick handler; the real timer is checked and then stopped so it cannot add ticks of its own.
#include "skin/mod_gardient.h"
#include "splash/frmSplash.h"

#include <QDesktopServices>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class SplashUrlCatcher final : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

namespace {

QImage barImage(const frmSplash& splash) {
    return splash.picpgb2()->pixmap().toImage();
}

// Whether the block's picture stands in the bar with its top-left corner at (x, 4).
bool blockAt(const frmSplash& splash, int x) {
    const QImage bar = barImage(splash);
    const QImage block = splash.Block().toImage();
    for (int y = 0; y < block.height(); ++y)
        for (int dx = 0; dx < block.width(); ++dx)
            if (bar.pixel(x + dx, frmSplash::kBlockY + y) != block.pixel(dx, y))
                return false;
    return true;
}

} // namespace

class TestSplash final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        for (const char* scheme : {"http", "https"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher_, "open");
        catcher_.opened.clear();
    }
    void cleanup() {
        for (const char* scheme : {"http", "https"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void cardLooksAsDesigned() {
        frmSplash splash;
        QCOMPARE(splash.size(), QSize(420, 264));
        QVERIFY(splash.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(splash.picpgb2()->geometry(), QRect(16, 224, 383, 19));
        QCOMPARE(splash.Block().size(), QSize(8, 12));
        QCOMPARE(splash.Timer1()->interval(), 200);
        QVERIFY(splash.Timer1()->isActive());

        auto label = [&splash](const char* name) { return splash.findChild<QLabel*>(QString::fromLatin1(name)); };
        QCOMPARE(label("lblTitle")->text(), QStringLiteral("Velmora v3.0"));
        QVERIFY(label("lblTitle")->font().bold());
        QCOMPARE(label("lblTagline")->text(), QStringLiteral("-----网络信息的克星"));
        QCOMPARE(label("imgLogo")->pixmap().size(), QSize(48, 48));
        const auto lines = frmSplash::ContactLines();
        const char* names[] = {"Label1", "Label2", "Label3", "Label4"};
        QRect card = splash.rect();
        for (int i = 0; i < 4; ++i) {
            QLabel* line = label(names[i]);
            QCOMPARE(line->text(), lines[static_cast<std::size_t>(i)]);
            // Every text fits on the card and above the bar.
            QVERIFY2(card.contains(line->geometry()), names[i]);
            QVERIFY2(line->geometry().bottom() < splash.picpgb2()->y(), names[i]);
        }
        QVERIFY(card.contains(label("lblTitle")->geometry()));

        // The background runs from the start colour at the left edge towards the end colour at the right.
        const QImage shot = splash.grab().toImage();
        QCOMPARE(QColor(shot.pixel(0, 5)), QColor(131, 166, 244));
        QCOMPARE(QColor(shot.pixel(419, 5)),
                 velmora::mod_gardient::gradient_colour(419, 420, frmSplash::kStartColour, frmSplash::kEndColour));
        QCOMPARE(QColor(shot.pixel(210, 260)), QColor(shot.pixel(210, 5)));
        // The bar starts empty.
        QVERIFY(!blockAt(splash, 0));
    }

    void barGrowsTwoBlocksPerTickAndHandsOverAtTheNineteenth() {
        frmSplash splash;
        splash.show();
        splash.Timer1()->stop();
        QSignalSpy handOver(&splash, &frmSplash::LoadMainWindow);
        const QColor track = QColor(barImage(splash).pixel(8, 8));

        for (int tick = 1; tick <= 18; ++tick) {
            splash.Timer1_Timer();
            QCOMPARE(splash.DrawingPosition(), 20 * tick);
            QCOMPARE(handOver.count(), 0);
            QVERIFY(splash.isVisible());
        }
        // Blocks 8 wide with gaps of 2: the gap pixels keep the track.
        for (int block = 0; block < 36; ++block)
            QVERIFY2(blockAt(splash, 10 * block), qPrintable(QString::number(block)));
        QCOMPARE(QColor(barImage(splash).pixel(8, 8)), track);
        QCOMPARE(QColor(barImage(splash).pixel(9, 8)), track);
        QVERIFY(!blockAt(splash, 360));

        splash.Timer1()->start(); // the 19th stops it
        splash.Timer1_Timer();
        QCOMPARE(splash.DrawingPosition(), 380);
        QVERIFY(blockAt(splash, 360));
        QVERIFY(blockAt(splash, 370));
        QCOMPARE(handOver.count(), 1);
        QVERIFY(!splash.Timer1()->isActive());
        QVERIFY(!splash.isVisible());
        QVERIFY(splash.IsUnloaded());

        // A tick that was already queued does nothing more.
        splash.Timer1_Timer();
        QCOMPARE(handOver.count(), 1);
        QCOMPARE(splash.DrawingPosition(), 380);
    }

    void clickOpensTheMakersPageAndKeepsTheWait() {
        frmSplash splash;
        splash.show();
        QVERIFY(QTest::qWaitForWindowExposed(&splash));
        splash.Timer1()->stop();
        QSignalSpy handOver(&splash, &frmSplash::LoadMainWindow);

        splash.Timer1_Timer();
        QTest::mouseClick(&splash, Qt::LeftButton, {}, QPoint(300, 90));
        QCOMPARE(catcher_.opened, QList<QUrl>{QUrl(QStringLiteral("https://velmora.example/"))});
        // A click on a text opens it too; a right click does not.
        QTest::mouseClick(splash.findChild<QLabel*>(QStringLiteral("Label3")), Qt::LeftButton);
        QTest::mouseClick(&splash, Qt::RightButton, {}, QPoint(300, 90));
        QCOMPARE(catcher_.opened.size(), 2);
        QVERIFY(splash.isVisible());
        QCOMPARE(splash.DrawingPosition(), 20);

        for (int tick = 2; tick <= 18; ++tick)
            splash.Timer1_Timer();
        QCOMPARE(handOver.count(), 0);
        splash.Timer1_Timer();
        QCOMPARE(handOver.count(), 1);
    }

    void timerDrivesTheTicks() {
        // The wiring of Timer1 to the tick, with the interval shortened so nothing waits 3.8 s.
        frmSplash splash;
        splash.show();
        QSignalSpy handOver(&splash, &frmSplash::LoadMainWindow);
        splash.Timer1()->setInterval(1);
        QVERIFY(handOver.wait(5000));
        QCOMPARE(splash.DrawingPosition(), 380);
        QVERIFY(!splash.isVisible());
    }

private:
    SplashUrlCatcher catcher_;
};

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
