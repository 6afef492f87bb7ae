// The hand-off to the download manager on a real X server (Xvfb with jwm): window search by exact
// title, the click into the stand-in download manager, and the paste of the clipboard into its
// add-task window, from the main window's double-click. A fake driver covers only what the server
// cannot do on demand: windows that vanish between being found and being measured, and the count of
// search attempts.

#include "capture/pcap/AdapterInfo.h"
#include "desktop/Module2.h"
#include "desktop/X11XlibWindowDriver.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/ResultListOperations.h"
#include "mainwindow/StatusPanels.h"
#include "tst_mainwindow_support.h"

#include <QClipboard>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTableView>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

#include <csignal>
#include <memory>

// Xlib after Qt.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

const QString kStandInPath = QStringLiteral(VELMORA_BINARY_DIR "/tests/tool_fake_downloader");

QStringList readLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// A copy of the stand-in started by the test and stopped by its pid.
class StandIn final {
public:
    explicit StandIn(const QString& logPath, const QStringList& extra = {}) : log_(logPath) {
        process_.start(kStandInPath, QStringList{logPath} + extra);
    }
    ~StandIn() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool Started() { return process_.waitForStarted(5000); }
    QStringList Lines() const { return readLines(log_); }

private:
    QString log_;
    QProcess process_;
};

// Stops a copy the program under test started itself, by the pid the copy logged.
class StartedByProgram final {
public:
    explicit StartedByProgram(QString logPath) : log_(std::move(logPath)) {}
    ~StartedByProgram() {
        for (const QString& line : readLines(log_)) {
            if (!line.startsWith(QLatin1String("pid ")))
                continue;
            const auto pid = pid_t(line.mid(4).toLongLong());
            if (pid <= 0 || ::kill(pid, SIGTERM) != 0)
                continue;
            for (int i = 0; i < 250 && alive(pid); ++i)
                QTest::qWait(20);
        }
    }

private:
    // Detached, it is reaped by whoever adopted it, possibly never: a zombie counts as gone.
    static bool alive(pid_t pid) {
        if (::kill(pid, 0) != 0)
            return false;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')');
        return close < 0 || text.mid(close + 2, 1) != "Z";
    }

    QString log_;
};

bool waitForTitle(X11XlibWindowDriver& driver, const QString& title, int ms = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        if (driver.FindWindowByTitle(title))
            return true;
        QTest::qWait(50);
    }
    return false;
}

// A window made with Xlib alone, whose only title is WM_NAME in the given encoding.
class RawWindow final {
public:
    RawWindow(const QString& title, XICCEncodingStyle style) : display_(XOpenDisplay(nullptr)) {
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 10, 10, 200, 100, 0, 0, 0);
        QByteArray utf8 = title.toUtf8();
        char* list[] = {utf8.data()};
        XTextProperty property{};
        Xutf8TextListToTextProperty(display_, list, 1, style, &property);
        XSetWMName(display_, window_, &property);
        XFree(property.value);
        XMapWindow(display_, window_);
        XSync(display_, False);
    }
    ~RawWindow() {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }
    unsigned long Id() const { return window_; }
    bool WaitViewable() {
        for (int i = 0; i < 100; ++i) {
            XWindowAttributes attributes;
            XGetWindowAttributes(display_, window_, &attributes);
            if (attributes.map_state == IsViewable)
                return true;
            QTest::qWait(20);
        }
        return false;
    }

private:
    Display* display_;
    Window window_ = 0;
};

// Records every operation and pause; windows appear after a set number of searches, or never.
class RecordingDriver final : public X11WindowDriver {
public:
    int mainAfter = 1, addTaskAfter = 1; // 0: never found
    bool mainRectFails = false, addTaskRectFails = false;
    QStringList ops;

    std::optional<WindowId> FindWindowByTitle(const QString& title) override {
        ops << QStringLiteral("find ") + title;
        const bool main = title == Module2::DownloaderTitle;
        const int searches = ++(main ? mainSearches_ : addTaskSearches_);
        const int after = main ? mainAfter : addTaskAfter;
        if (after == 0 || searches < after)
            return std::nullopt;
        return main ? 1 : 2;
    }
    void ShowMaximizedOnTop(WindowId w) override { ops << QStringLiteral("maximize %1").arg(w); }
    bool IsShownMaximized(WindowId) override { return true; }
    std::optional<QRect> WindowRect(WindowId w) override {
        ops << QStringLiteral("rect %1").arg(w);
        if ((w == 1 && mainRectFails) || (w == 2 && addTaskRectFails))
            return std::nullopt;
        return w == 1 ? QRect(1000, 1000, 800, 600) : QRect(2000, 2000, 640, 480);
    }
    void MoveCursor(QPoint p) override { ops << QStringLiteral("cursor %1 %2").arg(p.x()).arg(p.y()); }
    void LeftClick() override { ops << QStringLiteral("click"); }
    void PasteKeystroke() override { ops << QStringLiteral("paste"); }

private:
    int mainSearches_ = 0, addTaskSearches_ = 0;
};

