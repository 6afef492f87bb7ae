// The window as an ordinary user whose group may run the capture helper (set up by
// tests/capture/capture-helper.sh, which runs this under Xvfb): a capture on the loopback goes through
// velmora-capture, lists the fetched address, and the helper's end is shown as an adapter's would be.
#include "tst_mainwindow_support.h"

#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QProcess>

#include <csignal>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace testsupport;

namespace {

// A field of /proc/PID/status ("CapEff", "PPid"), empty when there is no such process.
std::string StatusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            std::string value = line.substr(name.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return {};
}

// The capture helper this process started.
pid_t HelperChild() {
    const QDir proc(QStringLiteral("/proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (number && StatusField(pid, "PPid") == std::to_string(::getpid()) &&
            StatusField(pid, "Name") == "velmora-capture")
            return pid;
    }
    return -1;
}

} // namespace

class WindowThroughHelper final : public QObject {
    Q_OBJECT

private slots:
    void capturesThroughTheHelper();
};

void WindowThroughHelper::capturesThroughTheHelper() {
    QVERIFY2(::geteuid() != 0, "run as an ordinary user: root captures without the helper");
    QTemporaryDir site;
    QVERIFY(QDir(site.path()).mkpath(QStringLiteral("v")));
    QFile media(site.filePath(QStringLiteral("v/a.mp4")));
    QVERIFY(media.open(QIODevice::WriteOnly));
    media.write(QByteArray(2000, 'm'));
    media.close();
    LocalSite server(site.path());
    QVERIFY(server.Ready());

    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset();
    if (const QString shipped = qEnvironmentVariable("VELMORA_TEST_DEFAULT_SETTINGS"); !shipped.isEmpty())
        options.defaultSettingsPath = shipped;
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    QVERIFY2(lo >= 0, "no loopback adapter");
    form.Combo2()->setCurrentIndex(lo);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QVERIFY2(dialogs.Count() == 0, qPrintable(dialogs.Count() ? dialogs.Last().text : QString()));
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QVERIFY(form.vpacket().ThroughHelper());

    // Neither this process nor the helper holds a capability while it captures.
    const pid_t helper = HelperChild();
    QVERIFY(helper > 0);
    QCOMPARE(StatusField(::getpid(), "CapEff"), std::string("0000000000000000"));
    QCOMPARE(StatusField(helper, "CapEff"), std::string("0000000000000000"));
    QCOMPARE(StatusField(helper, "CapPrm"), std::string("0000000000000000"));

    const QString address = server.Url(QStringLiteral("v/a.mp4"));
    QCOMPARE(QProcess::execute(QStringLiteral("curl"),
                               {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), address}),
             0);
    ResultListModel& rows = *form.resultModel();
    QTRY_VERIFY_WITH_TIMEOUT(rows.rowCount() > 0 && rows.AddressText(rows.rowCount() - 1) == address, 15000);
    QCOMPARE(rows.TypeText(rows.rowCount() - 1), QStringLiteral("视频"));
    // The helper's counters reach the status bar as the live capture's do.
    QTRY_VERIFY(form.Status1()->CapturePanel()->text().startsWith(QStringLiteral("已捕获")));
    QTRY_VERIFY(!form.Status1()->CapturePanel()->text().startsWith(QStringLiteral("已捕获 0 帧")));

    // A stop ends the helper.
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QVERIFY(StatusField(helper, "Name").empty());
    QCOMPARE(rows.AddressText(rows.rowCount() - 1), address);

    // A helper that dies under a running capture ends it with the adapter error box.
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    const pid_t second = HelperChild();
    QVERIFY(second > 0);
    QCOMPARE(::kill(second, SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(dialogs.Count() == 1, 10000);
    QCOMPARE(dialogs.Last().title, QStringLiteral("适配器错误"));
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("capture helper stopped")), qPrintable(dialogs.Last().text));
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：嗅探中断"));
}

VELMORA_GUI_TEST_MAIN(WindowThroughHelper)
#include "window_through_helper.moc"
