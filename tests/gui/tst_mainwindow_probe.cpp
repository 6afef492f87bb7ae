// Reading the HTTPS of the user's own programs through velmora-tls, in the window: a stand-in helper that
// answers --check and then writes what the real one recorded while Firefox fetched its page, while the
// window captures on the loopback device as root.
#include "tst_mainwindow_support.h"

#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"
#include "mainwindow/TlsProbeCapture.h"
#include "mainwindow/TlsProbeOption.h"
#include "settings/SettingsKeys.h"
#include "skin/xpcheckbox.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTableView>

#include <csignal>
#include <unistd.h>

using namespace testsupport;
namespace keys = velmora::keys;

namespace {

// Says what velmora-tls says: "--check" answers on standard error as PROBE_CHECK says (ready, or an error
// line and status 1); a run says ready on descriptor 3, names itself as hooked, writes PROBE_STREAM to
// standard output and waits for SIGTERM, as the real one does, unless PROBE_RUN says it refuses or ends.
const char* const kStandIn = R"(#!/usr/bin/python3
import os, signal, sys
answer = os.environ.get('PROBE_CHECK', 'ready')
if sys.argv[1:] == ['--check']:
    sys.stderr.write(answer + '\n')
    sys.exit(0 if answer == 'ready' else 1)
status = os.fdopen(3, 'w')
if os.environ.get('PROBE_RUN') == 'refuse':
    status.write('error 2 probes of this user are already running, the most velmora-tls allows at once\n')
    sys.exit(1)
status.write('ready\nattached %d openssl\n' % os.getpid())
status.flush()
sys.stdout.buffer.write(open(os.environ['PROBE_STREAM'], 'rb').read())
sys.stdout.flush()
if os.environ.get('PROBE_RUN') == 'exit':
    sys.exit(3)
signal.pause()
)";

QByteArray Recording(const QString& name) {
    QFile file(QStringLiteral(VELMORA_TEST_DATA "/probe/") + name + QStringLiteral(".vtls"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The pid of the process a recording begins by naming.
quint32 FirstPid(const QByteArray& stream) {
    const auto* b = reinterpret_cast<const uchar*>(stream.constData());
    return b[8] | b[9] << 8 | b[10] << 16 | quint32(b[11]) << 24;
}

QStringList Rows(const ResultListModel& model) {
    QStringList rows;
    for (int r = 0; r < model.rowCount(); ++r)
        rows << model.AddressText(r);
    return rows;
}

} // namespace

class TestMainWindowProbe final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(work_.isValid());
        helper_ = work_.filePath(QStringLiteral("velmora-tls"));
        QFile script(helper_);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(kStandIn);
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("VELMORA_TLS_HELPER", QFile::encodeName(helper_));
        qputenv("PROBE_STREAM", VELMORA_TEST_DATA "/probe/firefox.vtls");
        qunsetenv("PROBE_CHECK");
        qunsetenv("PROBE_RUN");
    }
    void cleanup() { qunsetenv("VELMORA_TLS_HELPER"); }
    void probedRowsAreListedWithTheirProgram();
    void switchIsGreyedWithTheReasonWhenTheHelperCannotRun();

private:
    QTemporaryDir work_;
    QString helper_;
};

