// Start-up of the main window, the capture refusals and the settings location, each test on a
// settings folder of its own.
#include "tst_mainwindow_support.h"

#include "capture/pcap/CaptureComponent.h"
#include "desktop/TrayIcon.h"
#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/Form3.h"
#include "mainwindow/LongToIP.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/SettingsLocation.h"
#include "mainwindow/StartPage.h"
#include "mainwindow/StatusPanels.h"
#include "settings/SettingsKeys.h"
#include "splash/frmAbout.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTcpServer>
#include <QWebEngineView>
#include <QWindow>

using namespace testsupport;
namespace keys = velmora::keys;

namespace {

std::vector<velmora::AdapterInfo> TwoAdapters() {
    return {Adapter("eth0", 0xC0A80105, 0xFFFFFF00), Adapter("wlan0", 0x0A000002, 0xFF000000)};
}

QWidget* FrontFrame(const Form1& form) {
    return form.Frame1(0)->parentWidget()
               ? static_cast<QStackedWidget*>(form.Frame1(0)->parentWidget())->currentWidget()
               : nullptr;
}

} // namespace

class TestMainWindowStartup final : public QObject {
    Q_OBJECT

private slots:
    void savedAdapterIsReselected_data();
    void savedAdapterIsReselected();
    void noAdaptersLeavesTheDesignTexts();
    void startRefusals_data();
    void startRefusals();
    void openAdapterFailureExplainsThePrivilege();
    void settingsFillTheControls();
    void missingSettingsFileGetsTheShippedDefaults();
    void unwritableSettingsShowErrorBoxes();
    void settingsLocation();
    void choosingAnAdapterWritesItsIndex();
    void longToIP();
    void closeMinimisesWithoutATray();
    void startPageIsBundledAndStaysLocal();
    void qtsOwnTextsAreChinese();
    void fixedSizeWindowsAreNeverMaximised();
};

void TestMainWindowStartup::savedAdapterIsReselected_data() {
    QTest::addColumn<QByteArray>("saved");
    QTest::addColumn<int>("selected");
    QTest::newRow("beyond the list") << QByteArray("3") << 0;
    QTest::newRow("second entry") << QByteArray("1") << 1;
    QTest::newRow("first entry") << QByteArray("0") << 0;
    QTest::newRow("negative") << QByteArray("-2") << 0;
    QTest::newRow("not a number") << QByteArray("abc") << 0;
    QTest::newRow("past 16 bits") << QByteArray("70000") << 0;
}

