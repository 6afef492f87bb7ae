#pragma once
// Buttons 2 to 6 of the command bar Cmd1: the data window toggle, the keyword search, the home page,
// the about/help menu and exit. Button 0 (capture) is the main window's own.

#include <QObject>
#include <QString>
#include <QUrl>

#include <array>
#include <functional>

class CaptureFileOpener;
class KeywordSearch;
class QAbstractButton;
class QPlainTextEdit;
class QTableView;
class ResultListModel;

namespace velmora {
class PacketStore;
}

class CommandBar final : public QObject {
    Q_OBJECT

public:
    static QString HiddenCaption() { return QStringLiteral("显示数据窗口"); }
    static QString ShownCaption() { return QStringLiteral("关闭数据窗口"); }
    static QString SearchRowType() { return QStringLiteral("关键字搜索"); }

    static QUrl HomePageUrl();
    // readme.htm among the shipped files: beside the executable, or in ../share/velmora when installed.
    static QString HelpFilePath();

    // What it works with; all of it outlives this object.
    struct Parts {
        std::array<QAbstractButton*, 7> buttons; // Cmd1 by index: 0 capture, 2 to 6 these, 1 none
        QWidget* page;                           // Frame1(0): the list and the data window share its height
        QTableView* list;                        // LV1
        QPlainTextEdit* dataWindow;              // Text1
        ResultListModel* rows;
        velmora::PacketStore& store; // what the keyword search reads
        CaptureFileOpener* captureFiles;
        std::function<void()> stopCapture; // the component only; the capture button keeps its caption
        std::function<bool()> confirmQuit; // false: the user wants to stay (streams are being saved)
        std::function<void()> unload;
    };

    // `window` owns this and the boxes and menus it shows.
    CommandBar(Parts parts, QWidget* window);

    // The one click handler of Cmd1 buttons 2 to 6; any other index does nothing.
    void Cmd1_Click(int index);
    // The window is unloading: the search stops and the about window closes.
    void WindowUnloading();

    void ToggleDataWindow();
    void SearchKeyword();
    void OpenHomePage();
    void ShowAboutMenu();
    void Exit();

    KeywordSearch* keywordSearch() const { return search_; }

private:
    // Hands the address to the desktop; when nothing opens it (no xdg-open), a box says so and names it.
    void openOutside(const QUrl& url, const QString& what);

    Parts parts_;
    QWidget* window_;
    KeywordSearch* search_;
};