QStringList repeated(const QString& op, int times) {
    QStringList list;
    for (int i = 0; i < times; ++i)
        list << op;
    return list;
}

} // namespace

class TestX11Handoff final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo(kStandInPath).isExecutable(), "build tool_fake_downloader first");
        driver_ = X11XlibWindowDriver::Open();
        QVERIFY2(driver_, "needs an X display with XTest (run under tests/run-under-xvfb.sh)");
    }

    void cleanup() {
        Dialogs::SetHook({});
        form_.reset();
    }

    void sequenceWhenWindowsVanish_data() {
        QTest::addColumn<int>("mainAfter");
        QTest::addColumn<int>("addTaskAfter");
        QTest::addColumn<bool>("mainRectFails");
        QTest::addColumn<bool>("addTaskRectFails");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("ops");

        const QString findMain = QStringLiteral("find 影音传送带"), findAdd = QStringLiteral("find 添加新的下载任务");
        const QStringList untilClick{"maximize 1", "rect 1", "cursor 1158 1065", "pause 500", "click", "pause 500"};
        QTest::newRow("main window never there")
            << 0 << 1 << false << false << int(Module2::HandOffResult::MainWindowNotFound) << repeated(findMain, 30);
        QTest::newRow("main window gone before measuring")
            << 1 << 1 << true << false << int(Module2::HandOffResult::MainWindowGone)
            << QStringList{findMain, "maximize 1", "rect 1"};
        QTest::newRow("add-task window never opens")
            << 1 << 0 << false << false << int(Module2::HandOffResult::AddTaskWindowNotFound)
            << QStringList{findMain} + untilClick + repeated(findAdd, 29);
        QTest::newRow("add-task window gone before measuring")
            << 1 << 1 << false << true << int(Module2::HandOffResult::AddTaskWindowGone)
            << QStringList{findMain} + untilClick + QStringList{findAdd, "rect 2"};
        QTest::newRow("found on the last attempts") << 30 << 29 << false << false << int(Module2::HandOffResult::Pasted)
                                                    << repeated(findMain, 30) + untilClick + repeated(findAdd, 29) +
                                                           QStringList{"rect 2", "cursor 2450 2350", "paste"};
    }
    void sequenceWhenWindowsVanish() {
        QFETCH(int, mainAfter);
        QFETCH(int, addTaskAfter);
        QFETCH(bool, mainRectFails);
        QFETCH(bool, addTaskRectFails);
        QFETCH(int, result);
        QFETCH(QStringList, ops);
        RecordingDriver fake;
        fake.mainAfter = mainAfter;
        fake.addTaskAfter = addTaskAfter;
        fake.mainRectFails = mainRectFails;
        fake.addTaskRectFails = addTaskRectFails;
        const auto got =
            Module2::SendToDownloader(fake, [&fake](int ms) { fake.ops << QStringLiteral("pause %1").arg(ms); });
        QCOMPARE(int(got), result);
        QCOMPARE(fake.ops, ops);
    }

    // Titles match exactly, from _NET_WM_NAME or, without it, WM_NAME in any encoding; minimised
    // windows count, closed ones do not.
    void windowSearchByExactTitle() {
        const QString title = Module2::DownloaderTitle;
        QWidget nearMiss, prefix;
        nearMiss.setWindowTitle(title + QStringLiteral(" (旧)"));
        prefix.setWindowTitle(title.left(4));
        nearMiss.show();
        prefix.show();
        QVERIFY(QTest::qWaitForWindowExposed(&nearMiss));
        QVERIFY(QTest::qWaitForWindowExposed(&prefix));
        QVERIFY(waitForTitle(*driver_, nearMiss.windowTitle()));
        QVERIFY(!driver_->FindWindowByTitle(title));

        for (XICCEncodingStyle style : {XCompoundTextStyle, XUTF8StringStyle}) {
            RawWindow raw(title, style);
            QVERIFY(raw.WaitViewable());
            QVERIFY(waitForTitle(*driver_, title));
            QCOMPARE(driver_->WindowTitle(raw.Id()), std::optional<QString>(title));
        }
        QVERIFY(!driver_->FindWindowByTitle(title));

        QWidget exact;
        exact.setWindowTitle(title);
        exact.showMinimized();
        QVERIFY(waitForTitle(*driver_, title));
        exact.hide();
        QTRY_VERIFY(!driver_->FindWindowByTitle(title));
    }

    // Where the hand-off stopped ends in a box, not in the status bar, where it went unseen. A program that
    // shows no window: nothing is clicked. A stand-in that opens no add-task window: it is maximised, clicked
    // once at (158, 65), and nothing is typed. In a Wayland session a box says first that driving another
    // program's windows may not work there; the hand-off still runs.
    void handOffStopsShort_data() {
        QTest::addColumn<bool>("standInRunning");
        QTest::addColumn<bool>("wayland");
        QTest::addColumn<QString>("reason");
        QTest::newRow("started program shows no window") << false << false << QStringLiteral("“影音传送带”的主窗口");
        QTest::newRow("no add-task window") << true << false << QStringLiteral("“添加新的下载任务”窗口");
        QTest::newRow("no add-task window, Wayland session")
            << true << true << QStringLiteral("“添加新的下载任务”窗口");
    }
    void handOffStopsShort() {
        QFETCH(bool, standInRunning);
        QFETCH(bool, wayland);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString log = dir.filePath("log");
        std::optional<StandIn> standIn;
        QString path = dir.filePath(QStringLiteral("quiet.sh"));
        if (standInRunning) {
            standIn.emplace(log, QStringList{"--no-add-task"});
            QVERIFY(standIn->Started());
            QVERIFY(waitForTitle(*driver_, Module2::DownloaderTitle));
        } else {
            QFile script(path);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nexit 0\n");
            script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
            QTRY_VERIFY(!driver_->FindWindowByTitle(Module2::DownloaderTitle));
        }

        makeForm(dir);
        form_->Text5()->setText(path);
        QCursor::setPos(5, 5);
        QTRY_COMPARE(QCursor::pos(), QPoint(5, 5));
        testsupport::DialogRecorder dialogs;
        if (wayland)
            qputenv("XDG_SESSION_TYPE", "wayland");
        const QString address = QStringLiteral("http://127.0.0.1/x.flv");
        doubleClickRow(address);
        qunsetenv("XDG_SESSION_TYPE");
        QCOMPARE(dialogs.Count(), wayland ? 2 : 1);
        if (wayland) {
            const QString notice = dialogs.requests.front().text;
            QVERIFY2(notice.contains(QStringLiteral("Wayland")) && notice.contains(QStringLiteral("剪贴板")),
                     qPrintable(notice));
        }
        QVERIFY2(dialogs.Last().text.contains(reason) && dialogs.Last().text.contains(QStringLiteral("剪贴板")),
                 qPrintable(dialogs.Last().text));
        QCOMPARE(dialogs.Last().title, QStringLiteral("Velmora"));
        QCOMPARE(QGuiApplication::clipboard()->text(), address);
        QCOMPARE(form_->Status1()->currentMessage(), QString());
        if (!standInRunning) {
            QCOMPARE(QCursor::pos(), QPoint(5, 5));
            return;
        }
        const auto window = driver_->FindWindowByTitle(Module2::DownloaderTitle);
        QVERIFY(window);
        QVERIFY(driver_->IsShownMaximized(*window));
        QTRY_COMPARE(standIn->Lines().filter(QRegularExpression("^(click|field)")), QStringList{"click 158 65"});
    }

    // The whole road: a double-click on a row of the real main window pastes exactly that row's
    // address into the running stand-in's address field.
    void doubleClickPastesIntoRunningDownloader() {
        QTemporaryDir dir;
        const QString log = dir.filePath("log");
        StandIn standIn(log);
        QVERIFY(standIn.Started());
        QVERIFY(waitForTitle(*driver_, Module2::DownloaderTitle));

        makeForm(dir);
        form_->Text5()->setText(QStringLiteral("/nonexistent/影音传送带.exe")); // not started: already running
        const QString address = QStringLiteral("http://127.0.0.1:8080/视频/第 1 集.flv?key=a&b=%20");
        doubleClickRow(address);
        QTRY_VERIFY_WITH_TIMEOUT(standIn.Lines().contains(QStringLiteral("field ") + address), 10000);
        const QStringList lines = standIn.Lines();
        QCOMPARE(lines.filter(QRegularExpression("^click")), QStringList{"click 158 65"});
        QCOMPARE(lines.filter(QRegularExpression("^cursor")).last(), QStringLiteral("cursor 450 350"));
        QCOMPARE(lines.filter(QRegularExpression("^field")).last(), QStringLiteral("field ") + address);
        QCOMPARE(form_->Status1()->currentMessage(), QString());
    }

    // With no window of that title, the command starts the program at the path, waits for its window
    // (a busy cursor meanwhile, and seconds if need be, as under Wine on a busy machine) and hands off.
    void doubleClickStartsDownloader_data() {
        QTest::addColumn<int>("delayMs");
        QTest::newRow("at once") << 0;
        QTest::newRow("after 4 s") << 4000;
    }
    void doubleClickStartsDownloader() {
        QFETCH(int, delayMs);
        QTemporaryDir dir;
        const QString log = dir.filePath("log");
        qputenv("VELMORA_FAKE_DOWNLOADER_LOG", log.toUtf8());
        qputenv("VELMORA_FAKE_DOWNLOADER_DELAY_MS", QByteArray::number(delayMs));
        StartedByProgram stopper(log);
        QTRY_VERIFY(!driver_->FindWindowByTitle(Module2::DownloaderTitle));

        makeForm(dir);
        form_->Text5()->setText(kStandInPath);
        QList<DialogRequest> shown;
        Dialogs::SetHook([&shown](const DialogRequest& request) {
            shown << request;
            return DialogAnswer{};
        });
        bool busy = false;
        QTimer sample;
        connect(&sample, &QTimer::timeout, [&] {
            if (const QCursor* cursor = QGuiApplication::overrideCursor(); cursor && cursor->shape() == Qt::BusyCursor)
                busy = true;
        });
        sample.start(50);
        const QString address = QStringLiteral("rtsp://127.0.0.1/live/频道1");
        doubleClickRow(address);
        qunsetenv("VELMORA_FAKE_DOWNLOADER_LOG");
        qunsetenv("VELMORA_FAKE_DOWNLOADER_DELAY_MS");
        QTRY_VERIFY_WITH_TIMEOUT(readLines(log).contains(QStringLiteral("field ") + address), 20000);
        Dialogs::SetHook({});
        QCOMPARE(shown.size(), 0);
        QVERIFY(busy);
        QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
        QCOMPARE(form_->Status1()->currentMessage(), QString());
    }

    // No path: the message, no program, and the address on the clipboard for the user to paste.
    // A Windows program with no wine installed: said so, address on the clipboard.
    void addressStaysOnClipboard_data() {
        QTest::addColumn<bool>("exePath");
        QTest::addColumn<QString>("message");
        QTest::newRow("no path") << false << QStringLiteral("请指定影音传送带路径！");
        QTest::newRow("exe without wine") << true << QStringLiteral("wine");
    }
    void addressStaysOnClipboard() {
        QFETCH(bool, exePath);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString path;
        if (exePath) {
            path = dir.filePath(QStringLiteral("影音传送带.exe"));
            QFile exe(path);
            QVERIFY(exe.open(QIODevice::WriteOnly));
        }
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", dir.path().toUtf8()); // certainly no wine
        QTRY_VERIFY(!driver_->FindWindowByTitle(Module2::DownloaderTitle));

        makeForm(dir);
        form_->Text5()->setText(path);
        QList<DialogRequest> shown;
        Dialogs::SetHook([&shown](const DialogRequest& request) {
            shown << request;
            return DialogAnswer{};
        });
        const QString address = QStringLiteral("mms://127.0.0.1/节目.wmv");
        doubleClickRow(address);
        qputenv("PATH", oldPath);

        QCOMPARE(shown.size(), 1);
        QVERIFY2(shown[0].text.contains(message), qPrintable(shown[0].text));
        QCOMPARE(shown[0].title, QStringLiteral("Velmora"));
        QCOMPARE(QGuiApplication::clipboard()->text(), address);
        QVERIFY(!driver_->FindWindowByTitle(Module2::DownloaderTitle));
    }

private:
    void makeForm(QTemporaryDir& dir) {
        form_ = std::make_unique<Form1>(testsupport::WindowOptions(dir));
        QVERIFY(form_->findChild<ResultListOperations*>());
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    }

    // Puts `address` in row 2 of three and double-clicks that row.
    void doubleClickRow(const QString& address) {
        ResultListModel* model = form_->resultModel();
        model->AddCaptureRow({u"视频", u"http://127.0.0.1/first.flv", 1});
        model->AddCaptureRow({u"视频", address.toStdU16String(), 2});
        model->AddCaptureRow({u"音频", u"http://127.0.0.1/last.mp3", 3});
        model->FlushPending();
        QTableView* view = form_->LV1();
        const QPoint at = view->visualRect(model->index(1, ResultListModel::AddressColumn)).center();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
    }

    std::unique_ptr<X11XlibWindowDriver> driver_;
    std::unique_ptr<Form1> form_;
};

QTEST_MAIN(TestX11Handoff)
#include "tst_x11_handoff.moc"