void TestMainWindowStartup::savedAdapterIsReselected() {
    QFETCH(QByteArray, saved);
    QFETCH(int, selected);
    SettingsFolder folder;
    folder.Write("[Adaptors]\nAdaptorUsed=" + saved + "\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options(TwoAdapters()));

    QCOMPARE(form.Combo2()->count(), 2);
    QCOMPARE(form.Combo2()->currentIndex(), selected);
    const velmora::AdapterInfo adapter = TwoAdapters()[static_cast<std::size_t>(selected)];
    QCOMPARE(form.CurrentSelectedAdapter, QString::fromStdString(adapter.name));
    QCOMPARE(form.Status1()->PanelText(2), QString::fromStdString(adapter.name));
    QCOMPARE(form.Status1()->PanelText(3), LongToIP(adapter.address));
    QCOMPARE(form.Status1()->PanelText(4), LongToIP(adapter.mask));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：停止嗅探"));
    QCOMPARE(folder.Value(keys::kAdaptorsSection, keys::kAdaptorUsedKey), std::to_string(selected));
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowStartup::noAdaptersLeavesTheDesignTexts() {
    SettingsFolder folder;
    folder.Write("[Adaptors]\nAdaptorUsed=1\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options({}));

    QCOMPARE(form.Combo2()->count(), 0);
    QVERIFY(form.CurrentSelectedAdapter.isEmpty());
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：停止嗅探"));
    QCOMPARE(form.Status1()->PanelText(2), QStringLiteral("网卡：未选择"));
    QVERIFY(form.Status1()->PanelText(3).isEmpty());
    QVERIFY(form.Status1()->PanelText(4).isEmpty());
    QCOMPARE(folder.Value(keys::kAdaptorsSection, keys::kAdaptorUsedKey), std::string("1"));
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QVERIFY(!form.IsCapturing());
    QCOMPARE(FrontFrame(form), form.Frame1(0));
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowStartup::startRefusals_data() {
    QTest::addColumn<bool>("withAdapter");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("no adapter chosen") << false << QStringLiteral("未选择适配器")
                                       << QStringLiteral("你必须首先选择一个网络适配器！");
    QTest::newRow("adapter without address")
        << true << QStringLiteral("适配器错误") << QStringLiteral("适配器错误，请重新选择适配器！");
}

void TestMainWindowStartup::startRefusals() {
    QFETCH(bool, withAdapter);
    QFETCH(QString, title);
    QFETCH(QString, text);
    SettingsFolder folder;
    std::vector<velmora::AdapterInfo> adapters;
    if (withAdapter)
        adapters.push_back(Adapter("down0", 0, 0));
    DialogRecorder dialogs;
    Form1 form(folder.Options(adapters));
    form.show();
    // Rows and data left from earlier must survive a refused start.
    form.resultModel()->AddCaptureRow({u"视频", u"http://127.0.0.1/a.mp4", 1});
    form.Text1()->setPlainText(QStringLiteral("earlier"));

    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);

    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().title, title);
    QCOMPARE(dialogs.Last().text, text);
    QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
    QCOMPARE(FrontFrame(form), form.Frame1(1));
    QCOMPARE(form.TabS1()->currentIndex(), 0); // the options page is shown, the tab stays
    QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.Combo2()));
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：停止嗅探"));
    QVERIFY(!form.vpacket().IsOpen());
    QCOMPARE(form.resultModel()->rowCount(), 1);
    QCOMPARE(form.Text1()->toPlainText(), QStringLiteral("earlier"));

    // A click on the selected tab brings its page back.
    emit form.TabS1()->tabBarClicked(0);
    QCOMPARE(FrontFrame(form), form.Frame1(0));
}

void TestMainWindowStartup::openAdapterFailureExplainsThePrivilege() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    // An adapter with an address that libpcap cannot open: the real component refuses it.
    Form1 form(folder.Options({Adapter("velmora-none0", 0x7F000001, 0xFF000000)}));
    QCOMPARE(form.CurrentSelectedAdapter, QStringLiteral("velmora-none0"));
    // The earlier run: a row, its stored packet and the data window.
    form.resultModel()->AddCaptureRow({u"视频", u"http://127.0.0.1/a.mp4", 1});
    form.store().Store(std::vector<std::uint8_t>{'G', 'E', 'T', ' ', '/'});
    form.Text1()->setPlainText(QStringLiteral("earlier"));

    form.Cmd1_Click(0);

    QCOMPARE(dialogs.Count(), 1);
    QCOMPARE(dialogs.Last().title, QStringLiteral("适配器错误"));
    QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
    QVERIFY(dialogs.Last().text.contains(QStringLiteral("velmora-none0")));
    QVERIFY(dialogs.Last().text.contains(QStringLiteral("root")));
    QVERIFY(dialogs.Last().text.contains(QStringLiteral("sudo dpkg-reconfigure velmora")));
    QVERIFY(dialogs.Last().text.contains(QStringLiteral("sudo usermod -aG velmora $USER")));
    QCOMPARE(form.Cmd1(0)->text(), QStringLiteral("开始嗅探"));
    QVERIFY(!form.IsCapturing());
    QVERIFY(!form.vpacket().IsCapturing());
    QCOMPARE(form.Status1()->PanelText(1), QStringLiteral("状态：停止嗅探"));
    // Nothing of the earlier run is lost to a start that did not happen.
    QCOMPARE(form.resultModel()->rowCount(), 1);
    QCOMPARE(form.store().PacketCount(), velmora::PacketNumber{1});
    QCOMPARE(form.store().PacketData(1).size(), std::size_t{5});
    QCOMPARE(form.Text1()->toPlainText(), QStringLiteral("earlier"));
}

