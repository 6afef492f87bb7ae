#include "mainwindow/ResultListOperations.h"

#include "capture/Gbk.h"
#include "desktop/Module2.h"
#include "desktop/X11XlibWindowDriver.h"
#include "desktop/cPopupMenu.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/DownloadHandOff.h"
#include "mainwindow/DownloadMethodGroup.h"
#include "mainwindow/ProductInfo.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/RowRequestHeaders.h"
#include "mainwindow/StatusPanels.h"
#include "mainwindow/StreamActions.h"

#include <QClipboard>
#include <QComboBox>
#include <QFileInfo>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QTabBar>
#include <QTableView>

#include <string>

namespace {

enum MenuEntry { Download = 1, CopyLinkEntry = 3, DeleteLinkEntry = 4, SaveListEntry = 6, ClearListEntry = 7 };

// GBK. A character GBK cannot hold (an address decoded from UTF-8 escapes may name one) is written
// back as its UTF-8 percent escapes, so the saved address still fetches the same file; a "?" there
// would lose it.
std::string toGbk(const std::u16string& text) {
    if (auto whole = velmora::gbk::Encode(text))
        return *std::move(whole);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool pair = QChar::isHighSurrogate(text[i]) && i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1]);
        const std::u16string_view unit(text.data() + i, pair ? 2 : 1);
        if (pair)
            ++i;
        if (auto encoded = velmora::gbk::Encode(unit)) {
            out += *encoded;
            continue;
        }
        if (!pair && QChar::isSurrogate(unit[0])) { // a lone half has no bytes of its own
            out += '?';
            continue;
        }
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (const char byte : QString::fromUtf16(unit.data(), static_cast<qsizetype>(unit.size())).toUtf8()) {
            const auto b = static_cast<unsigned char>(byte);
            out += {'%', kHex[b >> 4], kHex[b & 15]};
        }
    }
    return out;
}

} // namespace

const QStringList& ResultListOperations::MenuItems() {
    static const QStringList items{QStringLiteral("下载"),     QStringLiteral("-"), QStringLiteral("复制链接"),
                                   QStringLiteral("删除链接"), QStringLiteral("-"), QStringLiteral("保存列表"),
                                   QStringLiteral("清空列表")};
    return items;
}

QString ResultListOperations::SaveListFilter() {
    return QStringLiteral("文本文件(*.txt);;所有文件 (*)");
}

ResultListOperations::ResultListOperations(Parts parts, QWidget* window)
    : QObject(window), parts_(std::move(parts)), window_(window),
      handOff_(new DownloadHandOff(parts_.engine, parts_.rows, parts_.status, window, this)),
      streams_(new StreamActions(
          parts_.engine, *parts_.rows, parts_.settings,
          [&engine = parts_.engine](int row) { return RequestHeadersForRow(engine, row); }, window,
          [status = parts_.status](const QString& message) {
              if (status)
                  message.isEmpty() ? status->clearMessage() : status->showMessage(message, 0);
          })) {
    setObjectName(QStringLiteral("ResultListOperations"));
    QTableView* view = parts_.list;
    // The menu comes with the right button's press (on X11 the context-menu event follows the press,
    // after the view has selected the row under the pointer).
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &ResultListOperations::LV1_ContextMenu);
    connect(view, &QAbstractItemView::doubleClicked, this, &ResultListOperations::DownloadCommand);
}

std::optional<int> ResultListOperations::SelectedRow() const {
    const QTableView* view = parts_.list;
    const int rows = parts_.rows->rowCount();
    const QItemSelectionModel* selection = view->selectionModel();
    if (rows == 0 || selection == nullptr)
        return std::nullopt;
    const QModelIndex current = selection->currentIndex();
    int row = -1;
    if (current.isValid() && selection->isRowSelected(current.row()))
        row = current.row();
    else if (const QModelIndexList selected = selection->selectedRows(); !selected.isEmpty())
        row = selected.front().row();
    if (row < 0 || row >= rows)
        return std::nullopt;
    return row;
}

