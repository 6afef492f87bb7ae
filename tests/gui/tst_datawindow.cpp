// The data window: a row click shows the row's packet as Chk2 says, and the address is selected
// in it: whole where it stands verbatim, by its path where capture joined it from a request line
// and a Host line. Rows come from the real extractor fed with whole Ethernet frames.

#include "../core/FrameBuilder.h"
#include "capture/FileTypeTable.h"
#include "capture/FrameText.h"
#include "capture/MediaAddressExtractor.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/DataWindow.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/Form3.h"
#include "mainwindow/ResultListModel.h"
#include "tst_mainwindow_support.h"

#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(std::optional<TextSelection>)

namespace {

constexpr int kEthernet = 1; // libpcap's link type

} // namespace

class TestDataWindow final : public QObject {
    Q_OBJECT

private slots:
    void highlight_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<TextSelection>>("expected");
        const QString request = QStringLiteral("··GET /v/Clip.MP4?x=1 HTTP/1.1··Host: cdn.example··");
        const int path = static_cast<int>(request.indexOf(QStringLiteral("/v/")));

        QTest::newRow("verbatim") << "rtsp://10.0.0.1/live.sdp"
                                  << "·PLAY rtsp://10.0.0.1/live.sdp RTSP/1.0·" << std::optional(TextSelection{6, 24});
        // The joined address is placed by its path: from the path's "/" over the path's length.
        QTest::newRow("joined") << "http://cdn.example/v/Clip.MP4?x=1" << request
                                << std::optional(TextSelection{path, 15});
        QTest::newRow("joined, other case")
            << "http://cdn.example/v/clip.mp4?x=1" << request << std::optional(TextSelection{path, 15});
        QTest::newRow("one-letter host") << "http://a/b.mp3"
                                         << "GET /b.mp3 H" << std::optional(TextSelection{4, 6});
        // Without the path, the scheme and the host's first letter place it; without those, position 1.
        QTest::newRow("scheme and host only") << "http://cdn.example/v/a.mp4"
                                              << "see http://cdn.example/x" << std::optional(TextSelection{4, 8});
        QTest::newRow("nowhere") << "http://cdn.example/v/a.mp4"
                                 << "nothing" << std::optional(TextSelection{1, 8});
        QTest::newRow("no scheme mark") << "cdn.example/v/a.mp4" << request << std::optional<TextSelection>();
        QTest::newRow("no path") << "http://cdn.example" << request << std::optional<TextSelection>();
    }

    void highlight() {
        QFETCH(QString, address);
        QFETCH(QString, text);
        QFETCH(std::optional<TextSelection>, expected);
        const std::optional<TextSelection> actual = AddressHighlight(address, text);
        QCOMPARE(actual.has_value(), expected.has_value());
        if (expected) {
            QCOMPARE(actual->start, expected->start);
            QCOMPARE(actual->length, expected->length);
        }
    }

    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        form_ = std::make_unique<Form1>(testsupport::WindowOptions(*dir_));
        QVERIFY(form_->findChild<CommandBar*>() && form_->findChild<DataWindow*>());
        Dialogs::SetHook([](const DialogRequest&) { return DialogAnswer{}; });

        // Packets 1-3 give one row each through the real extractor; packet 4 lists nothing.
        velmora::FileTypeTable types({{u".mp4", u"视频", u""}});
        velmora::MediaAddressExtractor extractor(form_->store(), form_->results(), types);
        const velmora::ExtractionOptions search{0, 0};
        using velmora::test::TcpFrame;
        extractor.vpacket_PacketReceived(
            TcpFrame("GET /v/Clip.mp4?x=1 HTTP/1.1\r\nHost: cdn.example\r\nUser-Agent: t\r\n\r\n"), kEthernet, search);
        extractor.vpacket_PacketReceived(
            TcpFrame("HTTP/1.0 200 OK\r\n\r\n<a href=\"rtsp://10.0.0.1/live.sdp\">live</a>"), kEthernet, search);
        extractor.vpacket_PacketReceived(TcpFrame("GET /\xca\xd3\xc6\xb5.mp4 HTTP/1.1\r\nHost: h.example\r\n\r\n"),
                                         kEthernet, search);
        form_->resultModel()->FlushPending();
        QCOMPARE(form_->resultModel()->rowCount(), 3);
        QCOMPARE(address(2), QStringLiteral("http://h.example/视频.mp4"));

        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    void cleanup() {
        Dialogs::SetHook({});
        form_.reset();
    }

    void hiddenWindowIgnoresClicks() {
        form_->Text1()->setPlainText(QStringLiteral("keep"));
        clickRow(0);
        QCOMPARE(form_->Text1()->toPlainText(), QStringLiteral("keep"));
    }

    void plainTextSelectsTheAddress() {
        showDataWindow();
        form_->Chk2()->setValue(0);
        QPlainTextEdit* text = form_->Text1();

        // Joined from the request line and the Host line: the selection starts at the path's "/".
        clickRow(0);
        const QString packet1 = QString::fromStdU16String(velmora::PacketToText(form_->store(), 1));
        QCOMPARE(text->toPlainText(), packet1);
        const QString joined = address(0);
        const QString path = joined.mid(joined.indexOf(QLatin1Char('/'), 8));
        QVERIFY(path.startsWith(QStringLiteral("/v/Clip.mp4")));
        QCOMPARE(text->textCursor().selectionStart(), packet1.indexOf(QStringLiteral("GET /v/")) + 4);
        QCOMPARE(text->textCursor().selectedText(), path);

        // Standing verbatim in the packet: selected from its first to its last character.
        clickRow(1);
        QCOMPARE(text->textCursor().selectedText(), address(1));
        QCOMPARE(text->textCursor().selectionStart(), text->toPlainText().indexOf(QStringLiteral("rtsp://")));

        // The selection is painted the same while the focus is elsewhere.
        const QPalette palette = text->palette();
        QCOMPARE(palette.color(QPalette::Inactive, QPalette::Highlight),
                 palette.color(QPalette::Active, QPalette::Highlight));
        QCOMPARE(palette.color(QPalette::Inactive, QPalette::HighlightedText),
                 palette.color(QPalette::Active, QPalette::HighlightedText));
    }

    void chineseTextIsDecodedAndNotSelected() {
        showDataWindow();
        QCOMPARE(form_->Chk2()->Value(), 1); // the start state
        clickRow(2);
        const QString shown = form_->Text1()->toPlainText();
        QCOMPARE(shown,
                 QString::fromStdU16String(velmora::DecodeCnEscapes(velmora::PacketToTextCn(form_->store(), 3))));
        QVERIFY(shown.contains(QStringLiteral("GET /视频.mp4 HTTP/1.1")));
        QVERIFY(!form_->Text1()->textCursor().hasSelection());

        // A file name escaped as UTF-8, as curl and browsers send it: the row and the window read it.
        velmora::FileTypeTable types({{u".mp4", u"视频", u""}});
        velmora::MediaAddressExtractor extractor(form_->store(), form_->results(), types);
        extractor.vpacket_PacketReceived(
            velmora::test::TcpFrame("GET /%E4%B8%AD%E6%96%87.mp4 HTTP/1.1\r\nHost: 127.0.0.1:8765\r\n\r\n"), kEthernet,
            {0, 0});
        form_->resultModel()->FlushPending();
        QCOMPARE(address(3), QStringLiteral("http://127.0.0.1:8765/中文.mp4"));
        clickRow(3);
        QVERIFY(form_->Text1()->toPlainText().contains(QStringLiteral("GET /中文.mp4 HTTP/1.1")));
    }

    void keyboardChoosesRowsToo() {
        showDataWindow();
        form_->Chk2()->setValue(0);
        clickRow(0);
        form_->activateWindow();
        form_->LV1()->setFocus();
        QTRY_VERIFY(form_->LV1()->hasFocus());
        QTest::keyClick(form_->LV1(), Qt::Key_Down);
        QCOMPARE(form_->Text1()->toPlainText(), QString::fromStdU16String(velmora::PacketToText(form_->store(), 2)));
        QCOMPARE(form_->Text1()->textCursor().selectedText(), address(1));
    }

    void packetNoLongerHeldShowsANote() {
        showDataWindow();
        form_->Chk2()->setValue(0);
        clickRow(0);
        // A new run drops the packets the rows still point to.
        form_->store().Reset();
        clickRow(1);
        QCOMPARE(form_->Text1()->toPlainText(), DataWindow::ReleasedPacketNote(2));
        QVERIFY(!form_->Text1()->textCursor().hasSelection());

        // Clearing the list empties the window; the highlight then finds no rows and does nothing.
        form_->resultModel()->ClearRows();
        form_->Text1()->clear();
        QVERIFY(form_->Text1()->toPlainText().isEmpty());
        form_->Text1()->setPlainText(QStringLiteral("rtsp://10.0.0.1/live.sdp"));
        QVERIFY(!form_->Text1()->textCursor().hasSelection());
    }

private:
    QString address(int row) const { return form_->resultModel()->AddressText(row); }

    void showDataWindow() {
        form_->Cmd1(2)->click();
        QCOMPARE(form_->Cmd1(2)->text(), QStringLiteral("关闭数据窗口"));
    }

    void clickRow(int row) {
        QTableView* list = form_->LV1();
        const QRect rect = list->visualRect(form_->resultModel()->index(row, ResultListModel::AddressColumn));
        QVERIFY(rect.isValid());
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Form1> form_;
};

QTEST_MAIN(TestDataWindow)
#include "tst_datawindow.moc"
