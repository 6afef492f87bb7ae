// The skinned window frame in a frameless host window on the offscreen platform: the title in three slices,
// the borders, the shape cut from the shipped title images, resizing on release, double-click, active look.
#include "skin/trans_colour.h"
#include "skin/xp_canvas.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTest>

using namespace velmora;

namespace {

QImage flat(QSize size, QColor colour) {
    QImage img(size, QImage::Format_ARGB32);
    img.fill(colour);
    return img;
}

// A title picture whose two 5-pixel caps and middle have colours of their own.
QImage slicedTitle(QColor left, QColor middle, QColor right) {
    QImage img = flat(QSize(66, 29), middle);
    for (int y = 0; y < 29; ++y)
        for (int x = 0; x < 5; ++x) {
            img.setPixelColor(x, y, left);
            img.setPixelColor(61 + x, y, right);
        }
    return img;
}

CanvasSkin testSkin(int shade) {
    auto c = [shade](int r, int g, int b) { return QColor(r, g, std::min(255, b + shade)); };
    return {slicedTitle(c(200, 0, 0), c(0, 200, 0), c(0, 0, 200)),
            slicedTitle(c(100, 0, 0), c(0, 100, 0), c(0, 0, 100)), flat({5, 31}, c(50, 50, 0)),
            flat({5, 31}, c(0, 50, 50)), flat({49, 5}, c(50, 0, 50))};
}

int area(const QRegion& r) {
    int sum = 0;
    for (const QRect& rect : r)
        sum += rect.width() * rect.height();
    return sum;
}

// The host the frame is made for: frameless, the canvas over its whole client area, the shape recut on resize.
class Host : public QWidget {
public:
    Host() : canvas(new xp_canvas(this)) { setWindowFlags(Qt::FramelessWindowHint); }
    xp_canvas* canvas;

protected:
    void resizeEvent(QResizeEvent*) override {
        canvas->setGeometry(rect());
        canvas->make_trans(this);
    }
};

const QRect kStart(100, 100, 400, 300);

// The offscreen platform keeps the shape on the widget but warns on every cut; the shape is what is checked.
QtMessageHandler g_testLog = nullptr;

void quietAboutMasks(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.contains(QLatin1String("does not support setting window masks")) && g_testLog)
        g_testLog(type, context, message);
}

} // namespace

class TestSkinCanvas : public QObject {
    Q_OBJECT

    std::unique_ptr<Host> host;
    xp_canvas* canvas = nullptr;

    QWidget* piece(const char* name) { return canvas->findChild<QWidget*>(QLatin1String(name)); }
    QImage shot() { return canvas->grab().toImage(); }

private slots:
    void initTestCase() { g_testLog = qInstallMessageHandler(quietAboutMasks); }

    void init() {
        host = std::make_unique<Host>();
        canvas = host->canvas;
        host->setGeometry(kStart);
        host->show();
        QVERIFY(QTest::qWaitForWindowExposed(host.get()));
        host->activateWindow();
        QTRY_VERIFY(host->isActiveWindow());
    }
    void cleanup() { host.reset(); }

    void shippedTitleRoundsOnlyTheTopCorners() {
        // Rows 0 to 4 lose 5, 3, 2, 1, 1 pixels at each end: 24 in all; row 5 and below keep every pixel.
        const QRegion shape = host->mask();
        QCOMPARE(area(shape), 400 * 300 - 24);
        const int cut[] = {5, 3, 2, 1, 1, 0};
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 400; ++x) {
                const bool outside = x < cut[y] || x >= 400 - cut[y];
                QCOMPARE(shape.contains(QPoint(x, y)), !outside);
            }
        QCOMPARE(shape.intersected(QRect(0, 6, 400, 294)), QRegion(0, 6, 400, 294));
        // Where a compositor draws the window the shape only limits input (Wayland): the same pixels are
        // painted fully transparent on the see-through host, and the key colour is shown nowhere.
        QVERIFY(host->testAttribute(Qt::WA_TranslucentBackground));
        const QImage painted = host->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        for (int y = 0; y < painted.height(); ++y)
            for (int x = 0; x < painted.width(); ++x) {
                const QRgb pixel = painted.pixel(x, y);
                QVERIFY(qAlpha(pixel) == 0 || (pixel & 0xFFFFFF) != 0xFF00FF);
                QCOMPARE(qAlpha(pixel), shape.contains(QPoint(x, y)) ? 255 : 0);
            }