void ResultListOperations::LV1_ContextMenu() {
    if (!SelectedRow())
        return;
    // A stream's or a pair's own entries follow "下载".
    QList<int> checked;
    const QStringList streamEntries = streams_->MenuEntries(*SelectedRow(), checked);
    QStringList items = MenuItems();
    for (qsizetype i = 0; i < streamEntries.size(); ++i)
        items.insert(1 + i, streamEntries[i]);
    for (int& entry : checked)
        entry += 1;
    cPopupMenu menu;
    int chosen = menu.Popup(items, checked);
    if (chosen > 1 && chosen <= 1 + streamEntries.size()) {
        streams_->Chosen(*SelectedRow(), chosen - 1);
        return;
    }
    if (chosen > 1)
        chosen -= static_cast<int>(streamEntries.size());
    switch (chosen) {
    case Download:
        DownloadCommand();
        break;
    case CopyLinkEntry:
        CopyLink();
        break;
    case DeleteLinkEntry:
        DeleteLink();
        break;
    case SaveListEntry:
        SaveList();
        break;
    case ClearListEntry:
        ClearList();
        break;
    default:
        break;
    }
}

void ResultListOperations::CopyLink() {
    if (auto row = SelectedRow())
        QGuiApplication::clipboard()->setText(parts_.rows->AddressText(*row));
}

void ResultListOperations::DeleteLink() {
    if (auto row = SelectedRow())
        parts_.rows->RemoveResultRow(*row);
}

void ResultListOperations::ClearList() {
    if (!SelectedRow())
        return;
    parts_.rows->ClearRows();
    parts_.dataWindow->clear();
}

void ResultListOperations::SaveList() {
    if (!SelectedRow())
        return;
    // CDlg2 is an Open dialog that accepts new names, and keeps its last name.
    if (auto chosen = Dialogs::OpenFileName(window_, QStringLiteral("打开"), CDlg2FileName_, SaveListFilter(), false);
        chosen && !chosen->isEmpty())
        CDlg2FileName_ = *chosen;
    if (CDlg2FileName_.isEmpty()) {
        Dialogs::Message(window_, QMessageBox::Critical, QStringLiteral("打开"), QStringLiteral("请指定保存文件名！"));
        return;
    }
    ResultListModel* model = parts_.rows;
    model->FlushPending(); // the file holds every row the list has, shown or about to be
    if (auto error = WriteAddressList(CDlg2FileName_, model->Rows()))
        Dialogs::Message(window_, QMessageBox::Critical, ProductInfo::AppTitle(),
                         QStringLiteral("无法保存列表到文件“%1”：%2\n列表未改变。").arg(CDlg2FileName_, *error));
}

std::optional<QString> ResultListOperations::WriteAddressList(const QString& path, const velmora::ResultList& rows) {
    const QFileInfo target(path);
    if (target.isDir())
        return QStringLiteral("这是一个文件夹。");
    if (target.exists() && !target.isWritable())
        return QStringLiteral("文件是只读的。");

    // A temporary file renamed over the old one, so a failed write never leaves half a list behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("无法创建文件（%1）。").arg(file.errorString());
    std::string chunk;
    constexpr std::size_t kChunkBytes = 1 << 16;
    for (const velmora::ResultRow& row : rows.Rows()) {
        chunk += toGbk(row.address);
        chunk += "\r\n";
        if (chunk.size() >= kChunkBytes) {
            if (file.write(chunk.data(), qint64(chunk.size())) != qint64(chunk.size()))
                break;
            chunk.clear();
        }
    }
    if (!chunk.empty())
        file.write(chunk.data(), qint64(chunk.size()));
    if (file.error() != QFileDevice::NoError) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return QStringLiteral("写入失败，磁盘可能已满（%1）。").arg(reason);
    }
    if (!file.commit())
        return QStringLiteral("无法替换原文件（%1）。").arg(file.errorString());
    return std::nullopt;
}