// Firefox's page, poster, clip and playlist as the probe read them, each row naming Firefox's process; the
// programs read and the running browser that needs the button in the status bar; the helper runs only while
// the capture and the switch are both on, and one that breaks its stream is said once while the capture
// goes on.
void TestMainWindowProbe::probedRowsAreListedWithTheirProgram() {
    if (::geteuid() != 0)
        QSKIP("capturing on lo needs root");
    // A browser with its own TLS, as /proc shows it: a process of this user whose name is chromium.
    const QString chromium = work_.filePath(QStringLiteral("chromium"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), chromium));
    QProcess browser;
    browser.start(chromium, {QStringLiteral("60")});
    QVERIFY(browser.waitForStarted());
    auto stopBrowser = qScopeGuard([&browser] {
        browser.kill(); // by the pid we started
        browser.waitForFinished(3000);
    });

    SettingsFolder folder;
    folder.Write("[FileType]\nCount=3\nExtName1=.mp4\nType1=视频\nValue1=\nExtName2=.jpg\nType2=图片\nValue2=\n"
                 "ExtName3=.m3u8\nType3=视频\nValue3=\nStreams=0\n[Tls]\nProbe=1\n");
    DialogRecorder dialogs;
    Form1::Options options = folder.Options();
    options.adapters.reset(); // libpcap's own adapters
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto* option = form.findChild<TlsProbeOption*>();
    auto* probe = form.findChild<TlsProbeCapture*>();
    QVERIFY(option && probe);
    QTRY_VERIFY(option->Usable());
    QVERIFY(option->Switch()->isEnabled() && option->Switch()->Value() == 1);
    // As root (this test captures on lo) the switch works, and says that the user's own programs need
    // Velmora run as that user.
    QCOMPARE(option->Reason()->text(), QStringLiteral("以 root 身份运行：读不到你自己的程序"));
    QVERIFY(!probe->HelperRuns()); // no capture yet

    QFile urls(QStringLiteral(VELMORA_TEST_DATA "/probe/firefox.urls.txt"));
    QVERIFY(urls.open(QIODevice::ReadOnly));
    QStringList expected = QString::fromUtf8(urls.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    expected.removeAll(QStringLiteral("https://127.0.0.1:8444/page.html"));
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    QVERIFY2(lo >= 0, "no loopback adapter");
    form.Combo2()->setCurrentIndex(lo);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QVERIFY(probe->HelperRuns());
    ResultListModel& model = *form.resultModel();
    QTRY_COMPARE(Rows(model), expected);

    // The data window names the program first, then shows the request.
    const QString program =
        QStringLiteral("程序: firefox-esr (pid %1)\n").arg(FirstPid(Recording(QStringLiteral("firefox"))));
    form.Cmd1(2)->click();
    const QModelIndex clip =
        model.index(int(expected.indexOf(QStringLiteral("https://127.0.0.1:8444/media/clip.mp4"))), 1);
    form.LV1()->setCurrentIndex(clip);
    emit form.LV1()->clicked(clip);
    const QString text = form.Text1()->toPlainText();
    QVERIFY2(text.startsWith(program + QStringLiteral(":method: GET\n")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\n:path: /media/clip.mp4\n")), qPrintable(text));

    // The programs read (the helper names itself as hooked; Firefox from its rows) and the browser that needs the
    // button: in the figures' tooltip, and said once in the status bar. The figures panel itself stays short.
    QTRY_VERIFY(form.Status1()->CapturePanel()->toolTip().contains(QStringLiteral("需用按钮: chromium")));
    const QString tip = form.Status1()->CapturePanel()->toolTip();
    const QString python =
        QFileInfo(QStringLiteral("/usr/bin/python3")).canonicalFilePath().section(QLatin1Char('/'), -1);
    const QString covered = QStringLiteral("已覆盖: firefox-esr, %1").arg(python);
    QVERIFY2(tip.contains(covered), qPrintable(tip));
    QVERIFY(!form.Status1()->CapturePanel()->text().contains(QStringLiteral("覆盖")));
    QCOMPARE(probe->Coverage().Brief(), covered + QStringLiteral(" · 需用按钮: chromium"));

    // The stop ends the helper; the rows stay.
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QVERIFY(!probe->HelperRuns());
    QCOMPARE(Rows(model), expected);

    // Off: a capture runs without it, and the choice is kept. Turned on while the capture runs, it starts.
    option->Switch()->click();
    QCOMPARE(folder.Value(keys::kTlsSection, keys::kProbeKey), "0");
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QVERIFY(!probe->HelperRuns());
    QCOMPARE(model.rowCount(), 0);
    option->Switch()->click();
    QCOMPARE(folder.Value(keys::kTlsSection, keys::kProbeKey), "1");
    QVERIFY(probe->HelperRuns());
    QTRY_COMPARE(Rows(model), expected);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(dialogs.Count(), 0);

    // A stream that breaks after its records: they are listed, the break is said once, the capture goes on.
    QFile broken(work_.filePath(QStringLiteral("broken.vtls")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write(Recording(QStringLiteral("firefox")) + QByteArray("\x05\x00\x00\x00\x01\x00", 6));
    broken.close();
    qputenv("PROBE_STREAM", QFile::encodeName(broken.fileName()));
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QTRY_COMPARE(dialogs.Count(), 1);
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("velmora-tls 送来的数据有误")) &&
                 dialogs.Last().text.contains(QStringLiteral("嗅探照常进行")),
             qPrintable(dialogs.Last().text));
    QVERIFY(!probe->HelperRuns());
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    QCOMPARE(Rows(model), expected);
    QTRY_VERIFY(form.Status1()->CapturePanel()->toolTip().contains(QStringLiteral("读取本机程序的 HTTPS 已停止")));
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QCOMPARE(dialogs.Count(), 1);

    // A helper that refuses at its start, or ends by itself: said in Chinese, the capture goes on.
    qputenv("PROBE_STREAM", VELMORA_TEST_DATA "/probe/firefox.vtls");
    const std::pair<const char*, QString> ends[] = {
        {"refuse", QStringLiteral("你已经在运行两个 velmora-tls")},
        {"exit", QStringLiteral("velmora-tls 意外结束了（velmora-tls exited with status 3）")}};
    for (const auto& [run, said] : ends) {
        qputenv("PROBE_RUN", run);
        dialogs.Clear();
        QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
        QTRY_COMPARE(dialogs.Count(), 1);
        QVERIFY2(dialogs.Last().text.startsWith(said), qPrintable(dialogs.Last().text));
        QVERIFY(!probe->HelperRuns());
        QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("停止嗅探"));
        QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    }
    QCOMPARE(Rows(model), expected); // what the helper wrote before it ended
}

// No helper, a helper this user may not run, and the helper's refusals: the switch is greyed and unticked,
// the reason beside it and the way out in its tooltip; the stored choice is kept for a machine where it runs.
void TestMainWindowProbe::switchIsGreyedWithTheReasonWhenTheHelperCannotRun() {
    struct Case {
        QByteArray check; // what the stand-in's --check says; empty: no helper at all
        QString brief;
        QString tip;
    };
    const Case cases[] = {
        {{}, QStringLiteral("不可用：没有安装 velmora-tls"), QStringLiteral("请安装完整的 velmora 软件包")},
        {"error velmora-tls needs CAP_SYS_ADMIN to hook programs: run it as root, or give it the capability",
         QStringLiteral("不可用：助手没有权限"), QStringLiteral("sudo dpkg-reconfigure velmora")},
        {"error the kernel offers no BTF (/sys/kernel/btf/vmlinux is missing)", QStringLiteral("不可用：内核没有 BTF"),
         QStringLiteral("CONFIG_DEBUG_INFO_BTF")},
        {"error the kernel has no uprobes (/sys/bus/event_source/devices/uprobe is missing)",
         QStringLiteral("不可用：内核不支持 uprobes"), QStringLiteral("CONFIG_UPROBE_EVENTS")},
        {"not allowed", QStringLiteral("不可用：你不在 velmora 组中"),
         QStringLiteral("sudo usermod -aG velmora $USER")},
    };
    for (const Case& c : cases) {
        qputenv("VELMORA_TLS_HELPER",
                QFile::encodeName(c.check.isEmpty() ? work_.filePath(QStringLiteral("none")) : helper_));
        if (c.check == "not allowed") // as the group's 0754 is to others: no one may run it
            QVERIFY(QFile::setPermissions(helper_, QFile::ReadOwner | QFile::WriteOwner));
        else if (!c.check.isEmpty())
            qputenv("PROBE_CHECK", c.check);
        SettingsFolder folder;
        folder.Write("[Tls]\nProbe=1\n");
        DialogRecorder dialogs;
        Form1 form(folder.Options());
        auto* option = form.findChild<TlsProbeOption*>();
        QVERIFY(option);
        QTRY_VERIFY_WITH_TIMEOUT(option->Reason()->isVisibleTo(option), 10000);
        QCOMPARE(option->Reason()->text(), c.brief);
        QVERIFY(!option->Switch()->isEnabled());
        QCOMPARE(option->Switch()->Value(), 0);
        QVERIFY2(option->Switch()->toolTip().contains(c.tip), qPrintable(option->Switch()->toolTip()));
        QVERIFY(!option->IsOn());
        QCOMPARE(folder.Value(keys::kTlsSection, keys::kProbeKey), "1");
        QCOMPARE(dialogs.Count(), 0);
    }
}

VELMORA_GUI_TEST_MAIN(TestMainWindowProbe)
#include "tst_mainwindow_probe.moc"