        // After a resize the shape is recut for the new width; maximised it is a plain rectangle.
        host->resize(333, 222);
        QTRY_COMPARE(area(host->mask()), 333 * 222 - 24);
        QVERIFY(!host->mask().contains(QPoint(332, 0)));
        host->showMaximized();
        QTRY_VERIFY(host->isMaximized());
        QTRY_COMPARE(area(host->mask()), host->width() * host->height());
    }

    void titleInThreeSlicesAndBorders() {
        canvas->setSkin(testSkin(0), testSkin(55));
        const QImage img = shot();
        const int W = 400, H = 300;
        // Caps keep their 5 pixels; the middle stretches.
        for (int y : {0, 3, 28}) {
            QCOMPARE(img.pixelColor(0, y), QColor(200, 0, 0));
            QCOMPARE(img.pixelColor(4, y), QColor(200, 0, 0));
            QCOMPARE(img.pixelColor(5, y), QColor(0, 200, 0));
            QCOMPARE(img.pixelColor(W - 6, y), QColor(0, 200, 0));
            QCOMPARE(img.pixelColor(W - 5, y), QColor(0, 0, 200));
            QCOMPARE(img.pixelColor(W - 1, y), QColor(0, 0, 200));
        }
        QCOMPARE(img.pixelColor(0, 29), QColor(50, 50, 0));
        QCOMPARE(img.pixelColor(4, H - 6), QColor(50, 50, 0));
        QCOMPARE(img.pixelColor(W - 5, 150), QColor(0, 50, 50));
        QCOMPARE(img.pixelColor(W / 2, H - 5), QColor(50, 0, 50));
        QCOMPARE(img.pixelColor(0, H - 1), QColor(50, 0, 50));
        QCOMPARE(img.pixelColor(W / 2, H / 2), canvas->palette().color(QPalette::Window));

        // Maximised: the title comes from imgtopmax.
        host->showMaximized();
        QTRY_VERIFY(host->isMaximized());
        QTRY_COMPARE(shot().pixelColor(100, 2), QColor(0, 100, 0));
        QCOMPARE(shot().pixelColor(2, 2), QColor(100, 0, 0));
    }

    void activeAndInactiveLook() {
        canvas->setSkin(testSkin(0), testSkin(55));
        QVERIFY(canvas->showsActiveSkin());
        QWidget other;
        other.setGeometry(600, 100, 100, 100);
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.activateWindow();
        QTRY_VERIFY(!canvas->showsActiveSkin());
        QCOMPARE(shot().pixelColor(100, 2), QColor(0, 200, 55));
        QCOMPARE(shot().pixelColor(2, 100), QColor(50, 50, 55));
        host->activateWindow();
        QTRY_VERIFY(canvas->showsActiveSkin());
        QCOMPARE(shot().pixelColor(100, 2), QColor(0, 200, 0));
        other.activateWindow();
        QTRY_VERIFY(!canvas->showsActiveSkin());
        canvas->SetFocus(); // forces the active look
        QVERIFY(canvas->showsActiveSkin());
    }

    void captionIconAndLayout() {
        QSignalSpy resized(canvas, &xp_canvas::Resize);
        canvas->setCaption(QStringLiteral("Velmora V3.0 媒体地址"));
        auto* caption = canvas->findChild<QLabel*>(QStringLiteral("lblcaption"));
        auto* shadow = canvas->findChild<QLabel*>(QStringLiteral("lblshadow"));
        QCOMPARE(caption->text(), QStringLiteral("Velmora V3.0 媒体地址"));
        QCOMPARE(shadow->text(), caption->text());
        QCOMPARE(host->windowTitle(), caption->text());
        QCOMPARE(caption->pos(), QPoint(26, 6));
        QCOMPARE(shadow->pos(), QPoint(28, 8));
        QCOMPARE(caption->palette().color(QPalette::WindowText), QColor(255, 255, 255));
        QVERIFY(caption->font().bold());
        QVERIFY(resized.count() >= 1);
        host->resize(500, 350);
        QTRY_COMPARE(piece("imgresize6")->geometry(), QRect(491, 0, 9, 9));
        QCOMPARE(piece("imgresize2")->geometry(), QRect(9, 0, 482, 9));
        QCOMPARE(piece("imgresize4")->geometry(), QRect(491, -4, 9, 9));
        QCOMPARE(piece("picright")->geometry(), QRect(495, 29, 5, 316));
        QCOMPARE(piece("picbottom")->geometry(), QRect(0, 345, 500, 5));

        QPixmap icon(32, 32);
        icon.fill(Qt::red);
        canvas->setIcon(icon);
        QCOMPARE(shot().pixelColor(6 + 8, 8 + 8), QColor(Qt::red));
        QCOMPARE(canvas->writeProperties().value("Caption").toString(), caption->text());
    }

    void resizeOnRelease_data() {
        QTest::addColumn<QString>("pressed");
        QTest::addColumn<QPoint>("delta");
        QTest::addColumn<QRect>("expected");
        const QPoint d(30, 20);
        QTest::newRow("0 left") << "picleft" << d << QRect(130, 100, 370, 300);
        QTest::newRow("1 right") << "picright" << d << QRect(100, 100, 430, 300);
        QTest::newRow("2 top") << "imgresize2" << d << QRect(100, 120, 400, 280);
        QTest::newRow("3 bottom") << "picbottom" << d << QRect(100, 100, 400, 320);
        QTest::newRow("4 bottom-right") << "imgresize4" << d << QRect(100, 100, 430, 320);
        QTest::newRow("5 bottom-left") << "imgresize5" << d << QRect(130, 100, 370, 320);
        QTest::newRow("6 top-right") << "imgresize6" << d << QRect(100, 120, 430, 280);
        QTest::newRow("7 top-left") << "imgresize7" << d << QRect(130, 120, 370, 280);
        QTest::newRow("7 up and left") << "imgresize7" << QPoint(-10, -10) << QRect(90, 90, 410, 310);
        QTest::newRow("right, no movement") << "picright" << QPoint(0, 0) << kStart;
    }
    void resizeOnRelease() {
        QFETCH(QString, pressed);
        QFETCH(QPoint, delta);
        QFETCH(QRect, expected);
        QWidget* w = piece(qPrintable(pressed));
        QVERIFY(w);
        const QPoint at(2, 2);
        QTest::mousePress(w, Qt::LeftButton, {}, at);
        QTest::mouseMove(w, at + delta / 2);
        QCOMPARE(host->geometry(), kStart); // the window does not follow the mouse
        QTest::mouseRelease(w, Qt::LeftButton, {}, at + delta);
        QCOMPARE(canvas->drag_end() - canvas->drag_start(), delta);
        QTRY_COMPARE(host->geometry(), expected);
        QTRY_COMPARE(canvas->size(), expected.size());
    }

    void pointersAndFixedSingle() {
        const std::pair<const char*, Qt::CursorShape> pointers[] = {
            {"picleft", Qt::SizeHorCursor},      {"picright", Qt::SizeHorCursor},
            {"picbottom", Qt::SizeVerCursor},    {"imgresize2", Qt::SizeVerCursor},
            {"imgresize4", Qt::SizeFDiagCursor}, {"imgresize5", Qt::SizeBDiagCursor},
            {"imgresize6", Qt::SizeBDiagCursor}, {"imgresize7", Qt::SizeFDiagCursor}};
        for (auto [name, shape] : pointers)
            QCOMPARE(piece(name)->cursor().shape(), shape);

        canvas->setFixed_Single(true);
        for (auto [name, shape] : pointers)
            QCOMPARE(piece(name)->cursor().shape(), Qt::ArrowCursor);
        QTest::mousePress(piece("picright"), Qt::LeftButton, {}, QPoint(2, 2));
        QTest::mouseRelease(piece("picright"), Qt::LeftButton, {}, QPoint(50, 2));
        QTest::mouseDClick(piece("pictop"), Qt::LeftButton, {}, QPoint(200, 15));
        QTest::qWait(50);
        QCOMPARE(host->geometry(), kStart);
        QVERIFY(!host->isMaximized());

        canvas->setFixed_Single(false);
        QTest::mouseDClick(piece("pictop"), Qt::LeftButton, {}, QPoint(200, 15));
        QTRY_VERIFY(host->isMaximized());
        for (auto [name, shape] : pointers)
            QTRY_COMPARE(piece(name)->cursor().shape(), Qt::ArrowCursor);
        // A maximised window refuses to be sized by the borders.
        const QRect maximised = host->geometry();
        QTest::mousePress(piece("picright"), Qt::LeftButton, {}, QPoint(2, 2));
        QTest::mouseRelease(piece("picright"), Qt::LeftButton, {}, QPoint(50, 2));
        QCOMPARE(host->geometry(), maximised);
        // The caption label counts as title too.
        QTest::mouseDClick(canvas->findChild<QLabel*>(QStringLiteral("lblcaption")), Qt::LeftButton, {}, QPoint(1, 1));
        QTRY_VERIFY(!host->isMaximized());
        QTRY_COMPARE(piece("picleft")->cursor().shape(), Qt::SizeHorCursor);
    }

    void titleDragsTheWindow() {
        // The offscreen platform refuses the hand-off to the window system, so the window follows the pointer.
        // Events carry the pointer's screen position, which does not move with the window.
        QWidget* title = piece("pictop");
        auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButtons held) {
            const QPointF local = title->mapFromGlobal(QPointF(global));
            QMouseEvent e(type, local, QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                          Qt::NoModifier);
            QApplication::sendEvent(title, &e);
        };
        canvas->setFixed_Single(true); // does not prevent dragging
        const QPoint grab = title->mapToGlobal(QPoint(200, 15));
        send(QEvent::MouseButtonPress, grab, Qt::LeftButton);
        send(QEvent::MouseMove, grab + QPoint(30, 20), Qt::LeftButton);
        send(QEvent::MouseMove, grab + QPoint(40, 30), Qt::LeftButton);
        send(QEvent::MouseButtonRelease, grab + QPoint(40, 30), Qt::NoButton);
        QTRY_COMPARE(host->pos(), kStart.topLeft() + QPoint(40, 30));
        QCOMPARE(host->size(), kStart.size());
        // A move without a press moves nothing; nor does a drag of a maximised window.
        send(QEvent::MouseMove, grab + QPoint(90, 90), Qt::NoButton);
        QCOMPARE(host->pos(), kStart.topLeft() + QPoint(40, 30));
        host->showMaximized();
        QTRY_VERIFY(host->isMaximized());
        const QPoint maximised = host->pos();
        QTest::mousePress(title, Qt::LeftButton, {}, QPoint(200, 15));
        QTest::mouseMove(title, QPoint(260, 55));
        QTest::mouseRelease(title, Qt::LeftButton, {}, QPoint(260, 55));
        QCOMPARE(host->pos(), maximised);
    }

    void surfaceEventsReachTheHost() {
        QStringList order;
        connect(canvas, &xp_canvas::MouseDown,
                [&](int b, int, int x, int y) { order << QStringLiteral("down %1 %2,%3").arg(b).arg(x).arg(y); });
        connect(canvas, &xp_canvas::MouseUp, [&](int b, int, int, int) { order << QStringLiteral("up %1").arg(b); });
        connect(canvas, &xp_canvas::Click, [&] { order << QStringLiteral("Click"); });
        connect(canvas, &xp_canvas::DblClick, [&] { order << QStringLiteral("DblClick"); });
        connect(canvas, &xp_canvas::KeyDown,
                [&](int key, int shift) { order << QStringLiteral("key %1 %2").arg(key).arg(shift); });
        QTest::mouseClick(canvas, Qt::LeftButton, {}, QPoint(200, 150));
        QTest::mouseClick(piece("picleft"), Qt::LeftButton, {}, QPoint(2, 50));  // borders raise nothing
        QTest::mouseClick(piece("pictop"), Qt::LeftButton, {}, QPoint(200, 20)); // nor does the title
        QTest::mouseDClick(canvas, Qt::LeftButton, {}, QPoint(200, 150));
        QTest::keyClick(canvas, Qt::Key_A, Qt::ShiftModifier);
        QCOMPARE(order, QStringList({"down 1 200,150", "up 1", "Click", "DblClick",
                                     QStringLiteral("key %1 1").arg(int(Qt::Key_Shift)),
                                     QStringLiteral("key %1 1").arg(int(Qt::Key_A))}));
    }
};

QTEST_MAIN(TestSkinCanvas)
#include "tst_skin_canvas.moc"
