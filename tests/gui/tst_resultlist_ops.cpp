// The commands on the result list LV1 of the real main window (offscreen): the selection guard, each
// context menu entry, ResultCount after delete and clear, the saved list's exact bytes, and the
// download command's messages where no window can be driven.

#include "capture/Gbk.h"
#include "capture/pcap/AdapterInfo.h"
#include "desktop/cPopupMenu.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/DownloadMethodGroup.h"
#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/ResultListOperations.h"
#include "tst_mainwindow_support.h"

#include <QAction>
#include <QComboBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

const QStringList kAddresses{QStringLiteral("http://127.0.0.1/a/第一集.flv"),
                             QStringLiteral("rtsp://127.0.0.1:554/live?x=1&y=2"),
                             QStringLiteral("http://127.0.0.1/c/片尾 曲.mp3")};
const QString kSentinel = QStringLiteral("clipboard before");
const QString kDataText = QStringLiteral("数据窗口的文本");

QByteArray gbkLines(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += QByteArray::fromStdString(*velmora::gbk::Encode(line.toStdU16String())) + "\r\n";
    return bytes;
}

QByteArray fileBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestResultListOps final : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // No X display here: the download command must say so instead of driving windows.
        qunsetenv("DISPLAY");
    }

    void init() {
        QVERIFY(dir_.emplace().isValid());
        form_ = std::make_unique<Form1>(testsupport::WindowOptions(*dir_));
        ops_ = form_->findChild<ResultListOperations*>();
        QVERIFY(ops_);
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        form_->Text1()->setPlainText(kDataText);
        form_->Text5()->clear();
        QGuiApplication::clipboard()->setText(kSentinel);

        dialogs_.clear();
        answers_.clear();
        Dialogs::SetHook([this](const DialogRequest& request) {
            dialogs_ << request;
            return answers_.isEmpty() ? DialogAnswer{} : answers_.takeFirst();
        });
        menus_.clear();
        cPopupMenu::SetHook([this](QMenu& menu) -> QAction* {
            QStringList shown;
            for (QAction* action : menu.actions())
                shown << (action->isSeparator() ? QStringLiteral("-") : action->text());
            menus_ << shown;
            form_->Text1()->setPlainText(kDataText); // what the data window shows when the menu opens
            for (QAction* action : menu.actions())
                if (action->data().toInt() == choice_)
                    return action;
            return nullptr;
        });
    }

    void cleanup() {
        Dialogs::SetHook({});
        cPopupMenu::SetHook({});
        form_.reset();
        dir_.reset();
    }

    // With no rows, or rows but none selected, neither button nor double-click does anything.
    void selectionGuard_data() {
        QTest::addColumn<int>("rows");
        QTest::newRow("empty list") << 0;
        QTest::newRow("rows, none selected") << 3;
    }
    void selectionGuard() {
        QFETCH(int, rows);
        addRows(rows);
        choice_ = 7; // clear, were the menu to open
        QTableView* view = form_->LV1();
        const QPoint belowRows(5, view->viewport()->height() - 5);
        rightClick(belowRows);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, belowRows);
        for (auto command : {&ResultListOperations::LV1_ContextMenu, &ResultListOperations::DownloadCommand,
                             &ResultListOperations::CopyLink, &ResultListOperations::DeleteLink,
                             &ResultListOperations::SaveList, &ResultListOperations::ClearList})
            (ops_->*command)();
        QVERIFY(menus_.isEmpty());
        QVERIFY(dialogs_.isEmpty());
        QCOMPARE(QGuiApplication::clipboard()->text(), kSentinel);
        QCOMPARE(form_->resultModel()->rowCount(), rows);
        QCOMPARE(form_->resultModel()->ResultCount(), rows);
        QCOMPARE(form_->Text1()->toPlainText(), kDataText);
    }

    // Each entry acts on the row selected by the right button's press.
    void menuEntries_data() {
        QTest::addColumn<int>("choice");
        QTest::addColumn<QStringList>("rowsAfter");
        QTest::addColumn<QString>("clipboard");
        QTest::addColumn<bool>("clearsData");
        QTest::addColumn<QString>("message");

        const QStringList all = kAddresses;
        QTest::newRow("1 download, no path")
            << 1 << all << kAddresses[1] << false << QStringLiteral("请指定影音传送带路径！");
        QTest::newRow("2 separator") << 2 << all << kSentinel << false << QString();
        QTest::newRow("3 copy link") << 3 << all << kAddresses[1] << false << QString();
        QTest::newRow("4 delete link") << 4 << QStringList{kAddresses[0], kAddresses[2]} << kSentinel << false
                                       << QString();
        QTest::newRow("5 separator") << 5 << all << kSentinel << false << QString();
        QTest::newRow("7 clear list") << 7 << QStringList{} << kSentinel << true << QString();
        QTest::newRow("dismissed") << 0 << all << kSentinel << false << QString();
    }
    void menuEntries() {
        QFETCH(int, choice);
        QFETCH(QStringList, rowsAfter);
        QFETCH(QString, clipboard);
        QFETCH(bool, clearsData);
        QFETCH(QString, message);

        addRows(3);
        QTableView* view = form_->LV1();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rowPoint(0));
        choice_ = choice;
        rightClick(rowPoint(1));

        QCOMPARE(menus_, (QList<QStringList>{ResultListOperations::MenuItems()}));
        QCOMPARE(rows(), rowsAfter);
        QCOMPARE(form_->resultModel()->ResultCount(), rowsAfter.size());
        QCOMPARE(QGuiApplication::clipboard()->text(), clipboard);
        // Only clearing touches the data window; deleting leaves its text as it was.
        QCOMPARE(form_->Text1()->toPlainText(), clearsData ? QString() : kDataText);
        if (message.isEmpty()) {
            QVERIFY(dialogs_.isEmpty());
        } else {
            QCOMPARE(dialogs_.size(), 1);
            QVERIFY2(dialogs_[0].text.startsWith(message), qPrintable(dialogs_[0].text));
            QCOMPARE(dialogs_[0].title, QStringLiteral("Velmora"));
            QCOMPARE(dialogs_[0].icon, QMessageBox::NoIcon);
        }
    }

    // A fresh install has no download manager path: the first double-click keeps the message, says the
    // address is on the clipboard, and its second button opens the download methods.
    void firstDoubleClickLeadsToTheDownloadMethods() {
        addRows(3);
        answers_ << DialogAnswer{QMessageBox::Open, {}};
        QTableView* view = form_->LV1();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rowPoint(1));
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rowPoint(1));
        QCOMPARE(dialogs_.size(), 1);
        QVERIFY(dialogs_[0].text.startsWith(QStringLiteral("请指定影音传送带路径！")));
        QVERIFY2(dialogs_[0].text.contains(QStringLiteral("链接已复制到剪贴板")), qPrintable(dialogs_[0].text));
        QCOMPARE(QGuiApplication::clipboard()->text(), kAddresses[1]);
        QCOMPARE(form_->TabS1()->currentIndex(), 1);
        QCOMPARE(form_->focusWidget(), form_->findChild<DownloadMethodGroup*>()->Method());

        // "确定" leaves the window as it was.
        form_->TabS1()->setCurrentIndex(0);
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rowPoint(1));
        QCOMPARE(dialogs_.size(), 2);
        QCOMPARE(form_->TabS1()->currentIndex(), 0);
    }

    // Deleting the last row leaves ResultCount at 0, so the next address found is row 1 again;
    // clearing after search rows (which ResultCount does not count) brings it back to 0 as well.
    void resultCountAfterDeleteAndClear() {
        ResultListModel* model = form_->resultModel();
        addRows(1);
        select(0);
        ops_->DeleteLink();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(model->ResultCount(), 0);
        model->AddCaptureRow({u"视频", u"http://127.0.0.1/next.flv", 9});
        model->FlushPending();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->ResultCount(), 1);
        QCOMPARE(model->AddressText(0), QStringLiteral("http://127.0.0.1/next.flv"));
        QVERIFY(!model->Rows().IsDuplicate(u"http://127.0.0.1/a.flv"));

        model->AddSearchRow({u"关键字搜索", u"token", 3});
        model->FlushPending();
        select(1);
        ops_->ClearList();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(model->ResultCount(), 0);
        QCOMPARE(form_->Text1()->toPlainText(), QString());
        QVERIFY(!model->Rows().IsDuplicate(u"http://127.0.0.1/next.flv"));
    }

    // Three rows give exactly three CRLF lines of GBK addresses, replacing what the file held; the
    // dialog keeps its name, so a cancelled second save writes the same file again.
    void saveList() {
        addRows(3);
        select(2);
        const QString path = dir_->filePath(QStringLiteral("列表.txt"));
        {
            QFile old(path);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(4096, 'x'));
        }
        answers_ << DialogAnswer{QMessageBox::Ok, path};
        choice_ = 6;
        rightClick(rowPoint(2));
        QCOMPARE(dialogs_.size(), 1);
        QCOMPARE(dialogs_[0].kind, DialogRequest::Kind::OpenFile);
        QCOMPARE(dialogs_[0].title, QStringLiteral("打开"));
        QCOMPARE(dialogs_[0].filter, ResultListOperations::SaveListFilter());
        QCOMPARE(dialogs_[0].initial, QString());
        QCOMPARE(fileBytes(path), gbkLines(kAddresses));
        QCOMPARE(QDir(dir_->path()).entryList({"*.txt*"}, QDir::Files | QDir::Hidden), QStringList{"列表.txt"});

        ops_->DeleteLink();
        answers_ << DialogAnswer{QMessageBox::Ok, std::nullopt}; // cancelled
        ops_->SaveList();
        QCOMPARE(dialogs_.size(), 2);
        QCOMPARE(dialogs_[1].initial, path);
        QCOMPARE(fileBytes(path), gbkLines({kAddresses[0], kAddresses[1]}));
        QCOMPARE(rows(), (QStringList{kAddresses[0], kAddresses[1]}));
    }

    // Characters GBK lacks are written as their UTF-8 escapes; long lists save whole, past the old 16-bit row limit.
    void saveUnusualLists() {
        ResultListModel* model = form_->resultModel();
        model->AddCaptureRow({u"视频", u"http://127.0.0.1/\U0001F600/é.flv", 1});
        constexpr int kRows = 40000;
        for (int i = 1; i < kRows; ++i)
            model->Rows().AddCaptureRow(
                {u"视频", QStringLiteral("http://127.0.0.1/%1.flv").arg(i).toStdU16String(), 1});
        model->FlushPending();
        select(0);
        const QString path = dir_->filePath(QStringLiteral("big.txt"));
        answers_ << DialogAnswer{QMessageBox::Ok, path};
        ops_->SaveList();
        QVERIFY(dialogs_.size() == 1);
        const QList<QByteArray> lines = fileBytes(path).split('\n');
        QCOMPARE(lines.size(), kRows + 1); // the last CR LF leaves an empty tail
        QCOMPARE(lines[0], QByteArray("http://127.0.0.1/%F0%9F%98%80/\xa8\xa6.flv\r"));
        QCOMPARE(lines[kRows - 1], QByteArray("http://127.0.0.1/39999.flv\r"));
        QVERIFY(lines[kRows].isEmpty());
    }

    // No name was ever chosen: the message, nothing written. A file that cannot be made: a message
    // naming it and the reason; the list stays.
    void saveFailures_data() {
        QTest::addColumn<QString>("target"); // relative to the test folder; empty: cancel the dialog
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("cancelled, no name") << QString() << "打开"
                                            << "请指定保存文件名！";
        QTest::newRow("under a regular file") << "plain.txt/list.txt"
                                              << "Velmora"
                                              << "plain.txt/list.txt";
        QTest::newRow("missing folder") << "no/such/folder/list.txt"
                                        << "Velmora"
                                        << "no/such/folder/list.txt";
        QTest::newRow("a folder") << "folder"
                                  << "Velmora"
                                  << "folder";
    }
    void saveFailures() {
        QFETCH(QString, target);
        QFETCH(QString, title);
        QFETCH(QString, text);
        {
            QFile plain(dir_->filePath(QStringLiteral("plain.txt")));
            QVERIFY(plain.open(QIODevice::WriteOnly));
            plain.write("keep");
        }
        QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("folder")));
        addRows(3);
        select(1);
        if (target.isEmpty())
            answers_ << DialogAnswer{QMessageBox::Ok, std::nullopt};
        else
            answers_ << DialogAnswer{QMessageBox::Ok, dir_->filePath(target)};
        ops_->SaveList();

        QCOMPARE(dialogs_.size(), 2);
        QCOMPARE(dialogs_[1].kind, DialogRequest::Kind::Message);
        QCOMPARE(dialogs_[1].icon, QMessageBox::Critical);
        QCOMPARE(dialogs_[1].title, title);
        QVERIFY2(dialogs_[1].text.contains(text), qPrintable(dialogs_[1].text));
        QCOMPARE(rows(), kAddresses);
        QCOMPARE(form_->resultModel()->ResultCount(), 3);
        QCOMPARE(fileBytes(dir_->filePath(QStringLiteral("plain.txt"))), QByteArray("keep"));
        QCOMPARE(QDir(dir_->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"folder", "plain.txt", "setting.ini"}));
    }

    // The address goes to the clipboard first; then the message that fits. A path that names a file
    // but no display to drive: said so, and the program is not started.
    void downloadWithoutDisplay_data() {
        QTest::addColumn<QString>("path"); // "@" stands for a script in the test folder
        QTest::addColumn<QString>("message");
        QTest::newRow("no path") << QString() << "请指定影音传送带路径！";
        QTest::newRow("no such file") << "/nonexistent/影音传送带"
                                      << "未指定影音传送带路径！";
        QTest::newRow("a folder") << "/"
                                  << "未指定影音传送带路径！";
        QTest::newRow("no display") << "@"
                                    << "剪贴板";
    }
    void downloadWithoutDisplay() {
        QFETCH(QString, path);
        QFETCH(QString, message);
        const QString marker = dir_->filePath(QStringLiteral("started"));
        if (path == QLatin1String("@")) {
            path = dir_->filePath(QStringLiteral("downloader.sh"));
            QFile script(path);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
            script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
        }
        form_->Text5()->setText(path);
        addRows(3);
        QTableView* view = form_->LV1();
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rowPoint(2));
        QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, rowPoint(2));

        QCOMPARE(QGuiApplication::clipboard()->text(), kAddresses[2]);
        QCOMPARE(dialogs_.size(), 1);
        QVERIFY2(dialogs_[0].text.contains(message), qPrintable(dialogs_[0].text));
        QCOMPARE(dialogs_[0].title, QStringLiteral("Velmora"));
        QTest::qWait(200);
        QVERIFY(!QFile::exists(marker));
        QCOMPARE(rows(), kAddresses);
    }

