// The command bar on the real main window: captions, the data window toggle, the keyword search
// (its rows, its refusals, and what interrupts it), home page, the about/help menu and exit.
// Capture runs on the loopback adapter for real where the test needs a running capture (root).

#include "desktop/cPopupMenu.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/DataWindow.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/Form3.h"
#include "mainwindow/KeywordSearch.h"
#include "mainwindow/MainWindowLayout.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/StatusPanels.h"
#include "splash/frmAbout.h"
#include "tst_mainwindow_support.h"

#include <QAbstractButton>
#include <QAction>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QHostAddress>
#include <QLayout>
#include <QMouseEvent>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <unistd.h>

#include <deque>
#include <memory>

class UrlCatcher final : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

namespace {

std::vector<std::uint8_t> bytes(const char* text) {
    const std::string s(text);
    return {s.begin(), s.end()};
}

struct Row {
    QString type;
    QString address;
    QString packet;
    bool operator==(const Row&) const = default;
};

char* toString(const Row& row) {
    return QTest::toString(QStringLiteral("(%1, %2, %3)").arg(row.type, row.address, row.packet));
}

} // namespace

class TestCommandBar final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        velmora::AdapterInfo lo = testsupport::Adapter("lo", 0x7F000001, 0xFF000000);
        lo.loopback = true;
        form_ = std::make_unique<Form1>(testsupport::WindowOptions(*dir_, {lo}));
        bar_ = form_->findChild<CommandBar*>();
        QVERIFY(bar_);

        requests_.clear();
        answers_.clear();
        Dialogs::SetHook([this](const DialogRequest& request) {
            requests_.push_back(request);
            DialogAnswer answer;
            if (request.kind == DialogRequest::Kind::Input && !answers_.empty()) {
                answer.text = answers_.front();
                answers_.pop_front();
            }
            return answer;
        });
        for (const char* scheme : {"https", "http", "file", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher_, "open");
        catcher_.opened.clear();
    }

    void cleanup() {
        cPopupMenu::SetHook({});
        Dialogs::SetHook({});
        for (const char* scheme : {"https", "http", "file", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        if (form_ && form_->IsCapturing())
            form_->StopCapture();
        form_.reset();
        frmAbout::UnloadIfLoaded();
    }

    void captionsAndOtherIndexes() {
        const QStringList captions{"开始嗅探", "显示数据窗口", "搜索缓存", "主   页", "关   于", "退   出"};
        const int indexes[] = {0, 2, 3, 4, 5, 6};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(form_->Cmd1(indexes[i])->text(), captions[i]);
        // Indexes without a command do nothing at all.
        for (int index : {1, 7, -1})
            bar_->Cmd1_Click(index);
        QVERIFY(requests_.empty());
        QVERIFY(catcher_.opened.isEmpty());
        QCOMPARE(form_->Cmd1(2)->text(), QStringLiteral("显示数据窗口"));
    }

    void dataWindowToggleHasTwoListHeights() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QTableView* list = form_->LV1();
        QPlainTextEdit* text = form_->Text1();
        QVERIFY(!text->isVisible());
        const int page = form_->Frame1(0)->height();
        QVERIFY(page > 100);
        const int hidden = list->height();
        QCOMPARE(hidden, page - 600 / 15);

        form_->Cmd1(2)->click();
        QCOMPARE(form_->Cmd1(2)->text(), QStringLiteral("关闭数据窗口"));
        QVERIFY(text->isVisible());
        // The list gives up 1215 twips; the data window starts 1200 twips above the page's bottom, below the
        // list and inside the page.
        QCOMPARE(list->height(), hidden - 1215 / 15);
        QCOMPARE(text->geometry().top(), page - 1200 / 15);
        QVERIFY(text->geometry().top() > list->geometry().bottom());
        QVERIFY(text->geometry().bottom() < page);
        QCOMPARE(text->width(), list->width());

        form_->Cmd1(2)->click();
        QCOMPARE(form_->Cmd1(2)->text(), QStringLiteral("显示数据窗口"));
        QVERIFY(!text->isVisible());
        QCOMPARE(list->height(), hidden);
    }

    // The data window's top edge is dragged like a splitter's; the height is kept for the next start and
    // fitted to a smaller window.
    void dataWindowIsResizedByItsTopEdgeAndRemembered() {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        form_->Cmd1(2)->click();
        QTableView* list = form_->LV1();
        QPlainTextEdit* text = form_->Text1();
        QWidget* handle = form_->findChild<QWidget*>(QStringLiteral("DataWindowHandle"));
        QVERIFY(handle && handle->isVisible());
        QCOMPARE(handle->cursor().shape(), Qt::SizeVerCursor);
        const int listBefore = list->height(), textBefore = text->height();
        QVERIFY(handle->geometry().contains(handle->geometry().center().x(), text->geometry().top()));

        const QPoint from = handle->rect().center();
        QTest::mousePress(handle, Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(from + QPoint(0, -60)), handle->mapToGlobal(QPointF(from + QPoint(0, -60))),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(handle, &move);
        QTest::mouseRelease(handle, Qt::LeftButton, {}, from + QPoint(0, -60));
        QCOMPARE(text->height(), textBefore + 60);
        QCOMPARE(list->height(), listBefore - 60);
        QVERIFY(list->geometry().bottom() < text->geometry().top());
        QCOMPARE(text->geometry().bottom(), form_->Frame1(0)->height() - 1);
        QCOMPARE(testsupport::SettingsFolderValue(*dir_, "Window", "DataWindowHeight"), QString::number(textBefore + 60));

        // Hidden and shown again, and at the next start: the same height.
        form_->Cmd1(2)->click();
        QVERIFY(!handle->isVisible());
        form_->Cmd1(2)->click();
        QCOMPARE(text->height(), textBefore + 60);
        QCOMPARE(list->height(), listBefore - 60);
        Form1 next(testsupport::WindowOptions(*dir_));
        next.show();
        next.Cmd1(2)->click();
        QCOMPARE(next.Text1()->height(), textBefore + 60);
        // The smallest window leaves the list its rows, however tall the data window was made.
        next.resize(MainWindowLayout::kMinimumSize);
        QVERIFY(next.LV1()->height() >= 80);
        QVERIFY(next.Text1()->height() >= MainWindowLayout::kMinimumDataWindowHeight);
        QVERIFY(next.LV1()->geometry().bottom() < next.Text1()->geometry().top());
    }

    // The search box's title ("输入要搜索的字符串：") is not cut at the window system's caption buttons.
    void searchBoxTitleReadsWhole() {
        Dialogs::SetHook({});
        int width = 0;
        QString title;
        QTimer::singleShot(0, this, [&] {
            if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                width = box->width();
                title = box->windowTitle();
                box->reject();
            }
        });
        bar_->SearchKeyword();
        QCOMPARE(title, QStringLiteral("输入要搜索的字符串："));
        QFont bold = QApplication::font();
        bold.setBold(true);
        QVERIFY2(width >= QFontMetrics(bold).horizontalAdvance(title) + 120, qPrintable(QStringLiteral("%1 %2").arg(width).arg(QFontMetrics(bold).horizontalAdvance(title))));
    }

    void keywordSearchListsTokens() {
        velmora::PacketStore& store = form_->store();
        store.Store(bytes("\r\nGET /a/b.mp3 HTTP/1.1\r\nHost: cdn.example\r\n"));
        store.Store(bytes("\r\nx.mp3 y.MP3\r\n/c/d.mp3"));
        store.Store(bytes("nothing here"));
        store.Store(bytes("abcmp3"));
        addCaptureRows({"http://cdn.example/a/b.mp3", "http://cdn.example/e.mp4"});
        form_->Text1()->setPlainText(QStringLiteral("old text"));

        answers_.push_back(QStringLiteral("MP3   "));
        form_->Cmd1(3)->click();

        QCOMPARE(requests_.size(), std::size_t{1});
        QCOMPARE(requests_[0].kind, DialogRequest::Kind::Input);
        QCOMPARE(requests_[0].title, QStringLiteral("输入要搜索的字符串："));
        QCOMPARE(requests_[0].text, QStringLiteral("搜索设置"));
        const QString type = QStringLiteral("关键字搜索");
        QCOMPARE(rows(), (QList<Row>{{type, "/a/b.mp3", "1"},
                                     {type, "x.mp3", "2"},
                                     {type, "y.MP3", "2"},
                                     {type, "/c/d.mp3", "2"},
                                     {type, "mp3", "4"}}));
        QVERIFY(form_->Text1()->toPlainText().isEmpty());
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：嗅探结束"));
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("开始嗅探"));
        QVERIFY(!bar_->keywordSearch()->IsRunning());
        QCOMPARE(bar_->keywordSearch()->PacketsSearched(), velmora::PacketNumber{4});
        QCOMPARE(form_->resultModel()->ResultCount(), std::int64_t{2});
    }

    // A refused search changes nothing, and a running capture goes on capturing.
    void emptyAnswerLeavesCaptureRunning() {
        startLoopbackCapture();
        addCaptureRows({"http://127.0.0.1/v/a.mp4"});
        const QList<Row> before = rows();

        for (const std::optional<QString>& answer :
             {std::optional<QString>(QString()), std::optional<QString>(QStringLiteral("   ")),
              std::optional<QString>()}) {
            answers_.push_back(answer);
            form_->Cmd1(3)->click();
        }
        QCOMPARE(requests_.size(), std::size_t{3});
        QCOMPARE(rows(), before);
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：嗅探开始"));
        const velmora::PacketNumber count = form_->store().PacketCount();
        sendLoopbackDatagrams();
        QTRY_VERIFY(form_->store().PacketCount() > count);

        // An empty list gives nothing to search: capture goes on as well.
        form_->resultModel()->ClearRows();
        answers_.push_back(QStringLiteral("mp4"));
        form_->Cmd1(3)->click();
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：嗅探开始"));

        // A real search stops the component, but the button keeps its caption.
        addCaptureRows({"http://127.0.0.1/v/b.mp4"});
        answers_.push_back(QStringLiteral("velmora-probe"));
        form_->Cmd1(3)->click();
        QCOMPARE(form_->Status1()->PanelText(1), QStringLiteral("状态：嗅探结束"));
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));
        QVERIFY(!rows().isEmpty());
        for (const Row& row : rows())
            QCOMPARE(row.address, QStringLiteral("velmora-probe"));
        const velmora::PacketNumber stopped = form_->store().PacketCount();
        sendLoopbackDatagrams();
        QTest::qWait(300);
        QCOMPARE(form_->store().PacketCount(), stopped);
    }

    void searchInterruptedByClearOrNewSearch_data() {
        QTest::addColumn<QString>("interruption");
        QTest::newRow("clear of the list") << "clear";
        QTest::newRow("new search") << "search";
        QTest::newRow("start of capture") << "capture";
    }

    void searchInterruptedByClearOrNewSearch() {
        QFETCH(QString, interruption);
        if (interruption == QLatin1String("capture"))
            requireCapturePrivilege();
        constexpr int kPackets = 2000;
        for (int i = 0; i < kPackets; ++i)
            form_->store().Store(bytes("\r\nGET /v/a.mp3 HTTP/1.1\r\nReferer: b.ogg\r\n"));
        addCaptureRows({"http://x/v/a.mp3"});

        // Some packets into the search, another command runs in its event turn.
        int turns = 0;
        int rowsAtInterruption = -1;
        QTimer interrupter;
        interrupter.setInterval(0);
        connect(&interrupter, &QTimer::timeout, this, [&] {
            if (++turns != 300)
                return;
            interrupter.stop();
            rowsAtInterruption = static_cast<int>(form_->results().size());
            if (interruption == QLatin1String("clear")) {
                form_->resultModel()->ClearRows();
                form_->Text1()->clear();
            } else if (interruption == QLatin1String("search")) {
                answers_.push_back(QStringLiteral("OGG"));
                form_->Cmd1(3)->click();
            } else {
                form_->Cmd1(0)->click();
            }
        });
        interrupter.start();
        answers_.push_back(QStringLiteral("mp3"));
        form_->Cmd1(3)->click();
        interrupter.stop();

        QVERIFY2(rowsAtInterruption > 0 && rowsAtInterruption < kPackets, "interrupted part-way");
        QVERIFY(!bar_->keywordSearch()->IsRunning());
        const QList<Row> found = rows();
        if (interruption == QLatin1String("clear")) {
            QVERIFY(found.isEmpty());
        } else if (interruption == QLatin1String("search")) {
            // Only the newer search's rows, each packet once, in order.
            QCOMPARE(found.size(), kPackets);
            for (int i = 0; i < kPackets; ++i)
                QCOMPARE(found[i],
                         (Row{QStringLiteral("关键字搜索"), QStringLiteral("b.ogg"), QString::number(i + 1)}));
        } else {
            QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));
            for (const Row& row : found)
                QVERIFY2(row.type != QStringLiteral("关键字搜索"), qPrintable(row.address));
            QVERIFY(form_->store().PacketCount() < velmora::PacketNumber{kPackets});
        }
        QCOMPARE(form_->resultModel()->rowCount(), static_cast<int>(form_->results().size()));
    }

    void homePageAndAboutMenu() {
        form_->Cmd1(4)->click();
        QCOMPARE(catcher_.opened, QList<QUrl>{QUrl(QStringLiteral("https://velmora.example/"))});
        catcher_.opened.clear();

        int choice = 0;
        QStringList texts;
        cPopupMenu::SetHook([&](QMenu& menu) -> QAction* {
            texts.clear();
            for (QAction* action : menu.actions())
                texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
            return choice > 0 ? menu.actions().value(choice - 1) : nullptr;
        });

        choice = 0; // dismissed
        form_->Cmd1(5)->click();
        // The three original entries keep their numbers; opening capture files follows them.
        QCOMPARE(texts, (QStringList{"关于...", "-", "帮   助", "-", "打开捕获文件…"}));
        QVERIFY(catcher_.opened.isEmpty());
        QCOMPARE(frmAbout::Loaded(), nullptr);

        choice = 1; // twice: one about box, not modal
        form_->Cmd1(5)->click();
        frmAbout* about = frmAbout::Loaded();
        QVERIFY(about && about->isVisible() && !about->isModal());
        form_->Cmd1(5)->click();
        QCOMPARE(frmAbout::Loaded(), about);
        QCOMPARE(form_->findChildren<frmAbout*>().size(), 1);

        choice = 3; // help: readme.htm beside the executable
        form_->Cmd1(5)->click();
        QCOMPARE(catcher_.opened, QList<QUrl>{QUrl::fromLocalFile(CommandBar::HelpFilePath())});
        QVERIFY(catcher_.opened[0].path().endsWith(QStringLiteral("/readme.htm")));
        QVERIFY(requests_.empty());

        // Nothing to open them with (no xdg-open): a box says so and names what was to be opened.
        for (const char* scheme : {"https", "file"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        form_->Cmd1(5)->click();
        form_->Cmd1(4)->click();
        QCOMPARE(requests_.size(), std::size_t{2});
        QCOMPARE(requests_[0].title, QStringLiteral("无法打开帮助"));
        QVERIFY(requests_[0].text.contains(CommandBar::HelpFilePath()));
        QCOMPARE(requests_[1].title, QStringLiteral("无法打开主页"));
        QVERIFY(requests_[1].text.contains(QStringLiteral("https://velmora.example/")));
        QVERIFY(requests_[1].text.contains(QStringLiteral("xdg-utils")));

        // The build puts the help file beside the program, and it is the real guide.
        QFile help(QStringLiteral(VELMORA_BINARY_DIR "/readme.htm"));
        QVERIFY(help.open(QIODevice::ReadOnly));
        const QString guide = QString::fromUtf8(help.readAll());
        for (const char* needle : {"HTTPS", "sudo usermod -aG velmora", "Wine", "setting.ini", "FiterLong",
                                   "清空列表", "监视的文件类型"})
            QVERIFY2(guide.contains(QString::fromUtf8(needle)), needle);
    }

    void exitRefusedWhileCapturing() {
        startLoopbackCapture();
        QSignalSpy unloaded(form_.get(), &Form1::Unloaded);
        form_->show();
        cPopupMenu::SetHook([](QMenu& menu) { return menu.actions().value(0); });
        form_->Cmd1(5)->click();
        QVERIFY(frmAbout::Loaded());

        form_->Cmd1(6)->click();
        QCOMPARE(requests_.size(), std::size_t{1});
        QCOMPARE(requests_[0].kind, DialogRequest::Kind::Message);
        QCOMPARE(requests_[0].icon, QMessageBox::Critical);
        QCOMPARE(requests_[0].title, QStringLiteral("错误"));
        QCOMPARE(requests_[0].text, QStringLiteral("正在嗅探，要退出程序先停止嗅探！"));
        QCOMPARE(unloaded.count(), 0);
        QVERIFY(form_->isVisible());
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));

        // Stopped, exit unloads the window and the about box with it.
        form_->Cmd1(0)->click();
        form_->Cmd1(6)->click();
        QCOMPARE(unloaded.count(), 1);
        QCOMPARE(requests_.size(), std::size_t{1});
        QVERIFY(!form_->isVisible());
        QCOMPARE(frmAbout::Loaded(), nullptr);
    }