void TestMainWindowStartup::settingsFillTheControls() {
    SettingsFolder folder;
    folder.Write("[DownloadPath]\nPath=/opt/转送带/dl.exe\n"
                 "[FiterLong]\nLong=250\n"
                 "[FileType]\nCount=2\nExtName1=.mp4\nType1=视频\nValue1=\nExtName2=.jpg\nType2=图片\nValue2=禁用\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    QAbstractItemModelTester tester(form.fileTypes(), QAbstractItemModelTester::FailureReportingMode::QtTest);

    QCOMPARE(form.Text5()->text(), QStringLiteral("/opt/转送带/dl.exe"));
    QCOMPARE(folder.QValue(keys::kDownloadPathSection, keys::kPathWriteKey), QStringLiteral("/opt/转送带/dl.exe"));
    QCOMPARE(form.Text2()->text(), QStringLiteral("250"));
    QCOMPARE(form.CurrentExtractionOptions().minimumLength, 250.0);
    QCOMPARE(form.CurrentExtractionOptions().allPacketsValue, 0);
    QCOMPARE(form.Chk2()->Value(), 1);
    QCOMPARE(form.Chk3()->Value(), 0);

    FileTypeTableModel* types = form.fileTypes();
    QCOMPARE(types->rowCount(), 2);
    QCOMPARE(types->headerData(0, Qt::Horizontal).toString(), QStringLiteral("扩展名"));
    QCOMPARE(types->headerData(1, Qt::Horizontal).toString(), QStringLiteral("类型"));
    QCOMPARE(types->headerData(2, Qt::Horizontal).toString(), QStringLiteral("状态"));
    QCOMPARE(types->Extension(0), QStringLiteral(".mp4"));
    QCOMPARE(types->Type(0), QStringLiteral("视频"));
    QCOMPARE(types->State(0), QString());
    QCOMPARE(types->Extension(1), QStringLiteral(".jpg"));
    QCOMPARE(types->State(1), QStringLiteral("禁用"));
    QCOMPARE(form.resultModel()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("找到的网络文件"));
    QCOMPARE(dialogs.Count(), 0);

    // Without the key the length box is left empty, and the handler reads it as 0.
    SettingsFolder bare;
    bare.Write("[FiterLong]\n");
    Form1 second(bare.Options());
    QVERIFY(second.Text2()->text().isEmpty());
    QCOMPARE(second.CurrentExtractionOptions().minimumLength, 0.0);
    QCOMPARE(second.fileTypes()->rowCount(), 0);
}

void TestMainWindowStartup::missingSettingsFileGetsTheShippedDefaults() {
    SettingsFolder folder;
    QVERIFY(!folder.Exists());
    DialogRecorder dialogs;
    Form1 form(folder.Options(TwoAdapters()));

    QVERIFY(folder.Exists());
    QCOMPARE(form.IniFileName(), folder.IniPath());
    QVERIFY(form.fileTypes()->rowCount() > 10);
    QCOMPARE(form.fileTypes()->Table().Find(u".mp4").has_value(), true);
    QCOMPARE(form.Text2()->text(), QStringLiteral("100"));
    QCOMPARE(folder.Value(keys::kAdaptorsSection, keys::kAdaptorUsedKey), std::string("0"));
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowStartup::unwritableSettingsShowErrorBoxes() {
    SettingsFolder folder;
    // The settings folder is a file: nothing can be read or written, and the window still comes up.
    QFile blocker(folder.dir.filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    Form1::Options options = folder.Options(TwoAdapters());
    options.settingsPath = blocker.fileName() + QStringLiteral("/setting.ini");
    DialogRecorder dialogs;
    Form1 form(options);

    QVERIFY(dialogs.Count() >= 2);
    for (const DialogRequest& request : dialogs.requests) {
        QCOMPARE(request.title, QStringLiteral("Error"));
        QCOMPARE(request.icon, QMessageBox::Critical);
    }
    QVERIFY(dialogs.requests.front().text.startsWith(QStringLiteral("无法创建设置文件！")));
    QVERIFY(dialogs.Titles().size() == dialogs.Count());
    QVERIFY(std::any_of(dialogs.requests.begin(), dialogs.requests.end(),
                        [](const DialogRequest& r) { return r.text.startsWith(QStringLiteral("写入失败！")); }));
    QCOMPARE(form.Combo2()->currentIndex(), 0);
    QCOMPARE(form.fileTypes()->rowCount(), 0);
}

void TestMainWindowStartup::settingsLocation() {
    QTemporaryDir dir;
    const QString explicitFile = dir.filePath(QStringLiteral("mine.ini"));
    QCOMPARE(SettingsLocation::IniFileName(explicitFile), explicitFile);
    // A folder names the setting.ini inside it.
    QCOMPARE(SettingsLocation::IniFileName(dir.path()), dir.filePath(QStringLiteral("setting.ini")));

    qputenv("VELMORA_SETTINGS", explicitFile.toUtf8());
    QCOMPARE(SettingsLocation::IniFileName(), explicitFile);
    QCOMPARE(SettingsLocation::IniFileName(dir.path()), dir.filePath(QStringLiteral("setting.ini")));
    qunsetenv("VELMORA_SETTINGS");
    // The test program's folder is writable: the file sits beside the executable.
    QCOMPARE(SettingsLocation::IniFileName(),
             QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("setting.ini")));

    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    QCOMPARE(SettingsLocation::FallbackIniFileName(), dir.filePath(QStringLiteral("velmora/setting.ini")));
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(SettingsLocation::FallbackIniFileName(),
             QDir::homePath() + QStringLiteral("/.config/velmora/setting.ini"));
    if (!savedConfig.isEmpty())
        qputenv("XDG_CONFIG_HOME", savedConfig);

    QVERIFY(SettingsLocation::IsWritableFolder(dir.path()));
    QVERIFY(!SettingsLocation::IsWritableFolder(dir.filePath(QStringLiteral("missing"))));
    QVERIFY(!SettingsLocation::IsWritableFolder(QString()));
}

void TestMainWindowStartup::choosingAnAdapterWritesItsIndex() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    std::vector<velmora::AdapterInfo> adapters = TwoAdapters();
    adapters.push_back(Adapter("lo", 0x7F000001, 0xFF000000));
    Form1 form(folder.Options(adapters));
    QCOMPARE(folder.Value(keys::kAdaptorsSection, keys::kAdaptorUsedKey), std::string("0"));

    form.Combo2()->setCurrentIndex(2);
    QCOMPARE(folder.Value(keys::kAdaptorsSection, keys::kAdaptorUsedKey), std::string("2"));
    QCOMPARE(form.CurrentSelectedAdapter, QStringLiteral("lo"));
    QCOMPARE(form.Status1()->PanelText(2), QStringLiteral("lo"));
    QCOMPARE(form.Status1()->PanelText(3), QStringLiteral("127.0.0.1"));
    QCOMPARE(form.Status1()->PanelText(4), QStringLiteral("255.0.0.0"));

    // The next start comes back to it.
    Form1 again(folder.Options(adapters));
    QCOMPARE(again.Combo2()->currentIndex(), 2);
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowStartup::longToIP() {
    const struct {
        std::uint32_t value;
        const char* text;
    } cases[] = {{0, "0.0.0.0"},
                 {0xFFFFFF00, "255.255.255.0"},
                 {0xC0A80105, "192.168.1.5"},
                 {0x7F000001, "127.0.0.1"},
                 {0xFFFFFFFF, "255.255.255.255"},
                 {0x0A00FF01, "10.0.255.1"}};
    for (const auto& c : cases)
        QCOMPARE(LongToIP(c.value), QString::fromLatin1(c.text));
}

void TestMainWindowStartup::closeMinimisesWithoutATray() {
    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options(TwoAdapters());
    options.trayIcon = true; // the offscreen platform has no tray: the icon cannot bring the window back
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());

    QVERIFY(!form.close());
    QVERIFY(form.isVisible());
    QTRY_VERIFY(form.isMinimized());

    QSignalSpy unloaded(&form, &Form1::Unloaded);
    form.Unload();
    QCOMPARE(unloaded.count(), 1);
    QVERIFY(!form.isVisible());
    QVERIFY(!form.trayIcon()->IsInstalled());
}

void TestMainWindowStartup::startPageIsBundledAndStaysLocal() {
    // A listener that any remote load would reach.
    QTcpServer remote;
    QVERIFY(remote.listen(QHostAddress::LocalHost));
    const QString remoteAddress = QStringLiteral("http://127.0.0.1:%1/").arg(remote.serverPort());

    SettingsFolder folder;
    DialogRecorder dialogs;
    Form1::Options options = folder.Options(TwoAdapters());
    options.webBrowser = true;
    Form1 form(options);
    form.show();
    QWebEngineView* view = form.WebBr1();
    QVERIFY(view);
    QCOMPARE(view->objectName(), QStringLiteral("WebBr1"));
    QCOMPARE(view->url(), StartPage::Address());
    QTRY_COMPARE_WITH_TIMEOUT(view->title(), QStringLiteral("Velmora V3.0"), 30000);

    QSignalSpy loads(view->page(), &QWebEnginePage::loadFinished);
    view->load(QUrl(remoteAddress));
    view->setHtml(QStringLiteral("<img src='%1x.png'>").arg(remoteAddress));
    QTest::qWait(1500);
    QCOMPARE(view->url(), StartPage::Address());
    QVERIFY(!remote.hasPendingConnections());
    QVERIFY(!remote.waitForNewConnection(200));
}

// The buttons and menus Qt makes itself (message boxes, the text boxes' menu, the file dialog) speak
// the window's language, from Qt's translations loaded at start.
void TestMainWindowStartup::qtsOwnTextsAreChinese() {
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts << action->text();
    QVERIFY2(texts.join(QLatin1Char('|')).contains(QStringLiteral("复制")), qPrintable(texts.join(QLatin1Char('|'))));
}

// The maximise button Qt draws on Wayland asks the window itself (QWindow::setWindowStates), whatever its
// hints: a fixed-size window takes the request back at once, so the compositor never holds it maximised
// at a size the window cannot take. Windows that can grow still maximise.
void TestMainWindowStartup::fixedSizeWindowsAreNeverMaximised() {
    SettingsFolder folder;
    Form1 form(folder.Options());
    form.show();
    frmAbout& about = *frmAbout::ShowAbout(&form);
    QMessageBox box(QMessageBox::Information, QStringLiteral("Velmora"), QStringLiteral("文本"), QMessageBox::Ok);
    box.show();
    for (QWidget* fixed : std::initializer_list<QWidget*>{&about, &box}) {
        QVERIFY(QTest::qWaitForWindowExposed(fixed));
        QVERIFY2(FixedSizeWindows::IsFixed(*fixed), fixed->metaObject()->className());
        const QSize size = fixed->size();
        fixed->windowHandle()->setWindowStates(fixed->windowHandle()->windowStates() ^ Qt::WindowMaximized);
        QApplication::processEvents();
        QVERIFY2(!(fixed->windowHandle()->windowStates() & Qt::WindowMaximized), fixed->metaObject()->className());
        QVERIFY(!fixed->isMaximized());
        QCOMPARE(fixed->size(), size);
    }
    Form3 add(&form, form.fileTypes(), [] {});
    add.setMaximumHeight(QWIDGETSIZE_MAX);
    add.show();
    QVERIFY(QTest::qWaitForWindowExposed(&add));
    QVERIFY(!FixedSizeWindows::IsFixed(add));
    add.windowHandle()->setWindowStates(Qt::WindowMaximized);
    QApplication::processEvents();
    QVERIFY(add.windowHandle()->windowStates() & Qt::WindowMaximized);
    box.close();
    frmAbout::UnloadIfLoaded();
}

VELMORA_GUI_TEST_MAIN(TestMainWindowStartup)
#include "tst_mainwindow_startup.moc"