void ResultListOperations::DownloadCommand() {
    if (downloadRunning_)
        return; // the pauses keep the event loop running; one hand-off at a time
    const auto row = SelectedRow();
    if (!row)
        return;
    // First of all, so the address is on the clipboard whatever happens next.
    QGuiApplication::clipboard()->setText(parts_.rows->AddressText(*row));
    if (streams_->Handles(*row)) { // streams and pairs go to the stream command, whatever the method
        streams_->Download(*row);
        return;
    }
    // aria2 or the user's command instead of the download manager, when the options say so.
    if (const DownloadMethodGroup* methods = parts_.methods;
        methods && methods->Current().method != velmora::DownloadMethod::Downloader) {
        handOff_->HandOff(*row, methods->Current());
        return;
    }

    const QString path = parts_.downloaderPath->text();
    if (path.isEmpty()) {
        askForDownloader();
        return;
    }

    downloadRunning_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{downloadRunning_};

    auto driver = X11XlibWindowDriver::Open();
    if (driver && Module2::FindWindow(*driver, Module2::DownloaderTitle, 1)) {
        handOff(*driver);
        return;
    }
    if (!QFileInfo(path).isFile()) {
        Dialogs::Message(window_, QMessageBox::NoIcon, ProductInfo::AppTitle(),
                         QStringLiteral("未指定影音传送带路径！"));
        return;
    }
    if (!driver) {
        Dialogs::Message(window_, QMessageBox::Information, ProductInfo::AppTitle(),
                         Module2::FailureText(Module2::HandOffResult::NoDisplay));
        return;
    }
    const Module2::StartResult started = Module2::StartDownloader(path);
    if (!started.started) {
        Dialogs::Message(window_, QMessageBox::Critical, ProductInfo::AppTitle(),
                         started.error + QStringLiteral("\n链接已复制到剪贴板。"));
        return;
    }
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    Module2::WaitForDownloader(*driver, &Module2::PauseServingEvents);
    QGuiApplication::restoreOverrideCursor();
    handOff(*driver); // says "未找到…" when the window never came
}

void ResultListOperations::askForDownloader() {
    // The default download manager is a Windows program few Linux users have: a fresh install's first
    // double-click says where else the address can go, and takes the user there.
    const QMessageBox::StandardButton answer = Dialogs::Choice(
        window_, QMessageBox::NoIcon, ProductInfo::AppTitle(),
        QStringLiteral("请指定影音传送带路径！\n\n链接已复制到剪贴板。影音传送带是 Windows 程序；"
                       "也可以在设置区的“★ 下载方式”里把地址交给 aria2 或您自己的下载命令（如 yt-dlp %u）。"),
        {{QMessageBox::Ok, QStringLiteral("确定")}, {QMessageBox::Open, QStringLiteral("设置下载方式…")}});
    if (answer != QMessageBox::Open || !parts_.methods)
        return;
    if (auto* tabs = window_->findChild<QTabBar*>(QStringLiteral("TabS1")))
        tabs->setCurrentIndex(1); // the options page, where the method group sits
    if (QWidget* method = parts_.methods->Method())
        method->setFocus(Qt::OtherFocusReason);
}

void ResultListOperations::handOff(X11WindowDriver& driver) {
    if (Module2::WaylandSession())
        Dialogs::Message(window_, QMessageBox::Information, ProductInfo::AppTitle(), Module2::WaylandNotice());
    const Module2::HandOffResult result = Module2::SendToDownloader(driver, &Module2::PauseServingEvents);
    // In a box: a status line goes unseen while the user watches the download manager's window.
    if (result != Module2::HandOffResult::Pasted)
        Dialogs::Message(window_, QMessageBox::Warning, ProductInfo::AppTitle(), Module2::FailureText(result));
}
