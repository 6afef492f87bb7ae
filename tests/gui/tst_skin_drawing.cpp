// The gradient fill and the colour-keyed region, on images.
#include "skin/mod_gardient.h"
#include "skin/trans_colour.h"

#include <QPainter>
#include <QTest>

using namespace velmora;

namespace {

constexpr quint32 kMagenta = 0xFF00FF;

int area(const QRegion& r) {
    int sum = 0;
    for (const QRect& rect : r)
        sum += rect.width() * rect.height();
    return sum;
}

QImage gradientImage(int width, int height, quint32 start, quint32 end) {
    // One column more than the width, so the line at x = width is seen too.
    QImage img(width + 1, height + 1, QImage::Format_RGB32);
    img.fill(Qt::black);
    QPainter p(&img);
    mod_gardient::draw_gradient(p, QSize(width, height), start, end);
    return img;
}

} // namespace

class TestSkinDrawing : public QObject {
    Q_OBJECT

private slots:
    void gradientEnds() {
        QFETCH(int, width);
        QFETCH(quint32, start);
        QFETCH(quint32, end);
        const QImage img = gradientImage(width, 10, start, end);
        for (int y : {0, 5, 10}) {
            QCOMPARE(img.pixelColor(0, y), mod_gardient::colour_from_value(start));
            QCOMPARE(img.pixelColor(width, y), mod_gardient::colour_from_value(end));
        }
    }
    void gradientEnds_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<quint32>("start");
        QTest::addColumn<quint32>("end");
        // The splash screen's kind of fill, a falling and a rising channel, one unit, equal colours.
        QTest::newRow("splash") << 400 << quint32(0x8B4513) << quint32(0xFFEBCD);
        QTest::newRow("falling") << 37 << quint32(0xFFFFFF) << quint32(0x000000);
        QTest::newRow("one unit") << 1 << quint32(0x0000FF) << quint32(0xFF0000);
        QTest::newRow("equal") << 50 << quint32(0x336699) << quint32(0x336699);
    }

    void gradientSteps() {
        // Red 255 to 0 over 255 units falls by exactly one per unit; green and blue stay.
        const QImage img = gradientImage(255, 3, 0x0080FF, 0x008000);
        for (int x = 0; x <= 255; ++x)
            QCOMPARE(img.pixelColor(x, 1), QColor(255 - x, 128, 0));
        // Equal colours fill the whole width.
        const QImage flat = gradientImage(20, 3, 0x102030, 0x102030);
        for (int x = 0; x <= 20; ++x)
            QCOMPARE(flat.pixelColor(x, 2), QColor(0x30, 0x20, 0x10));
        // One unit wide: two lines, start then end.
        const QImage two = gradientImage(1, 3, 0x0000FF, 0x00FF00);
        QCOMPARE(two.pixelColor(0, 0), QColor(255, 0, 0));
        QCOMPARE(two.pixelColor(1, 0), QColor(0, 255, 0));
        // Halves go to the even neighbour: 0 -> 1 over 2 gives 0 at the middle, 1 -> 2 over 2 gives 2,
        // 3 -> 0 over 2 gives 2 (1.5), 2 -> 5 over 2 gives 4 (3.5).
        QCOMPARE(mod_gardient::gradient_colour(1, 2, 0, 1).red(), 0);
        QCOMPARE(mod_gardient::gradient_colour(1, 2, 1, 2).red(), 2);
        QCOMPARE(mod_gardient::gradient_colour(1, 2, 3, 0).red(), 2);
        QCOMPARE(mod_gardient::gradient_colour(1, 2, 0x020000, 0x050000).blue(), 4);
        // Colour values are red + 256 x green + 65536 x blue.
        QCOMPARE(mod_gardient::value_from_colour(QColor(1, 2, 3)), quint32(1 + 2 * 256 + 3 * 65536));
        // No width: one line of the start colour rather than a division by zero.
        QCOMPARE(gradientImage(0, 3, 0x0000FF, 0x00FF00).pixelColor(0, 1), QColor(255, 0, 0));
    }

    void regionCutsExactlyTheKeyPixelsOfTheTopRows() {
        const QSize client(40, 30);
        QImage surface(40, 30, QImage::Format_RGB32);
        surface.fill(Qt::white);
        // Nothing keyed: the full client rectangle.
        QCOMPARE(trans_colour::trans_region(surface, client, kMagenta), QRegion(0, 0, 40, 30));

        const QList<QPoint> keyed = {{0, 0}, {39, 0}, {1, 0}, {20, 3}, {0, 5}, {39, 5}};
        for (QPoint p : keyed)
            surface.setPixelColor(p, QColor(255, 0, 255));
        surface.setPixelColor(5, 6, QColor(255, 0, 255)); // row 6: never scanned
        surface.setPixelColor(7, 29, QColor(255, 0, 255));
        surface.setPixelColor(8, 2, QColor(255, 0, 254)); // near the key is not the key
        const QRegion r = trans_colour::trans_region(surface, client, kMagenta);
        QCOMPARE(area(r), 40 * 30 - int(keyed.size()));
        for (QPoint p : keyed)
            QVERIFY(!r.contains(p));
        for (QPoint p : {QPoint(5, 6), QPoint(7, 29), QPoint(8, 2), QPoint(2, 0), QPoint(38, 5)})
            QVERIFY(r.contains(p));
        QCOMPARE(trans_colour::trans_region(surface, client, kMagenta), r); // the same twice

        // A window one pixel wide keeps the rest of its column.
        QImage column(1, 10, QImage::Format_RGB32);
        column.fill(QColor(255, 0, 255));
        QCOMPARE(trans_colour::trans_region(column, QSize(1, 10), kMagenta), QRegion(0, 6, 1, 4));
        column.fill(Qt::white);
        column.setPixelColor(0, 0, QColor(255, 0, 255));
        QCOMPARE(trans_colour::trans_region(column, QSize(1, 10), kMagenta), QRegion(0, 1, 1, 9));

        // A surface of only the top rows, narrower than the window: what it does not cover stays.
        QImage rows(10, 6, QImage::Format_ARGB32);
        rows.fill(QColor(255, 0, 255));
        const QRegion part = trans_colour::trans_region(rows, QSize(30, 20), kMagenta);
        QCOMPARE(area(part), 30 * 20 - 60);
        QVERIFY(part.contains(QPoint(10, 0)));
        QVERIFY(!part.contains(QPoint(9, 5)));
    }
};

QTEST_MAIN(TestSkinDrawing)
#include "tst_skin_drawing.moc"
