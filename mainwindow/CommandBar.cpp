#include "mainwindow/CommandBar.h"

#include "desktop/cPopupMenu.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/KeywordSearch.h"
#include "mainwindow/MainWindowLayout.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/SettingsLocation.h"
#include "splash/frmAbout.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTableView>

namespace {

const QString kCapturingCaption = QStringLiteral("停止嗅探");
constexpr qint64 kRowAnnounceIntervalMs = 100;

} // namespace

QUrl CommandBar::HomePageUrl() {
    return QUrl(QString::fromLatin1(frmAbout::kWebAddress));
}

QString CommandBar::HelpFilePath() {
    return SettingsLocation::ShippedFile(QStringLiteral("readme.htm"));
}

CommandBar::CommandBar(Parts parts, QWidget* window)
    : QObject(window), parts_(std::move(parts)), window_(window), search_(new KeywordSearch(this)) {
    const std::pair<int, QString> captions[] = {{2, HiddenCaption()},
                                                {3, QStringLiteral("搜索缓存")},
                                                {4, QStringLiteral("主   页")},
                                                {5, QStringLiteral("关   于")},
                                                {6, QStringLiteral("退   出")}};
    for (const auto& [index, caption] : captions) {
        QAbstractButton* button = parts_.buttons[static_cast<std::size_t>(index)];
        button->setText(caption);
        connect(button, &QAbstractButton::clicked, this, [this, index] { Cmd1_Click(index); });
    }
    // A clear of the list, by the list's menu or by a start of capture, ends a running search: its
    // next rows would land in a list that no longer belongs to it.
    connect(parts_.rows, &QAbstractItemModel::modelReset, search_, &KeywordSearch::Cancel);
}

void CommandBar::WindowUnloading() {
    search_->Cancel();
    frmAbout::UnloadIfLoaded();
}

void CommandBar::Cmd1_Click(int index) {
    switch (index) {
    case 2:
        ToggleDataWindow();
        break;
    case 3:
        SearchKeyword();
        break;
    case 4:
        OpenHomePage();
        break;
    case 5:
        ShowAboutMenu();
        break;
    case 6:
        Exit();
        break;
    default:
        break;
    }
}

void CommandBar::ToggleDataWindow() {
    // LV1 makes room for Text1 only while it is shown: the main window's layout has both heights.
    QAbstractButton* toggle = parts_.buttons[2];
    QTableView* list = parts_.list;
    const int page = parts_.page->height();
    if (toggle->text() != HiddenCaption()) {
        parts_.dataWindow->hide();
        list->resize(list->width(), MainWindowLayout::ListHeight(page, false));
        toggle->setText(HiddenCaption());
    } else {
        parts_.dataWindow->show();
        list->resize(list->width(), MainWindowLayout::ListHeight(page, true, parts_.dataWindow->height()));
        toggle->setText(ShownCaption());
    }
}

void CommandBar::SearchKeyword() {
    const std::optional<QString> answer =
        Dialogs::InputText(window_, QStringLiteral("输入要搜索的字符串："), QStringLiteral("搜索设置"));
    QString keyword = answer.value_or(QString());
    while (keyword.endsWith(QLatin1Char(' ')))
        keyword.chop(1);
    // A cancelled or empty answer, or nothing listed, leaves capture and the list as they are.
    if (keyword.isEmpty() || parts_.rows->Rows().empty())
        return;

    search_->Cancel();
    parts_.stopCapture();
    // The search's rows are not capture's: ResultCount keeps its value.
    parts_.rows->RemoveAllRowsKeepingCount();
    parts_.dataWindow->clear();

    // Rows go into the list at once but are announced to LV1 a few times a second: announcing them
    // packet by packet had the view lay out and repaint in nearly every event turn of the search.
    ResultListModel* model = parts_.rows;
    QElapsedTimer sinceShown;
    sinceShown.start();
    const std::u16string type = SearchRowType().toStdU16String();
    QPointer<CommandBar> self(this);
    search_->Run(parts_.store, keyword,
                 [model, &type, &sinceShown](velmora::PacketNumber packet, std::vector<std::u16string>& tokens) {
                     for (std::u16string& token : tokens)
                         model->Rows().AddSearchRow({type, std::move(token), packet});
                     if (sinceShown.elapsed() >= kRowAnnounceIntervalMs) {
                         model->FlushPending();
                         sinceShown.restart();
                     }
                 });
    // Whether it ran to its end or was cut short by a clear or a new search, the rows it left are
    // shown (a clear left none). Only a window gone meanwhile is not touched.
    if (self)
        model->FlushPending();
}

void CommandBar::OpenHomePage() {
    openOutside(HomePageUrl(), QStringLiteral("主页"));
}

void CommandBar::openOutside(const QUrl& url, const QString& what) {
    // Only a missing opener is reported back; what the opened program does is its own affair.
    if (QDesktopServices::openUrl(url))
        return;
    Dialogs::Message(window_, QMessageBox::Warning, QStringLiteral("无法打开%1").arg(what),
                     QStringLiteral("无法打开%1：\n%2\n\n没有找到打开它的程序。请安装 xdg-utils（sudo apt install "
                                    "xdg-utils），或者把上面的地址复制到浏览器中打开。")
                         .arg(what, url.isLocalFile() ? url.toLocalFile() : url.toString()));
}

void CommandBar::ShowAboutMenu() {
    cPopupMenu menu;
    switch (menu.Popup({QStringLiteral("关于..."), QStringLiteral("-"), QStringLiteral("帮   助"), QStringLiteral("-"),
                        QStringLiteral("打开捕获文件…")})) {
    case 1:
        frmAbout::ShowAbout(window_);
        break;
    case 3:
        openOutside(QUrl::fromLocalFile(HelpFilePath()), QStringLiteral("帮助"));
        break;
    case 5:
        parts_.captureFiles->ChooseAndOpen();
        break;
    default:
        break;
    }
}

void CommandBar::Exit() {
    if (parts_.buttons[0]->text() == kCapturingCaption) {
        Dialogs::Message(window_, QMessageBox::Critical, QStringLiteral("错误"),
                         QStringLiteral("正在嗅探，要退出程序先停止嗅探！"));
        return;
    }
    // Streams being saved are this program's children: asked about, then stopped so their files close.
    if (!parts_.confirmQuit())
        return;
    search_->Cancel();
    parts_.unload();
}