private:
    void addRows(int count) {
        ResultListModel* model = form_->resultModel();
        for (int i = 0; i < count; ++i)
            model->AddCaptureRow({u"视频", kAddresses[i].toStdU16String(), velmora::PacketNumber(i + 1)});
        model->FlushPending();
    }
    QStringList rows() const {
        QStringList list;
        for (int i = 0; i < form_->resultModel()->rowCount(); ++i)
            list << form_->resultModel()->AddressText(i);
        return list;
    }
    QPoint rowPoint(int row) const {
        return form_->LV1()->visualRect(form_->resultModel()->index(row, ResultListModel::AddressColumn)).center();
    }
    void select(int row) { QTest::mouseClick(form_->LV1()->viewport(), Qt::LeftButton, {}, rowPoint(row)); }
    // The right button's press, then the context-menu event the platform sends after it.
    void rightClick(QPoint at) {
        QWidget* viewport = form_->LV1()->viewport();
        QTest::mousePress(viewport, Qt::RightButton, {}, at);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &event);
        QTest::mouseRelease(viewport, Qt::RightButton, {}, at);
    }

    std::optional<QTemporaryDir> dir_;
    std::unique_ptr<Form1> form_;
    ResultListOperations* ops_ = nullptr;
    QList<DialogRequest> dialogs_;
    QList<DialogAnswer> answers_;
    QList<QStringList> menus_;
    int choice_ = 0;
};

QTEST_MAIN(TestResultListOps)
#include "tst_resultlist_ops.moc"
