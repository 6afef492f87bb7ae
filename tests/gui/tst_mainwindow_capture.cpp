// End to end, as root: the real main window captures on the loopback device while curl fetches a
// media file and a page naming a stream from a local HTTP server, and the addresses appear in LV1.
#include "tst_mainwindow_support.h"

#include "capture/FrameText.h"
#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace testsupport;

namespace {

const QString kStream = QStringLiteral("rtsp://127.0.0.1:8554/live/stream1");

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

int FindRow(const ResultListModel& model, const QString& address) {
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.AddressText(row) == address)
            return row;
    }
    return -1;
}

} // namespace

class TestMainWindowCapture final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void capturesLoopbackTrafficIntoTheList();
    void framesQueuedBeforeAStopAreDropped();
    void allPacketsModeListsEveryFrame();
    void answerAfterALargeOneOnTheSameConnectionIsListed();
    // Last: moves the test process into a network namespace of its own.
    void adapterGoingAwayEndsTheCapture();

private:
    // Runs curl to completion against the local server; the window's events are not processed meanwhile.
    void Fetch(const QString& path, bool processEvents = true);
    QString Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1/%2").arg(port_).arg(path); }
    void StartOnLoopback(Form1& form);

    QTemporaryDir site_;
    QProcess server_;
    quint16 port_ = 0;
};

void TestMainWindowCapture::initTestCase() {
    if (::geteuid() != 0)
        QSKIP("capturing on lo needs root");
    QVERIFY(QDir(site_.path()).mkpath(QStringLiteral("v")));
    QFile media(site_.filePath(QStringLiteral("v/a.mp4")));
    QVERIFY(media.open(QIODevice::WriteOnly));
    media.write(QByteArray(2000, 'm'));
    media.close();
    QFile page(site_.filePath(QStringLiteral("page.html")));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write(QStringLiteral("<html><body><p>直播：<a href=\"%1\">%1</a></p></body></html>\n").arg(kStream).toUtf8());
    page.close();

    port_ = FreePort();
    server_.setProgram(QStringLiteral("/usr/bin/python3"));
    server_.setArguments({QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(port_),
                          QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--directory"),
                          site_.path()});
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start();
    QVERIFY(server_.waitForStarted());
    QVERIFY(WaitForPort(port_));
}

void TestMainWindowCapture::cleanupTestCase() {
    if (server_.state() != QProcess::NotRunning) {
        server_.terminate(); // SIGTERM to the pid we started
        if (!server_.waitForFinished(3000))
            server_.kill();
    }
}

void TestMainWindowCapture::Fetch(const QString& path, bool processEvents) {
    QProcess curl;
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                        QStringLiteral("--max-time"), QStringLiteral("10"), Url(path)});
    QVERIFY(curl.waitForStarted());
    if (processEvents)
        QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, 15000);
    else
        QVERIFY(curl.waitForFinished(15000));
    QCOMPARE(curl.exitCode(), 0);
}

void TestMainWindowCapture::StartOnLoopback(Form1& form) {
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    QVERIFY2(lo >= 0, "no loopback adapter");
    form.Combo2()->setCurrentIndex(lo);
    QCOMPARE(form.CurrentSelectedAdapter, QStringLiteral("lo"));
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：嗅探开始"));
    QVERIFY(form.vpacket().IsCapturing());
}

