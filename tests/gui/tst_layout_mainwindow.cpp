// The assembled main window on the offscreen platform: every control where the layout rules put it after
// each resize (also below the minimum and while the data window is shown), no layout while minimised, the
// rounded shape only in the normal state, tabs, and the caption buttons with maxb1's glyph and tooltip kept in
// step whichever way the window is maximised or restored.
#include "tst_mainwindow_support.h"

#include "mainwindow/MainWindowLayout.h"
#include "mainwindow/StatusPanels.h"
#include "skin/xp_canvas.h"
#include "skin/xpcmdbutton.h"
#include "skin/xptopbuttons.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QWindow>

using namespace testsupport;
using velmora::xptopbuttons;

namespace {

// WIDGET's rectangle in the window's coordinates.
QRect InWindow(const QWidget* widget, const QWidget* window) {
    return QRect(widget->mapTo(window, QPoint(0, 0)), widget->size());
}

bool DataWindowShown(const Form1& form) {
    return form.Cmd1(2)->text() != QStringLiteral("显示数据窗口");
}

MainWindowLayout Expected(const Form1& form) {
    return MainWindowLayout::Compute(form.size(), DataWindowShown(form), form.TabS1()->sizeHint().height());
}

} // namespace

class TestLayoutMainWindow final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        folder_ = std::make_unique<SettingsFolder>();
        form_ = std::make_unique<Form1>(folder_->Options({Adapter("eth0", 0xC0A80105, 0xFFFFFF00)}));
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }
    void cleanup() {
        form_.reset();
        folder_.reset();
    }

    void everyControlFollowsTheRules_data() {
        QTest::addColumn<QSize>("asked");
        QTest::addColumn<QSize>("expected");
        QTest::addColumn<bool>("dataWindow");
        QTest::newRow("below the minimum") << QSize(500, 400) << QSize(619, 499) << false;
        QTest::newRow("below the minimum, data window") << QSize(300, 600) << QSize(619, 600) << true;
        QTest::newRow("larger") << QSize(760, 560) << QSize(760, 560) << false;
        QTest::newRow("larger, data window") << QSize(760, 560) << QSize(760, 560) << true;
    }

    void everyControlFollowsTheRules() {
        QFETCH(QSize, asked);
        QFETCH(QSize, expected);
        QFETCH(bool, dataWindow);
        Form1& form = *form_;
        if (dataWindow)
            form.Cmd1(2)->click();
        form.resize(asked);
        QTRY_COMPARE(form.size(), expected);

        const MainWindowLayout l = Expected(form);
        QCOMPARE(l.window, expected);
        QVERIFY(form.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(form.xp_Form()->geometry(), form.rect());
        QCOMPARE(InWindow(form.minb1(), &form), l.minb1);
        QCOMPARE(InWindow(form.maxb1(), &form), l.maxb1);
        QCOMPARE(InWindow(form.closeb1(), &form), l.closeb1);
        QCOMPARE(InWindow(form.TabS1(), &form), l.TabS1Tabs);
        QCOMPARE(InWindow(form.Status1(), &form), l.Status1);
        // Both frames lie on the tab strip's client area, the hidden one too.
        QCOMPARE(InWindow(form.Frame1(0), &form), l.Frame1);
        QCOMPARE(form.Frame1(1)->geometry(), form.Frame1(0)->geometry());
        QCOMPARE(form.LV1()->geometry(), l.LV1);
        QCOMPARE(form.Text1()->geometry(), l.Text1);
        QCOMPARE(form.Text1()->isVisible(), dataWindow);
        QCOMPARE(form.LV1()->height(), form.Frame1(0)->height() - (dataWindow ? 121 : 40));
        for (int i : {0, 2, 3, 4, 5, 6})
            QCOMPARE(form.Cmd1(i)->geometry(), l.Cmd1[std::size_t(i)]);
        for (const char* name : {"Label11", "Label10", "Frame2"}) {
            QWidget* w = form.findChild<QWidget*>(QString::fromLatin1(name));
            QVERIFY2(w && w->parentWidget() == form.xp_Form(), name);
        }
        QCOMPARE(form.findChild<QWidget*>(QStringLiteral("Frame2"))->geometry(), l.Frame2);

        // The rounded top corners: 5, 3, 2, 1 and 1 pixels cut from rows 0 to 4 at each end, nothing lower.
        const QRegion shape = form.mask();
        const int w = form.width();
        for (QPoint cut : {QPoint(0, 0), QPoint(4, 0), QPoint(2, 1), QPoint(0, 4), QPoint(w - 1, 0), QPoint(w - 5, 0)})
            QVERIFY2(!shape.contains(cut), qPrintable(QStringLiteral("%1,%2").arg(cut.x()).arg(cut.y())));
        for (QPoint kept : {QPoint(5, 0), QPoint(1, 4), QPoint(0, 5), QPoint(w - 6, 0), QPoint(0, form.height() - 1),
                            QPoint(w - 1, form.height() - 1)})
            QVERIFY2(shape.contains(kept), qPrintable(QStringLiteral("%1,%2").arg(kept.x()).arg(kept.y())));
    }

    // At the smallest size, whichever download method shows its fields: no control squeezed below its
    // smallest size or over another; the left column scrolls rather than squeeze its rows, and the key log
    // row stands whole in the right column.
    void optionsPageFitsAtTheMinimum() {
        Form1& form = *form_;
        form.resize(MainWindowLayout::kMinimumSize);
        form.TabS1()->setCurrentIndex(1);
        QWidget* page = form.Frame1(1);
        QTRY_VERIFY(page->isVisible());
        QTRY_COMPARE(page->size(), Expected(form).Frame1.size());
        auto* scroll = page->findChild<QScrollArea*>(QStringLiteral("OptionsLeftColumn"));
        auto* method = page->findChild<QComboBox*>(QStringLiteral("DownloadMethod"));
        QWidget* keyLog = page->findChild<QWidget*>(QStringLiteral("KeyLogOptions"));
        QVERIFY(scroll && scroll->widget() && method && keyLog);
        QWidget* column = scroll->widget();
        for (int index = 0; index < method->count(); ++index) {
            method->setCurrentIndex(index);
            QApplication::processEvents();
            for (QWidget* parent : {page, column}) {
                QList<QWidget*> controls;
                for (QWidget* child : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
                    if (child->isVisible())
                        controls << child;
                QVERIFY(controls.size() >= 5);
                for (int i = 0; i < controls.size(); ++i) {
                    const QWidget* a = controls[i];
                    const QString name = QStringLiteral("method %1: ").arg(index) +
                                         (a->objectName().isEmpty() ? QString::fromLatin1(a->metaObject()->className())
                                                                    : a->objectName());
                    QVERIFY2(parent->rect().contains(a->geometry()), qPrintable(name));
                    if (a != scroll) {
                        QVERIFY2(a->width() >= a->minimumSizeHint().width(), qPrintable(name));
                        QVERIFY2(a->height() >= a->minimumSizeHint().height(), qPrintable(name));
                    }
                    for (int j = i + 1; j < controls.size(); ++j)
                        QVERIFY2(!a->geometry().intersects(controls[j]->geometry()),
                                 qPrintable(name + QStringLiteral(" / ") + controls[j]->objectName()));
                }
            }
            QVERIFY(column->height() >= column->minimumSizeHint().height());
            QCOMPARE(keyLog->parentWidget(), page);
            QVERIFY(page->rect().contains(keyLog->geometry()));
        }
        for (QWidget* skinned :
             std::initializer_list<QWidget*>{form.Chk2(), form.Chk3(), form.Cmd2(), form.Cmd3(), form.Cmd4()})
            QVERIFY(skinned->inherits("velmora::xpcheckbox") || skinned->inherits("velmora::xpcmdbutton"));
    }

    // A press on the title that the window system takes over (a system move) never gets its release from a
    // Wayland compositor: the drag's end is given to the window, so the next movement hovers the buttons
    // instead of going to the title as if the button were still held.
    void systemDragLeavesNoButtonHeld() {
        Form1& form = *form_;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QWidget* title = form.xp_Form()->findChild<QWidget*>(QStringLiteral("pictop"));
        auto* button = qobject_cast<velmora::xpcmdbutton*>(form.Cmd1(0));
        QVERIFY(title && button);
        QWindow* window = form.windowHandle();
        auto send = [window](QEvent::Type type, QWidget* over, Qt::MouseButton which, Qt::MouseButtons held) {
            const QPointF global = over->mapToGlobal(QPointF(over->rect().center()));
            QMouseEvent event(type, window->mapFromGlobal(global), global, which, held, {});
            QCoreApplication::sendEvent(window, &event);
        };
        send(QEvent::MouseButtonPress, title, Qt::LeftButton, Qt::LeftButton);
        velmora::xp_canvas::EndPointerHold(&form, title->mapToGlobal(title->rect().center()));
        QTest::qWait(20);
        send(QEvent::MouseMove, button, Qt::NoButton, Qt::NoButton);
        QCOMPARE(button->shownCell(), int(velmora::xpcmdbutton::Hover));
    }

    void minimisedWindowIsNotLaidOut() {
        Form1& form = *form_;
        form.resize(700, 520);
        QTRY_COMPARE(form.size(), QSize(700, 520));
        const QRect tabs = form.TabS1()->geometry();
        const QRect list = form.LV1()->geometry();

        form.minb1()->click();
        QVERIFY(form.isMinimized());
        form.resize(900, 650);
        QTRY_COMPARE(form.size(), QSize(900, 650));
        QCOMPARE(form.TabS1()->geometry(), tabs);
        QCOMPARE(form.LV1()->geometry(), list);
        QCOMPARE(form.maxb1()->Value(), int(xptopbuttons::Maximise));

        form.showNormal();
        QTRY_COMPARE(form.TabS1()->geometry(), Expected(form).TabS1Tabs);
        QCOMPARE(form.LV1()->geometry(), Expected(form).LV1);
    }

    void maximiseButtonKeepsInStep() {
        Form1& form = *form_;
        velmora::xptopbuttons* maxb1 = form.maxb1();
        QWidget* title = form.xp_Form()->findChild<QWidget*>(QStringLiteral("pictop"));
        QVERIFY(title);
        auto expectNormal = [&] {
            QTRY_VERIFY(!form.isMaximized());
            QCOMPARE(maxb1->Value(), int(xptopbuttons::Maximise));
            QCOMPARE(maxb1->face(), int(xptopbuttons::Maximise));
            QCOMPARE(maxb1->toolTip(), QStringLiteral("Maximize"));
        };
        auto expectMaximised = [&] {
            QTRY_VERIFY(form.isMaximized());
            QCOMPARE(maxb1->Value(), int(xptopbuttons::Restore));
            QCOMPARE(maxb1->face(), int(xptopbuttons::Restore));
            QCOMPARE(maxb1->toolTip(), QStringLiteral("Restore"));
        };
        expectNormal();

        // By the button, both ways.
        QTest::mouseClick(maxb1, Qt::LeftButton);
        expectMaximised();
        // Maximised, the window is a plain rectangle and laid out for its new size.
        QTRY_VERIFY(form.mask().isEmpty() || form.mask().contains(QPoint(0, 0)));
        QTRY_COMPARE(InWindow(form.closeb1(), &form), Expected(form).closeb1);
        QTest::mouseClick(maxb1, Qt::LeftButton);
        expectNormal();
        QTRY_VERIFY(!form.mask().contains(QPoint(0, 0)));

        // By the title's double-click, both ways.
        QTest::mouseDClick(title, Qt::LeftButton, {}, QPoint(200, 15));
        expectMaximised();
        QTest::mouseDClick(title, Qt::LeftButton, {}, QPoint(200, 15));
        expectNormal();

        // Mixed: maximised by the title, restored by the button, and by other means.
        QTest::mouseDClick(title, Qt::LeftButton, {}, QPoint(200, 15));
        expectMaximised();
        QTest::mouseClick(maxb1, Qt::LeftButton);
        expectNormal();
        form.showMaximized();
        expectMaximised();
        form.showNormal();
        expectNormal();

        // Minimised, the button does nothing and keeps its glyph.
        form.showMinimized();
        QVERIFY(form.isMinimized());
        QTest::mouseClick(maxb1, Qt::LeftButton);
        QVERIFY(form.isMinimized());
        QCOMPARE(maxb1->Value(), int(xptopbuttons::Maximise));
    }

    void captionButtonsAndTabs() {
        Form1& form = *form_;
        QCOMPARE(form.minb1()->Value(), int(xptopbuttons::Minimise));
        QCOMPARE(form.closeb1()->Value(), int(xptopbuttons::Close));

        // Tabs bring their frame to the front.
        QTabBar* tabs = form.TabS1();
        auto* stack = qobject_cast<QStackedWidget*>(form.Frame1(0)->parentWidget());
        QVERIFY(stack);
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(1).center());
        QCOMPARE(stack->currentWidget(), form.Frame1(1));
        QVERIFY(form.Frame1(1)->isVisible() && !form.Frame1(0)->isVisible());
        QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(0).center());
        QCOMPARE(stack->currentWidget(), form.Frame1(0));

        QTest::mouseClick(form.minb1(), Qt::LeftButton);
        QVERIFY(form.isMinimized());
        form.showNormal();
        QTRY_VERIFY(!form.isMinimized());

        // Without a tray there is no way back from hidden: the close button minimises instead.
        QTest::mouseClick(form.closeb1(), Qt::LeftButton);
        QVERIFY(form.isMinimized());
        QVERIFY(form.isVisible());
    }

private:
    std::unique_ptr<SettingsFolder> folder_;
    std::unique_ptr<Form1> form_;
};

VELMORA_GUI_TEST_MAIN(TestLayoutMainWindow)
#include "tst_layout_mainwindow.moc"
