// LV1's model and view: rows announced in batches, edits through the model, and the view following
// new rows only while the user is at the bottom. Frames come from a recorded capture through the
// window's own frame path.
#include "tst_mainwindow_support.h"

#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/ResultListModel.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>

using namespace testsupport;

class TestMainWindowResultList final : public QObject {
    Q_OBJECT

private slots:
    void rowsAreAnnouncedInBatches();
    void editsGoThroughTheModel();
    void viewFollowsOnlyAtTheBottom();
};

void TestMainWindowResultList::rowsAreAnnouncedInBatches() {
    velmora::ResultList list;
    ResultListModel model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    QCOMPARE(model.FlushPending(), std::size_t{0});
    QCOMPARE(inserted.count(), 0);
    // The frame handler appends straight to the list; the view learns of the rows at the flush.
    for (int i = 1; i <= 5; ++i)
        list.AddCaptureRow({u"视频", u"http://h/" + std::u16string(1, char16_t(u'a' + i)) + u".mp4",
                            static_cast<velmora::PacketNumber>(i * 10)});
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.PendingRows(), std::size_t{5});
    QCOMPARE(model.FlushPending(), std::size_t{5});
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.last().at(1).toInt(), 0);
    QCOMPARE(inserted.last().at(2).toInt(), 4);
    list.AddCaptureRow({u"音频", u"http://h/z.mp3", 70});
    list.AddCaptureRow({u"", u"\u00B7\u00B7GET / HTTP/1.1", 71});
    QCOMPARE(model.FlushPending(), std::size_t{2});
    QCOMPARE(inserted.last().at(1).toInt(), 5);
    QCOMPARE(inserted.last().at(2).toInt(), 6);
    QCOMPARE(model.rowCount(), 7);

    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("类型"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("找到的网络文件"));
    QCOMPARE(model.headerData(2, Qt::Horizontal).toString(), QStringLiteral("封包索引"));
    QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("视频"));
    QCOMPARE(model.data(model.index(0, 1)).toString(), QStringLiteral("http://h/b.mp4"));
    QCOMPARE(model.data(model.index(0, 2)).toString(), QStringLiteral("10"));
    QCOMPARE(model.data(model.index(6, 0)).toString(), QString());
    QCOMPARE(model.data(model.index(6, 2)).toString(), QStringLiteral("71"));
    QVERIFY(!model.data(model.index(0, 0), Qt::DecorationRole).isValid());
}

void TestMainWindowResultList::editsGoThroughTheModel() {
    velmora::ResultList list;
    ResultListModel model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

    model.AddCaptureRow({u"视频", u"http://h/a.mp4", 1});
    model.AddCaptureRow({u"视频", u"http://h/b.mp4", 2});
    model.AddSearchRow({u"关键字搜索", u"needle", 3});
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(model.ResultCount(), 2); // search rows are not counted
    QVERIFY(list.IsDuplicate(u"http://h/a.mp4"));

    model.RemoveResultRow(0);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.ResultCount(), 1);
    QCOMPARE(model.AddressText(0), QStringLiteral("http://h/b.mp4"));
    QVERIFY(!list.IsDuplicate(u"http://h/a.mp4"));
    model.RemoveResultRow(7); // out of range: nothing
    model.RemoveResultRow(-1);
    QCOMPARE(model.rowCount(), 2);

    // Rows appended behind the model are announced before an edit, so indexes stay right.
    list.AddCaptureRow({u"视频", u"http://h/c.mp4", 4});
    model.RemoveResultRow(2);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.AddressText(1), QStringLiteral("needle"));

    model.ClearRows();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.ResultCount(), 0);
    // A list shortened behind the model's back resets the views instead of lying to them.
    model.AddCaptureRow({u"视频", u"http://h/d.mp4", 5});
    list.Clear();
    QCOMPARE(model.FlushPending(), std::size_t{0});
    QCOMPARE(model.rowCount(), 0);
}

void TestMainWindowResultList::viewFollowsOnlyAtTheBottom() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    form.resize(700, 520);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTableView* view = form.LV1();
    QCOMPARE(view->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
    QScrollBar* bar = view->verticalScrollBar();

    // Every frame of a recorded capture, each listed (all-packets mode), fed through the window's frame path.
    form.Chk3()->setValue(1);
    velmora::CaptureComponent& component = form.vpacket();
    QVERIFY(component.OpenFile(VELMORA_TEST_DATA "/zeek_bro.org.pcap").ok);
    QVERIFY(component.StartCapture().ok);
    auto dispatch = [&](std::size_t frames) {
        std::size_t done = 0;
        while (done < frames && !component.Finished()) {
            component.WaitForFrames(std::chrono::milliseconds(100));
            done += form.DispatchFrames(frames - done);
        }
        return done;
    };

    QCOMPARE(dispatch(60), std::size_t{60});
    QCOMPARE(form.resultModel()->rowCount(), 60);
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    // The user scrolls up to read: new rows arrive without moving the view.
    bar->setValue(3);
    QCOMPARE(dispatch(20), std::size_t{20});
    QCOMPARE(form.resultModel()->rowCount(), 80);
    QCOMPARE(bar->value(), 3);

    // Back at the bottom, the view follows again.
    view->scrollToBottom();
    QCOMPARE(dispatch(20), std::size_t{20});
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(form.resultModel()->data(form.resultModel()->index(99, 2)).toString(), QStringLiteral("100"));

    // The rest of the file arrives through the posted dispatches, in order.
    QTRY_VERIFY(component.Finished());
    const int rows = form.resultModel()->rowCount();
    QCOMPARE(static_cast<velmora::PacketNumber>(rows), form.store().PacketCount());
    QCOMPARE(form.resultModel()->PacketText(rows - 1), QString::number(rows));
    component.CloseAdapter();

    // A start empties the list and the data window.
    form.Text1()->setPlainText(QStringLiteral("frame text"));
    form.ResetCaptureState();
    QCOMPARE(form.resultModel()->rowCount(), 0);
    QCOMPARE(form.resultModel()->ResultCount(), 0);
    QCOMPARE(form.store().PacketCount(), velmora::PacketNumber{0});
    QVERIFY(form.Text1()->toPlainText().isEmpty());
    QCOMPARE(dialogs.Count(), 0);
}

VELMORA_GUI_TEST_MAIN(TestMainWindowResultList)
#include "tst_mainwindow_resultlist.moc"
