// The main window's layout rules without a window: the numbers for several window sizes, including sizes below
// the minimum, in both data-window states. Expected values are worked out by hand from the twips.
#include "mainwindow/MainWindowLayout.h"

#include <QTest>

class TestLayoutRules final : public QObject {
    Q_OBJECT

private slots:
    void windowSizes_data() {
        QTest::addColumn<QSize>("asked");
        QTest::addColumn<QSize>("window");
        QTest::addColumn<bool>("snapped");
        QTest::addColumn<QRect>("tabStrip");
        QTest::addColumn<QRect>("status");
        QTest::addColumn<QList<int>>("captionLefts"); // minb1, maxb1, closeb1
        QTest::addColumn<int>("listWidth");

        const QList<int> minimumButtons{546, 569, 592};
        QTest::newRow("minimum") << QSize(619, 499) << QSize(619, 499) << false << QRect(8, 112, 605, 362)
                                 << QRect(6, 473, 607, 20) << minimumButtons << 599;
        QTest::newRow("below both") << QSize(500, 400) << QSize(619, 499) << true << QRect(8, 112, 605, 362)
                                    << QRect(6, 473, 607, 20) << minimumButtons << 599;
        QTest::newRow("too narrow") << QSize(600, 700) << QSize(619, 700) << true << QRect(8, 112, 605, 563)
                                    << QRect(6, 674, 607, 20) << minimumButtons << 599;
        QTest::newRow("too low") << QSize(900, 450) << QSize(900, 499) << true << QRect(8, 112, 886, 362)
                                 << QRect(6, 473, 888, 20) << QList<int>{827, 850, 873} << 880;
        // 9300 x 7500 twips: the fractions of a pixel are dropped after each subtraction.
        QTest::newRow("fractions") << QSize(620, 500) << QSize(620, 500) << false << QRect(8, 112, 606, 363)
                                   << QRect(6, 474, 608, 20) << QList<int>{547, 570, 593} << 600;
        QTest::newRow("large") << QSize(1280, 800) << QSize(1280, 800) << false << QRect(8, 112, 1266, 663)
                               << QRect(6, 774, 1268, 20) << QList<int>{1207, 1230, 1253} << 1260;
    }

    void windowSizes() {
        QFETCH(QSize, asked);
        QFETCH(QSize, window);
        QFETCH(bool, snapped);
        QFETCH(QRect, tabStrip);
        QFETCH(QRect, status);
        QFETCH(QList<int>, captionLefts);
        QFETCH(int, listWidth);

        for (const bool shown : {false, true}) {
            const MainWindowLayout l = MainWindowLayout::Compute(asked, shown, 24);
            QCOMPARE(l.window, window);
            QCOMPARE(l.snapped, snapped);
            QCOMPARE(l.xp_Form, QRect(QPoint(0, 0), window));
            QCOMPARE(l.TabS1, tabStrip);
            QCOMPARE(l.Status1, status);
            QCOMPARE(l.minb1, QRect(captionLefts[0], 6, 21, 21));
            QCOMPARE(l.maxb1, QRect(captionLefts[1], 6, 21, 21));
            QCOMPARE(l.closeb1, QRect(captionLefts[2], 6, 21, 21));
            // The caption buttons sit on the 29-pixel title strip, inside the 5-pixel right border.
            QVERIFY(l.closeb1.right() < window.width() - 5);

            // The tabs, then the pane under them (overlapping the tabs' last two rows); the frames fill the
            // pane's client area.
            QCOMPARE(l.TabS1Tabs, QRect(tabStrip.topLeft(), QSize(tabStrip.width(), 24)));
            QCOMPARE(l.TabS1Pane, QRect(8, 134, tabStrip.width(), tabStrip.bottom() + 1 - 134));
            QCOMPARE(l.Frame1, l.TabS1Pane.adjusted(2, 2, -2, -2));
            const int frame = l.Frame1.height();

            QCOMPARE(l.LV1.topLeft(), QPoint(0, 40));
            QCOMPARE(l.LV1.width(), listWidth);
            QVERIFY(l.LV1.right() < l.Frame1.width());
            QCOMPARE(l.LV1.height(), frame - (shown ? 121 : 40));
            QCOMPARE(l.Text1, QRect(0, frame - 80, listWidth, 80));
            if (shown)
                QVERIFY(l.Text1.top() > l.LV1.bottom());
            else
                QCOMPARE(l.LV1.bottom(), frame - 1);

            // The command row: 83 x 25 buttons 96 pixels apart, no button 1, all within the frame.
            QVERIFY(l.Cmd1[1].isNull());
            const int lefts[] = {8, 0, 104, 200, 296, 392, 488};
            for (int i : {0, 2, 3, 4, 5, 6}) {
                QCOMPARE(l.Cmd1[std::size_t(i)], QRect(lefts[i], 8, 83, 25));
                QVERIFY(l.Cmd1[std::size_t(i)].right() < l.Frame1.width());
            }

            // The header keeps its design place: inside the window's borders, between title and tabs.
            QCOMPARE(l.Label11, QRect(32, 48, 64, 16));
            QCOMPARE(l.Label10, QRect(8, 72, 120, 19));
            QCOMPARE(l.Frame2, QRect(128, 32, 480, 77));
            QVERIFY(l.Frame2.right() < window.width() - 5 && l.Frame2.bottom() < l.TabS1.top());
        }
    }

    void listHeightsAgreeWithTheToggle() {
        // The toggle uses the same numbers as the resize: 600 and 1815 twips less than the page.
        for (int frame : {136, 336, 337, 637}) {
            QCOMPARE(MainWindowLayout::ListHeight(frame, false), frame - 40);
            QCOMPARE(MainWindowLayout::ListHeight(frame, true), frame - 121);
            QCOMPARE(MainWindowLayout::DataWindowTop(frame), frame - 80);
            QCOMPARE(MainWindowLayout::DataWindowHeight(frame), 80);
        }
        // A frame too low for the list keeps it at no height rather than a negative one.
        QCOMPARE(MainWindowLayout::ListHeight(30, true), 0);
    }

    void measuredTabRow() {
        // A taller row of tabs (a larger font) moves the pane and frames down, never the strip itself.
        const MainWindowLayout l = MainWindowLayout::Compute(QSize(619, 499), false, 31);
        QCOMPARE(l.TabS1, QRect(8, 112, 605, 362));
        QCOMPARE(l.TabS1Pane.top(), 112 + 31 - 2);
        QCOMPARE(l.TabS1Pane.bottom(), l.TabS1.bottom());
        QCOMPARE(l.LV1.height(), l.Frame1.height() - 40);
    }
};

QTEST_APPLESS_MAIN(TestLayoutRules)
#include "tst_layout_rules.moc"
