// Capture files opened in the real main window (offscreen): through the about/help menu and as
// "velmora FILE...", read as a capture run whose rows are exactly velmora-cli's on the same files;
// a damaged file keeps the rows before the damage and names file, frame and reason; a click on the
// capture button ends the reading; a running capture refuses files.

#include "capture/pcap/CaptureComponent.h"
#include "desktop/cPopupMenu.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"
#include "skin/xpcheckbox.h"
#include "tst_mainwindow_support.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTableView>

#include <unistd.h>

#include <memory>

using namespace testsupport;

namespace {

const QString kData = QStringLiteral(VELMORA_TEST_DATA);

QString Data(const QString& name) {
    return kData + QLatin1Char('/') + name;
}

struct CliRun {
    QStringList rows;
    QString errors;
};

// velmora-cli -r on the same files, with the settings the window starts with.
CliRun Cli(const QStringList& files, bool allPackets = false) {
    QStringList arguments{QStringLiteral("--settings"), QStringLiteral(VELMORA_BINARY_DIR "/default-setting.ini")};
    if (allPackets)
        arguments << QStringLiteral("--all-packets");
    for (const QString& file : files)
        arguments << QStringLiteral("-r") << file;
    QProcess cli;
    cli.start(QStringLiteral(VELMORA_BINARY_DIR "/velmora-cli"), arguments);
    cli.waitForFinished(60000);
    return {QString::fromUtf8(cli.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
            QString::fromUtf8(cli.readAllStandardError())};
}

QStringList WindowRows(const ResultListModel& model) {
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row)
        rows << model.TypeText(row) + QLatin1Char('\t') + model.AddressText(row) + QLatin1Char('\t') +
                    model.PacketText(row);
    return rows;
}

} // namespace

