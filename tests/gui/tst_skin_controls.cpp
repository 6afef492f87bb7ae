// The skinned buttons, check box, group box and caption buttons, drawn from flat-colour test strips and checked
// pixel by pixel on the offscreen platform.
#include "skin/PictureStrip.h"
#include "skin/xpcheckbox.h"
#include "skin/xpcmdbutton.h"
#include "skin/xpgroupbox.h"
#include "skin/xphelp.h"
#include "skin/xptopbuttons.h"

#include <QCursor>
#include <QLabel>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace velmora;

namespace {

QImage render(QWidget* w, QColor background = QColor(0x12, 0x34, 0x56)) {
    QImage img(w->size(), QImage::Format_ARGB32);
    img.fill(background);
    w->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

QColor at(const QImage& img, int x, int y) {
    return img.pixelColor(x, y);
}

// A strip of flat cells, one colour per cell, laid out COLUMNS across.
QImage flatStrip(const QList<QColor>& colours, QSize cell, int columns) {
    const int rows = int((colours.size() + columns - 1) / columns);
    QImage img(cell.width() * columns, cell.height() * rows, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    for (int i = 0; i < colours.size(); ++i)
        p.fillRect(QRect(QPoint((i % columns) * cell.width(), (i / columns) * cell.height()), cell), colours[i]);
    return img;
}

QColor cellColour(int n) {
    return QColor(QColor::fromHsv((n * 29) % 360, 200, 120 + (n * 11) % 120).rgb());
}

QList<QColor> cellColours(int count) {
    QList<QColor> out;
    for (int i = 0; i < count; ++i)
        out << cellColour(i);
    return out;
}

// Sends a move with BUTTONS held, as a real drag over the widget would.
void moveWithButtons(QWidget* w, QPoint pos, Qt::MouseButtons buttons) {
    QMouseEvent e(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// Puts the pointer there; the platform delivers the resulting move (if over a window) on the next event pass.
void pointAt(QPoint global) {
    QCursor::setPos(global);
    QCoreApplication::processEvents();
}

void showAt(QWidget* w, QRect geometry) {
    w->setGeometry(geometry);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
}

const QPoint kFarAway(795, 595); // on the offscreen screen, away from every test window

} // namespace

class TestSkinControls : public QObject {
    Q_OBJECT

private slots:
    void init() { pointAt(kFarAway); }

    void pictureStripCutsCellsInReadingOrder() {
        const QImage grid = flatStrip(cellColours(6), QSize(4, 3), 3); // 2 rows by 3 columns
        PictureStrip strip(grid, 2, 3);
        QCOMPARE(strip.count(), 6);
        QCOMPARE(strip.cellSize(), QSize(4, 3));
        for (int n = 0; n < 6; ++n) {
            QCOMPARE(strip.cell(n).size(), QSize(4, 3));
            QCOMPARE(strip.cell(n).pixelColor(2, 1), cellColour(n));
        }
        QVERIFY(strip.cell(6).isNull());
        QVERIFY(strip.cell(-1).isNull());
        QVERIFY(PictureStrip(QImage(), 1, 5).cell(0).isNull());
    }

    void shippedStripsHaveTheirSizes() {
        // The shipped pictures are loaded from the resources; a missing or resized one breaks every look.
        xpcmdbutton b;
        b.resize(18, 21);
        b.setText(QString());
        const QImage img = render(&b);
        QVERIFY(img.pixelColor(9, 10).alpha() == 255);
        QVERIFY(img.pixelColor(9, 10) != QColor(0x12, 0x34, 0x56));
    }

    void commandButtonStretchKeepsRim() {
        // Every cell: corners red-ish, edges green-ish, centre blue-ish, distinct per cell.
        QImage strip(90, 21, QImage::Format_ARGB32);
        auto corner = [](int c) { return QColor(200, 10 * c, 0); };
        auto edge = [](int c) { return QColor(0, 200, 10 * c); };
        auto centre = [](int c) { return QColor(10 * c, 0, 200); };
        for (int c = 0; c < 5; ++c)
            for (int y = 0; y < 21; ++y)
                for (int x = 0; x < 18; ++x) {
                    const bool ex = x < 3 || x >= 15, ey = y < 3 || y >= 18;
                    strip.setPixelColor(c * 18 + x, y, ex && ey ? corner(c) : ex || ey ? edge(c) : centre(c));
                }
        xpcmdbutton b;
        b.setPictures(strip);
        const QList<QSize> sizes = {{6, 6}, {7, 7}, {18, 21}, {83, 25}, {200, 60}, {9, 40}};
        for (const QSize& size : sizes) {
            b.resize(size);
            const QImage img = render(&b);
            const int W = size.width(), H = size.height();
            for (int y = 0; y < H; ++y)
                for (int x = 0; x < W; ++x) {
                    const bool ex = x < 3 || x >= W - 3, ey = y < 3 || y >= H - 3;
                    const QColor want = ex && ey ? corner(0) : ex || ey ? edge(0) : centre(0);
                    if (at(img, x, y) != want)
                        QFAIL(qPrintable(QStringLiteral("%1x%2 at (%3,%4)").arg(W).arg(H).arg(x).arg(y)));
                }
        }
    }

    void commandButtonLooks() {
        xpcmdbutton b;
        b.setPictures(flatStrip(cellColours(5), QSize(18, 21), 5));
        showAt(&b, QRect(200, 200, 80, 24));
        QSignalSpy out(&b, &xpcmdbutton::MouseOut);
        const QPoint mid(5, 5);
        auto shown = [&] { return at(render(&b), 2, 12); };

        QCOMPARE(shown(), cellColour(xpcmdbutton::Normal));
        pointAt(b.mapToGlobal(mid)); // a real move over the button, no button held
        QCOMPARE(shown(), cellColour(xpcmdbutton::Hover));
        QTest::mousePress(&b, Qt::LeftButton, {}, mid);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Pressed));
        moveWithButtons(&b, mid, Qt::LeftButton);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Pressed));
        moveWithButtons(&b, mid, Qt::LeftButton | Qt::RightButton);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Hover));
        // Right and bottom edges count as inside; beyond them nothing is drawn.
        moveWithButtons(&b, QPoint(80, 24), Qt::LeftButton);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Pressed));
        moveWithButtons(&b, QPoint(81, 24), Qt::NoButton);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Pressed));
        QTest::mouseRelease(&b, Qt::LeftButton, {}, mid);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Normal));

        // Leaving: the timer raises MouseOut once, then the resting look.
        pointAt(b.mapToGlobal(mid + QPoint(1, 1)));
        QCOMPARE(shown(), cellColour(xpcmdbutton::Hover));
        pointAt(b.mapToGlobal(QPoint(80, 24))); // on the edge: still inside
        QTest::qWait(40);
        QCOMPARE(out.count(), 0);
        pointAt(kFarAway);
        QTRY_COMPARE(out.count(), 1);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Normal));
        QTest::qWait(40);
        QCOMPARE(out.count(), 1);

        b.setState(1);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Alternative));
        b.setState(2); // keeps the last resting cell
        QCOMPARE(shown(), cellColour(xpcmdbutton::Alternative));
        b.setState(0);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Normal));
        b.setEnabled(false);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Disabled));
        b.setState(1);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Disabled));
        b.setEnabled(true);
        QCOMPARE(shown(), cellColour(xpcmdbutton::Alternative));
    }

    void commandButtonEventsAndCaption() {
        xpcmdbutton b;
        b.resize(100, 30);
        QStringList order;
        connect(&b, &xpcmdbutton::MouseDown, [&](int button, int, int x, int y) {
            order << QStringLiteral("down %1 %2,%3").arg(button).arg(x).arg(y);
        });
        connect(&b, &xpcmdbutton::MouseUp,
                [&](int button, int, int, int) { order << QStringLiteral("up %1").arg(button); });
        connect(&b, &xpcmdbutton::Click, [&] { order << QStringLiteral("Click"); });
        connect(&b, &QAbstractButton::clicked, [&] { order << QStringLiteral("clicked"); });
        QTest::mouseClick(&b, Qt::LeftButton, Qt::ShiftModifier, QPoint(7, 9));
        QCOMPARE(order, QStringList({"down 1 7,9", "up 1", "Click", "clicked"}));
        order.clear();
        QTest::mouseClick(&b, Qt::RightButton, {}, QPoint(7, 9));
        QCOMPARE(order, QStringList({"down 2 7,9", "up 2"}));

        // Caption is the button's text, centred, black or grey.
        b.setCaption(QStringLiteral("开始嗅探"));
        QCOMPARE(b.text(), QStringLiteral("开始嗅探"));
        QRect r = b.captionRect();
        QVERIFY(qAbs((r.left() + r.right()) - (b.width() - 1)) <= 1);
        QVERIFY(qAbs((r.top() + r.bottom()) - (b.height() - 1)) <= 1);
        b.setText(QStringLiteral("停止"));
        QCOMPARE(b.Caption(), QStringLiteral("停止"));
        QVERIFY(b.captionRect().width() < r.width());
        b.resize(160, 50);
        r = b.captionRect();
        QVERIFY(qAbs((r.left() + r.right()) - (b.width() - 1)) <= 1);

        b.setCaption(QStringLiteral("&Save"));
        QSignalSpy clicks(&b, &xpcmdbutton::Click);
        b.show();
        QVERIFY(QTest::qWaitForWindowExposed(&b));
        b.activateWindow();
        QTest::keyClick(&b, Qt::Key_S, Qt::AltModifier); // the access key clicks
        QTRY_COMPARE(clicks.count(), 1);
    }

    void commandButtonProperties() {
        xpcmdbutton b;
        b.setObjectName(QStringLiteral("Cmd2"));
        QSignalSpy changed(&b, &xpcmdbutton::propertyChanged);
        b.initProperties();
        QCOMPARE(b.Caption(), QStringLiteral("Cmd2"));
        b.readProperties({{QStringLiteral("State"), 1}, {QStringLiteral("Enabled"), false}});
        QCOMPARE(b.State(), 1);
        QVERIFY(!b.isEnabled());
        QCOMPARE(b.Caption(), QStringLiteral("Cmd2")); // the default
        const QVariantMap saved = b.writeProperties();
        QCOMPARE(saved.value("State").toInt(), 1);
        QCOMPARE(saved.value("Enabled").toBool(), false);
        QCOMPARE(saved.value("Caption").toString(), QStringLiteral("Cmd2"));
        QVERIFY(changed.count() >= 3);
    }

    void checkBoxCellsAndClickOrder() {
        xpcheckbox c(QStringLiteral("显示所有数据包"));
        c.setPictures(flatStrip(cellColours(12), QSize(16, 16), 1));
        showAt(&c, QRect(300, 300, 150, 16));
        auto shown = [&] { return at(render(&c), 8, 8); };
        QCOMPARE(c.boxRect(), QRect(0, 0, 16, 16));
        QCOMPARE(c.captionRect().left(), 32);
        QCOMPARE(shown(), cellColour(0));

        QList<int> seen;
        connect(&c, &xpcheckbox::Click, [&] { seen << c.Value(); });
        connect(&c, &QAbstractButton::clicked, [&] { seen << 100 + c.Value(); });
        QTest::mouseClick(&c, Qt::LeftButton, {}, QPoint(8, 8));
        QCOMPARE(seen, QList<int>({0, 101})); // Click sees the old value; clicked the new one
        QCOMPARE(c.Value(), 1);
        QCOMPARE(shown(), cellColour(4));
        QTest::mouseClick(&c, Qt::LeftButton, {}, QPoint(60, 8)); // on the caption
        QCOMPARE(c.Value(), 0);
        QCOMPARE(shown(), cellColour(0));

        c.setValue(2);
        QCOMPARE(shown(), cellColour(8));
        QTest::mouseClick(&c, Qt::LeftButton, {}, QPoint(8, 8));
        QCOMPARE(c.Value(), 0);

        // Hover, press and the odd values.
        for (int v : {0, 1, 2}) {
            c.setValue(v);
            pointAt(c.mapToGlobal(QPoint(8, 8)));
            QCOMPARE(shown(), cellColour(v * 4 + 1));
            moveWithButtons(&c, QPoint(8, 8), Qt::LeftButton);
            QCOMPARE(shown(), cellColour(v * 4 + 2));
            moveWithButtons(&c, QPoint(8, 8), Qt::LeftButton | Qt::RightButton);
            QCOMPARE(shown(), cellColour(v * 4 + 1));
            QTest::mousePress(&c, Qt::LeftButton, {}, QPoint(8, 8));
            QCOMPARE(shown(), cellColour(v * 4 + 2));
            QTest::mouseRelease(&c, Qt::LeftButton, {}, QPoint(400, 8)); // released outside: no click, no repaint
            QCOMPARE(c.Value(), v);
            QCOMPARE(shown(), cellColour(v * 4 + 2));
            pointAt(kFarAway);
            QTRY_COMPARE(shown(), cellColour(v * 4));
        }

        c.setValue(1);
        c.setValue(5);
        QCOMPARE(c.Value(), 5);
        QCOMPARE(shown(), cellColour(4)); // the last picture stays
        seen.clear();
        QTest::mouseClick(&c, Qt::LeftButton, {}, QPoint(8, 8));
        QCOMPARE(c.Value(), 5);
        QCOMPARE(seen, QList<int>({5, 105}));

        for (int v : {0, 1, 2}) {
            c.setValue(v);
            c.setEnabled(false);
            QCOMPARE(shown(), cellColour(v * 4 + 3));
            c.setEnabled(true);
            QCOMPARE(shown(), cellColour(v * 4));
        }
    }

    void checkBoxTimerAndLayout() {
        // The hover timer runs from creation: its first tick with the pointer elsewhere raises one MouseOut.
        xpcheckbox c;
        QSignalSpy out(&c, &xpcheckbox::MouseOut);
        QTRY_COMPARE(out.count(), 1);
        QTest::qWait(40);
        QCOMPARE(out.count(), 1);

        // Layout in twips at 15 per pixel: the box and caption centred by halving the rounded difference.
        QCOMPARE(xpcheckbox::centredTopTwips(400, 240), 80);
        QCOMPARE(xpcheckbox::centredTopTwips(405, 240), 82);
        QCOMPARE(xpcheckbox::centredTopTwips(240, 240), 0);
        c.resize(120, 26); // 390 twips: box at 75 twips, 5 pixels
        QCOMPARE(c.boxRect(), QRect(0, 5, 16, 16));
        QCOMPARE(c.captionRect().left(), 32);
        c.setPictures(flatStrip(cellColours(12), QSize(16, 16), 1));
        const QImage img = render(&c);
        QCOMPARE(at(img, 8, 4), c.palette().color(QPalette::Button));
        QCOMPARE(at(img, 8, 5), cellColour(0));
        QCOMPARE(at(img, 8, 20), cellColour(0));
        QCOMPARE(at(img, 8, 21), c.palette().color(QPalette::Button));
    }

    void groupBoxFrameAndCaption() {
        // Frame picture: a one-pixel line all round in one colour, the corners in another.
        const QColor line(10, 200, 30), corner(200, 10, 30);
        QImage picture(22, 20, QImage::Format_ARGB32);
        picture.fill(Qt::transparent);
        for (int x = 0; x < 22; ++x)
            picture.setPixelColor(x, 0, line), picture.setPixelColor(x, 19, line);
        for (int y = 0; y < 20; ++y)
            picture.setPixelColor(0, y, line), picture.setPixelColor(21, y, line);
        for (QPoint c : {QPoint(0, 0), QPoint(21, 0), QPoint(0, 19), QPoint(21, 19)})
            picture.setPixelColor(c, corner);

        xpgroupbox g(QStringLiteral("Frame2"));
        g.setPicture(picture);
        auto* lbl = g.findChild<QLabel*>(QStringLiteral("lbl"));
        QVERIFY(lbl);
        // Find a caption font whose label is 13 pixels high.
        QFont f = lbl->font();
        for (int px = 8; px < 20 && lbl->height() != 13; ++px) {
            f.setPixelSize(px);
            g.setCaptionFont(f);
        }
        if (lbl->height() != 13)
            QSKIP("no installed font gives a 13-pixel caption");
        g.resize(300, 80);
        QCOMPARE(g.frameTop(), 6);
        const QColor bg(1, 2, 3);
        QImage img = render(&g, bg);
        QCOMPARE(at(img, 0, 6), corner);
        QCOMPARE(at(img, 0, 5), bg);
        QCOMPARE(at(img, 8, 6), line);
        QCOMPARE(at(img, 299, 6), corner);
        QCOMPARE(at(img, 100, 79), line);
        QCOMPARE(at(img, 0, 40), line);
        QCOMPARE(at(img, 299, 40), line);
        QCOMPARE(at(img, 100, 40), bg); // the interior is not painted
        QCOMPARE(lbl->pos(), QPoint(15, 0));
        // The caption's background hides the line behind the text, also after a longer caption.
        g.setCaption(QStringLiteral("Frame2 longer caption"));
        img = render(&g, bg);
        for (int x = 15; x < 15 + lbl->width(); ++x)
            QVERIFY(at(img, x, 6) != line);
        QCOMPARE(at(img, 15 + lbl->width() - 1, 0), g.palette().color(QPalette::Window));
        QCOMPARE(at(img, 15 + lbl->width() + 1, 6), line);

        // Caption colours, seen in the drawn text (no antialiasing, so glyph pixels have the pen's colour).
        auto captionHas = [&](QColor colour) {
            const QImage shot = render(&g, bg);
            for (int y = 0; y < lbl->height(); ++y)
                for (int x = 15; x < 15 + lbl->width(); ++x)
                    if (at(shot, x, y) == colour)
                        return true;
            return false;
        };
        f.setStyleStrategy(QFont::NoAntialias);
        g.setCaptionFont(f);
        QVERIFY(captionHas(QColor(0, 70, 213)));
        g.setEnabled(false);
        QVERIFY(captionHas(QColor(161, 161, 146)));
        QVERIFY(!captionHas(QColor(0, 70, 213)));
        QCOMPARE(at(render(&g, bg), 8, 6), line);

        // 6 pixels wide: the corners and no top or bottom line.
        g.setCaption(QString());
        g.resize(6, 30);
        img = render(&g, bg);
        QCOMPARE(at(img, 0, g.frameTop()), corner);
        QCOMPARE(at(img, 5, g.frameTop()), corner);
        QCOMPARE(at(img, 0, 29), corner);
        QCOMPARE(at(img, 5, 29), corner);
        QCOMPARE(at(img, 2, 29), line); // from the corner piece, not a bottom line
    }

    void groupBoxEvents() {
        xpgroupbox g(QStringLiteral("Frame2"));
        g.resize(200, 80);
        auto* lbl = g.findChild<QLabel*>(QStringLiteral("lbl"));
        QStringList order;
        connect(&g, &xpgroupbox::MouseDown,
                [&](int, int, int x, int y) { order << QStringLiteral("down %1,%2").arg(x).arg(y); });
        connect(&g, &xpgroupbox::MouseUp, [&](int, int, int, int) { order << QStringLiteral("up"); });
        connect(&g, &xpgroupbox::Click, [&] { order << QStringLiteral("Click"); });
        connect(&g, &xpgroupbox::DblClick, [&] { order << QStringLiteral("DblClick"); });
        QTest::mouseClick(&g, Qt::LeftButton, {}, QPoint(50, 50));
        QTest::mouseClick(lbl, Qt::LeftButton, {}, QPoint(3, 4)); // relative to the caption
        QTest::mouseDClick(&g, Qt::LeftButton, {}, QPoint(50, 50));
        QTest::mouseRelease(&g, Qt::LeftButton, {}, QPoint(50, 50));
        QCOMPARE(order, QStringList({"down 50,50", "up", "Click", "down 3,4", "up", "Click", "DblClick", "up"}));
    }

    void captionButtonFaces() {
        xptopbuttons b;
        auto colour = [](int face, int cell) { return QColor(40 + face * 50, 40 + cell * 50, 200); };
        for (int face = 0; face < 4; ++face)
            b.setPictures(face, flatStrip({colour(face, 0), colour(face, 1), colour(face, 2), colour(face, 3)},
                                          QSize(21, 21), 4));
        auto shown = [&] { return at(render(&b), 10, 10); };
        QCOMPARE(b.size(), QSize(21, 21));
        b.resize(50, 10);
        QCOMPARE(b.size(), QSize(21, 21));
        QCOMPARE(shown(), colour(0, 0)); // close face at creation

        b.setValue(1);
        QCOMPARE(shown(), colour(1, 0));
        b.setValue(3);
        QCOMPARE(shown(), colour(3, 0));
        b.setValue(1);
        QCOMPARE(shown(), colour(1, 0));
        b.setValue(7);
        QCOMPARE(b.Value(), 7);
        QCOMPARE(shown(), colour(1, 0));
        b.setEnabled(false);
        QCOMPARE(shown(), colour(1, 3));
        b.setValue(2);
        QCOMPARE(shown(), colour(2, 3));
        b.setEnabled(true);
        QCOMPARE(shown(), colour(2, 0));

        showAt(&b, QRect(400, 100, 21, 21));
        QStringList order;
        connect(&b, &xptopbuttons::MouseDown,
                [&] { order << QStringLiteral("down") << QString::number(b.shownCell()); });
        connect(&b, &xptopbuttons::MouseUp, [&] { order << QStringLiteral("up") << QString::number(b.shownCell()); });
        connect(&b, &xptopbuttons::Click, [&] { order << QStringLiteral("Click"); });
        pointAt(b.mapToGlobal(QPoint(10, 10)));
        QCOMPARE(shown(), colour(2, 1));
        QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(shown(), colour(2, 2));
        moveWithButtons(&b, QPoint(10, 10), Qt::LeftButton | Qt::RightButton);
        QCOMPARE(shown(), colour(2, 1));
        QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(shown(), colour(2, 0));
        QCOMPARE(order, QStringList({"down", "2", "up", "0", "Click"}));
        // A double-click gives one Click only.
        order.clear();
        QTest::mouseClick(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseDClick(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(order.count(QStringLiteral("Click")), 1);

        QSignalSpy out(&b, &xptopbuttons::MouseOut);
        pointAt(b.mapToGlobal(QPoint(12, 12)));
        QCOMPARE(shown(), colour(2, 1));
        pointAt(kFarAway);
        QTRY_COMPARE(out.count(), 1);
        QCOMPARE(shown(), colour(2, 0));

        b.setToolTip(QStringLiteral("Restore"));
        QCOMPARE(b.ToolTip(), QStringLiteral("Restore"));
    }

    // On Wayland the cursor position stops changing once the pointer has left the program's windows, so the
    // 10 ms look at the cursor still finds it on the button: the leave event itself ends the hover, once.
    void hoverEndsOnLeaveThoughTheCursorSeemsInside() {
        xptopbuttons top;
        top.setPictures(0, flatStrip(cellColours(4), QSize(21, 21), 4));
        xpcmdbutton cmd(QStringLiteral("开始"));
        cmd.setPictures(flatStrip(cellColours(5), QSize(18, 21), 5));
        xphelp help;
        help.setPictures(flatStrip(cellColours(3), QSize(21, 21), 3));
        struct Case {
            QWidget* button;
            QRect geometry;
            int hoverCell;
        };
        for (const Case& c : {Case{&top, QRect(300, 300, 21, 21), xptopbuttons::Hover},
                              Case{&cmd, QRect(300, 350, 80, 24), xpcmdbutton::Hover},
                              Case{&help, QRect(300, 400, 21, 21), xphelp::Hover}}) {
            QWidget* button = c.button;
            showAt(button, c.geometry);
            QSignalSpy out(button, SIGNAL(MouseOut()));
            pointAt(button->mapToGlobal(QPoint(5, 5)));
            QTRY_COMPARE(at(render(button), 10, 10), cellColour(c.hoverCell));
            out.clear();
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(button, &leave);
            QCOMPARE(at(render(button), 10, 10), cellColour(0));
            QCOMPARE(out.count(), 1);
            QTest::qWait(50); // the timer has stopped: no second MouseOut, no hover again
            QCOMPARE(out.count(), 1);
            QCOMPARE(at(render(button), 10, 10), cellColour(0));
            button->hide();
        }
    }

    void captionButtonLoadShowsFaceWhenShown() {
        xptopbuttons b;
        auto colour = [](int face) { return QColor(40 + face * 50, 40, 200); };
        for (int face = 0; face < 4; ++face)
            b.setPictures(face, flatStrip({colour(face), Qt::white, Qt::white, Qt::gray}, QSize(21, 21), 4));
        b.readProperties({{QStringLiteral("Value"), 2}});
        QCOMPARE(b.Value(), 2);
        QCOMPARE(at(render(&b), 10, 10), colour(0)); // not shown yet: still the close face
        showAt(&b, QRect(100, 400, 21, 21));
        QCOMPARE(at(render(&b), 10, 10), colour(2));
        QCOMPARE(b.writeProperties().value("Value").toInt(), 2);
    }

    void helpButtonLooks() {
        xphelp h;
        h.setPictures(flatStrip(cellColours(3), QSize(21, 21), 3));
        h.resize(40, 40);
        QCOMPARE(h.size(), QSize(21, 21));
        showAt(&h, QRect(500, 500, 21, 21));
        auto shown = [&] { return at(render(&h), 10, 10); };
        QCOMPARE(shown(), cellColour(0));
        QStringList order;
        connect(&h, &xphelp::MouseUp, [&] { order << QStringLiteral("up %1").arg(h.shownCell()); });
        connect(&h, &xphelp::Click, [&] { order << QStringLiteral("Click %1").arg(h.shownCell()); });
        QTest::mousePress(&h, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(shown(), cellColour(2));
        QTest::mouseRelease(&h, Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(order, QStringList({"up 2", "Click 0"}));
        QCOMPARE(shown(), cellColour(0));
        pointAt(h.mapToGlobal(QPoint(3, 3)));
        moveWithButtons(&h, QPoint(3, 3), Qt::LeftButton | Qt::RightButton);
        QCOMPARE(shown(), cellColour(1));
        pointAt(kFarAway);
        QTRY_COMPARE(shown(), cellColour(0));
    }
};

QTEST_MAIN(TestSkinControls)
#include "tst_skin_controls.moc"