void TestMainWindowCapture::capturesLoopbackTrafficIntoTheList() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset(); // libpcap's own adapters
    Form1 form(options);
    QAbstractItemModelTester tester(form.resultModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.Text1()->setPlainText(QStringLiteral("left from before"));

    StartOnLoopback(form);
    QVERIFY(form.Text1()->toPlainText().isEmpty());
    Fetch(QStringLiteral("v/a.mp4"));
    Fetch(QStringLiteral("page.html"));
    Fetch(QStringLiteral("v/a.mp4")); // a duplicate is not listed twice

    ResultListModel& rows = *form.resultModel();
    const QString media = Url(QStringLiteral("v/a.mp4"));
    QTRY_VERIFY_WITH_TIMEOUT(FindRow(rows, media) >= 0 && FindRow(rows, kStream) >= 0, 15000);
    QTRY_VERIFY(form.Status1()->CapturePanel()->text().contains(QStringLiteral("已捕获")));

    const int mediaRow = FindRow(rows, media);
    const int streamRow = FindRow(rows, kStream);
    QCOMPARE(rows.TypeText(mediaRow), QStringLiteral("视频"));
    QCOMPARE(rows.TypeText(streamRow), QStringLiteral("视频"));
    // The packet column names the stored frame the address came from.
    for (int row : {mediaRow, streamRow}) {
        const velmora::PacketNumber packet = rows.PacketText(row).toUInt();
        QVERIFY(packet >= 1 && packet <= form.store().PacketCount());
        const QString text = QString::fromStdU16String(velmora::PacketToText(form.store(), packet));
        QVERIFY2(text.contains(row == mediaRow ? QStringLiteral("a.mp4") : kStream), qPrintable(text.left(200)));
    }
    QCOMPARE(rows.data(rows.index(mediaRow, ResultListModel::AddressColumn)).toString(), media);
    QTest::qWait(300);
    int mediaRows = 0;
    for (int row = 0; row < rows.rowCount(); ++row)
        mediaRows += rows.AddressText(row) == media ? 1 : 0;
    QCOMPARE(mediaRows, 1);
    QCOMPARE(rows.ResultCount(), rows.rowCount());

    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：嗅探结束"));
    QVERIFY(!form.vpacket().IsOpen());
    // The list stays after a stop.
    QVERIFY(FindRow(rows, media) >= 0);
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowCapture::framesQueuedBeforeAStopAreDropped() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset();
    Form1 form(options);
    QAbstractItemModelTester tester(form.resultModel(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    form.resultModel()->AddCaptureRow({u"视频", u"http://old.example/x.mp4", 9});

    StartOnLoopback(form);
    QCOMPARE(form.resultModel()->rowCount(), 0); // a start empties the list
    QCOMPARE(form.store().PacketCount(), velmora::PacketNumber{0});
    Fetch(QStringLiteral("v/a.mp4"), false);
    // The frames wait in the queue: nothing has run the window's events since the start.
    for (int i = 0; i < 100 && form.vpacket().PendingFrames() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QVERIFY(form.vpacket().PendingFrames() > 0);

    form.Cmd1_Click(0);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QTest::qWait(300);
    QCOMPARE(form.resultModel()->rowCount(), 0);
    QCOMPARE(form.store().PacketCount(), velmora::PacketNumber{0});

    // The keyword search's kind of stop: component closed, caption unchanged; the next click stops again.
    StartOnLoopback(form);
    form.StopCaptureComponent();
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：嗅探结束"));
    QVERIFY(!form.vpacket().IsOpen());
    form.Cmd1_Click(0);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowCapture::allPacketsModeListsEveryFrame() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset();
    Form1 form(options);
    form.Chk3()->setValue(1);
    QCOMPARE(form.CurrentExtractionOptions().allPacketsValue, 1);

    StartOnLoopback(form);
    Fetch(QStringLiteral("page.html"));
    QTRY_VERIFY(form.resultModel()->rowCount() >= 6); // handshake, request, response, close
    form.Cmd1_Click(0);
    ResultListModel& rows = *form.resultModel();
    QCOMPARE(static_cast<velmora::PacketNumber>(rows.rowCount()), form.store().PacketCount());
    for (int row = 0; row < rows.rowCount(); ++row) {
        QCOMPARE(rows.TypeText(row), QString());
        QCOMPARE(rows.PacketText(row), QString::number(row + 1));
    }
}

// On lo the frames are as large as 64 KiB: a 200 KB answer after a 100 KB one on one keep-alive
// connection is listed by its media type, which needs every byte of the first answer's frames.
void TestMainWindowCapture::answerAfterALargeOneOnTheSameConnectionIsListed() {
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("keepalive.py")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(R"(import http.server, sys
class Answers(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_GET(self):
        large = self.path.startswith("/api/play/")
        body = (b"v" if large else b"p") * (204800 if large else 102400)
        self.send_response(200)
        self.send_header("Content-Type", "video/mp4" if large else "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), Answers).serve_forever()
)");
    script.close();
    const quint16 port = FreePort();
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"), {script.fileName(), QString::number(port)});
    QVERIFY(server.waitForStarted());
    QVERIFY(WaitForPort(port));

    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset();
    Form1 form(options);
    StartOnLoopback(form);
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QProcess curl; // one invocation, one keep-alive connection
    curl.start(QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("--max-time"), QStringLiteral("10"),
                                        QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-o"),
                                        QStringLiteral("/dev/null"), base + QStringLiteral("/part/first"),
                                        base + QStringLiteral("/api/play/77812")});
    QVERIFY(curl.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(curl.state() == QProcess::NotRunning, 15000);
    QCOMPARE(curl.exitCode(), 0);

    ResultListModel& rows = *form.resultModel();
    const QString media = base + QStringLiteral("/api/play/77812");
    QTRY_VERIFY_WITH_TIMEOUT(FindRow(rows, media) >= 0, 10000);
    QCOMPARE(rows.TypeText(FindRow(rows, media)), QStringLiteral("视频"));
    QCOMPARE(FindRow(rows, base + QStringLiteral("/part/first")), -1);
    form.Cmd1_Click(0);
    QVERIFY(!form.Status1()->CapturePanel()->text().contains(QStringLiteral("缺口")));
    QCOMPARE(dialogs.Count(), 0);
    server.terminate();
    QVERIFY(server.waitForFinished(3000));
}

namespace {
bool Ip(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    return ip.waitForFinished(5000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}
} // namespace

void TestMainWindowCapture::adapterGoingAwayEndsTheCapture() {
    // A virtual adapter pair in a private network namespace, removed under a running capture. Nothing
    // outside the namespace sees it, and no traffic leaves it.
    if (::unshare(CLONE_NEWNET) != 0)
        QSKIP("cannot make a network namespace here");
    if (!Ip({QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("vlmtest0"), QStringLiteral("type"),
             QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), QStringLiteral("vlmtest1")}))
        QSKIP("no virtual network devices here");
    QVERIFY(Ip({QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("10.254.0.1/24"), QStringLiteral("dev"),
                QStringLiteral("vlmtest0")}));
    QVERIFY(Ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("vlmtest0"), QStringLiteral("up")}));
    QVERIFY(Ip({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("vlmtest1"), QStringLiteral("up")}));

    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset();
    Form1 form(options);
    form.resultModel()->AddCaptureRow({u"视频", u"http://kept.example/x.mp4", 1});
    const int index = form.Combo2()->findText(QStringLiteral("vlmtest0"));
    QVERIFY(index >= 0);
    form.Combo2()->setCurrentIndex(index);
    QCOMPARE(form.Status1()->PanelText(3), QStringLiteral("10.254.0.1"));
    form.Cmd1_Click(0);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QCOMPARE(dialogs.Count(), 0);
    form.resultModel()->AddCaptureRow({u"视频", u"http://kept.example/y.mp4", 2});

    QVERIFY(Ip({QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("vlmtest0")}));
    QTRY_COMPARE_WITH_TIMEOUT(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"), 10000);
    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().title, QStringLiteral("适配器错误"));
    QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("vlmtest0")), qPrintable(dialogs.Last().text));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：嗅探中断"));
    QVERIFY(!form.vpacket().IsOpen());
    QCOMPARE(form.resultModel()->rowCount(), 1); // what was found stays
}

VELMORA_GUI_TEST_MAIN(TestMainWindowCapture)
#include "tst_mainwindow_capture.moc"