private:
    void addCaptureRows(const QStringList& addresses) {
        for (const QString& address : addresses)
            form_->resultModel()->AddCaptureRow({u"视频", address.toStdU16String(), 1});
    }

    QList<Row> rows() const {
        QList<Row> out;
        const ResultListModel* model = form_->resultModel();
        for (int r = 0; r < model->rowCount(); ++r)
            out.append({model->TypeText(r), model->AddressText(r), model->PacketText(r)});
        return out;
    }

    void requireCapturePrivilege() {
        if (geteuid() != 0)
            QSKIP("capturing on lo needs root");
    }

    void startLoopbackCapture() {
        requireCapturePrivilege();
        form_->Cmd1(0)->click();
        QVERIFY2(requests_.empty(), requests_.empty() ? "" : qPrintable(requests_.front().text));
        QCOMPARE(form_->Cmd1(0)->text(), QStringLiteral("停止嗅探"));
    }

    // A few datagrams to 127.0.0.1 whose payload holds a word the searches look for.
    void sendLoopbackDatagrams() {
        QUdpSocket socket;
        for (int i = 0; i < 5; ++i)
            socket.writeDatagram(QByteArray("\r\nvelmora-probe\r\n"), QHostAddress::LocalHost, 9);
    }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<Form1> form_;
    CommandBar* bar_ = nullptr;
    std::vector<DialogRequest> requests_;
    std::deque<std::optional<QString>> answers_;
    UrlCatcher catcher_;
};

QTEST_MAIN(TestCommandBar)
#include "tst_commandbar.moc"