class TestCaptureFile final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        form_ = std::make_unique<Form1>(folder_.emplace().Options());
        reader_ = form_->findChild<CaptureFileOpener*>();
        QVERIFY(reader_);
        tester_.emplace(form_->resultModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }
    void cleanup() {
        cPopupMenu::SetHook({});
        tester_.reset();
        form_.reset();
    }

    void readsFilesAsACaptureRunWithTheCliRows() {
        DialogRecorder dialogs;
        ResultListModel& rows = *form_->resultModel();
        rows.AddCaptureRow({u"视频", u"http://127.0.0.1/left/from/before.mp4", 7});
        form_->Text1()->setPlainText(QStringLiteral("left from before"));

        // The menu entry, then the file dialog.
        QStringList menu;
        cPopupMenu::SetHook([&menu](QMenu& shown) -> QAction* {
            for (QAction* action : shown.actions())
                menu << (action->isSeparator() ? QStringLiteral("-") : action->text());
            return shown.actions().value(4);
        });
        dialogs.AnswerText(Data(QStringLiteral("espn_http.pcapng")));
        QSignalSpy finished(reader_, &CaptureFileOpener::Finished);
        form_->Cmd1(5)->click();
        QCOMPARE(menu, (QStringList{QStringLiteral("关于..."), QStringLiteral("-"), QStringLiteral("帮   助"),
                                    QStringLiteral("-"), QStringLiteral("打开捕获文件…")}));
        QCOMPARE(dialogs.Count(), 1);
        QCOMPARE(dialogs.Last().kind, DialogRequest::Kind::OpenFile);
        QVERIFY(dialogs.Last().filter.contains(QStringLiteral("*.pcap *.pcapng")));
        QVERIFY(finished.wait(20000));
        QVERIFY(form_->Text1()->toPlainText().isEmpty());
        QCOMPARE(WindowRows(rows), Cli({Data(QStringLiteral("espn_http.pcapng"))}).rows);
        QCOMPARE(form_->store().PacketCount(), 956u);
        QCOMPARE(rows.ResultCount(), rows.rowCount());
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("开始嗅探"));
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：读取完毕"));
        QVERIFY(form_->Status1()->CapturePanel()->text().contains(QStringLiteral("956 帧")));

        // Several files on the command line are one run, numbered on from the first; options are skipped.
        // Every frame is listed, so the comparison covers each frame's text.
        form_->Chk3()->setValue(1);
        const QStringList files{Data(QStringLiteral("ndpi_1kxun.pcap")), Data(QStringLiteral("ndpi_rtsp.pcap")),
                                Data(QStringLiteral("zeek_bro.org.pcap"))};
        const QStringList commandLine =
            QStringList{QStringLiteral("velmora"), QStringLiteral("--screenshot"), QStringLiteral("shot.png")} + files;
        QCOMPARE(CaptureFileOpener::FileArguments(commandLine), files);
        QVERIFY(reader_->Open(CaptureFileOpener::FileArguments(commandLine)));
        QVERIFY(finished.wait(20000));
        const QStringList expected = Cli(files, true).rows;
        QVERIFY(expected.size() > 1000);
        QCOMPARE(WindowRows(rows), expected);
        QCOMPARE(form_->store().PacketCount(), 1723u + 568u + 751u);
        QCOMPARE(dialogs.Count(), 1);
    }

    void damagedFileKeepsTheRowsBeforeTheDamage() {
        DialogRecorder dialogs;
        QFile whole(Data(QStringLiteral("ndpi_1kxun.pcap")));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        const QString cut = folder_->dir.filePath(QStringLiteral("cut 截断.pcap"));
        QFile part(cut);
        QVERIFY(part.open(QIODevice::WriteOnly));
        part.write(whole.read(whole.size() * 2 / 3));
        part.close();

        QSignalSpy finished(reader_, &CaptureFileOpener::Finished);
        form_->Chk3()->setValue(1);
        QVERIFY(reader_->Open({cut}));
        QVERIFY(finished.wait(20000));
        const CliRun cli = Cli({cut}, true);
        QVERIFY(cli.rows.size() > 500);
        QCOMPARE(WindowRows(*form_->resultModel()), cli.rows);
        QCOMPARE(dialogs.Count(), 1);
        QCOMPARE(dialogs.Last().title, QStringLiteral("捕获文件已损坏"));
        const QString frame =
            QRegularExpression(QStringLiteral("damaged at frame (\\d+)")).match(cli.errors).captured(1);
        QVERIFY2(!frame.isEmpty(), qPrintable(cli.errors));
        QCOMPARE(form_->store().PacketCount(), frame.toUInt() - 1);
        for (const QString& part : {cut, QStringLiteral("第 %1 帧").arg(frame), QStringLiteral("truncated")})
            QVERIFY2(dialogs.Last().text.contains(part), qPrintable(dialogs.Last().text));

        // Not a capture at all: a box, and the list of the last run stays.
        const int rowsBefore = form_->resultModel()->rowCount();
        QVERIFY(!reader_->Open({Data(QStringLiteral("README.md"))}));
        QCOMPARE(dialogs.Count(), 2);
        QVERIFY2(dialogs.Last().text.contains(QStringLiteral("README.md")), qPrintable(dialogs.Last().text));
        QCOMPARE(form_->resultModel()->rowCount(), rowsBefore);
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    }

    void clickEndsTheReadingAndCaptureRefusesFiles() {
        DialogRecorder dialogs;
        // 200 copies of a 2.5 MB capture: long enough to be still reading when the click comes.
        const QStringList many(200, Data(QStringLiteral("ndpi_1kxun.pcap")));
        QSignalSpy finished(reader_, &CaptureFileOpener::Finished);
        QVERIFY(reader_->Open(many));
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：读取捕获文件"));
        // The window keeps serving events: the progress moves while the files are read.
        const QString started = form_->Status1()->CapturePanel()->text();
        QVERIFY(started.contains(QStringLiteral("%")));
        QTRY_VERIFY(form_->Status1()->CapturePanel()->text() != started && form_->store().PacketCount() > 1000);

        // Another file now, by the menu or directly, is refused; no file dialog opens.
        cPopupMenu::SetHook([](QMenu& shown) { return shown.actions().value(4); });
        form_->Cmd1(5)->click();
        QVERIFY(!reader_->Open({Data(QStringLiteral("ndpi_hls.pcapng"))}));
        QCOMPARE(dialogs.Titles(), (QStringList{QStringLiteral("错误"), QStringLiteral("错误")}));
        QVERIFY(dialogs.Last().text.contains(QStringLiteral("停止嗅探")));
        QVERIFY(reader_->IsReading());

        form_->Cmd1(0)->click();
        QCOMPARE(finished.count(), 1);
        QVERIFY(!reader_->IsReading());
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("开始嗅探"));
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：读取中止"));
        QVERIFY(!form_->vpacket().IsOpen());
        const velmora::PacketNumber read = form_->store().PacketCount();
        QVERIFY(read > 0 && read < 200u * 1723u);
        QTest::qWait(200);
        QCOMPARE(form_->store().PacketCount(), read); // nothing more arrives
        QCOMPARE(dialogs.Count(), 2);

        // A live capture refuses files too.
        if (::geteuid() != 0)
            return;
        SettingsFolder folder;
        Form1::Options options = folder.Options();
        options.adapters.reset();
        Form1 live(options);
        live.Combo2()->setCurrentIndex(live.Combo2()->findText(QStringLiteral("lo")));
        live.Cmd1(0)->click();
        QCOMPARE(live.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
        QVERIFY(!live.findChild<CaptureFileOpener*>()->Open({Data(QStringLiteral("ndpi_hls.pcapng"))}));
        QCOMPARE(dialogs.Count(), 3);
        QVERIFY(live.vpacket().IsCapturing());
        live.Cmd1(0)->click();
    }

    // An address the table does not name by its extension is listed from the server's answer: its
    // size shows in "大小", and the row of an extension learns its size in place; the data window shows
    // the request and the answer's head; the options tab's switch turns the rule off, and it is saved.
    void answersListMediaWithTheirSizes() {
        folder_->Write("[FileType]\nCount=1\nExtName1=.mp4\nType1=视频\nValue1=\n");
        form_ = std::make_unique<Form1>(folder_->Options());
        reader_ = form_->findChild<CaptureFileOpener*>();
        tester_.emplace(form_->resultModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        ResultListModel& rows = *form_->resultModel();
        QCOMPARE(rows.headerData(ResultListModel::SizeColumn, Qt::Horizontal).toString(), QStringLiteral("大小"));
        auto* byType = form_->findChild<velmora::xpcheckbox*>(QStringLiteral("ByContentType"));
        QVERIFY(byType);
        QCOMPARE(byType->Value(), 1);

        auto open = [this] {
            QSignalSpy finished(reader_, &CaptureFileOpener::Finished);
            QVERIFY(reader_->Open({Data(QStringLiteral("tls_window_mixed.pcap"))}));
            QVERIFY(finished.wait(20000));
        };
        open();
        // The .flv is named by no row: its answer (video/x-flv, 3000 bytes) lists it at the frame that
        // completed the answer's head. The .mp4's row learnt its size when its answer came.
        QCOMPARE(WindowRows(rows), (QStringList{QStringLiteral("视频\thttp://127.0.0.1:8080/clear/first.mp4\t4"),
                                                QStringLiteral("视频\thttp://127.0.0.1:8080/clear/second.flv\t42")}));
        QCOMPARE(rows.index(0, ResultListModel::SizeColumn).data().toString(), QStringLiteral("2.9 KB"));
        QCOMPARE(rows.index(1, ResultListModel::SizeColumn).data().toString(), QStringLiteral("2.9 KB"));
        QCOMPARE(ResultListModel::FormatSize(std::nullopt), QString());
        QCOMPARE(ResultListModel::FormatSize(5033164), QStringLiteral("4.8 MB"));

        form_->Cmd1(2)->click();
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        const QRect cell = form_->LV1()->visualRect(rows.index(1, ResultListModel::AddressColumn));
        QTest::mouseClick(form_->LV1()->viewport(), Qt::LeftButton, {}, cell.center());
        const QString text = form_->Text1()->toPlainText();
        QVERIFY2(text.contains(QStringLiteral("GET /clear/second.flv")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("HTTP/1.0 200 OK")) || text.contains(QStringLiteral("HTTP/1.1 200 OK")),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("video/x-flv")), qPrintable(text));

        byType->setValue(0);
        QCOMPARE(folder_->Value("FileType", "ByContentType"), "0");
        open();
        QCOMPARE(WindowRows(rows), QStringList{QStringLiteral("视频\thttp://127.0.0.1:8080/clear/first.mp4\t4")});
        form_ = std::make_unique<Form1>(folder_->Options());
        QCOMPARE(form_->findChild<velmora::xpcheckbox*>(QStringLiteral("ByContentType"))->Value(), 0);
    }

private:
    std::optional<SettingsFolder> folder_;
    std::unique_ptr<Form1> form_;
    CaptureFileOpener* reader_ = nullptr;
    std::optional<QAbstractItemModelTester> tester_;
};

VELMORA_GUI_TEST_MAIN(TestCaptureFile)
#include "tst_mainwindow_capturefile.moc"
