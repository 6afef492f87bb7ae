#pragma once
// Buttons 2 to 6 of the command bar Cmd1: the data window toggle, the keyword search, the home page,
// the about/help menu and exit. Button 0 (capture) is the main window's own.

#include <QObject>
#include <QString>
#include <QUrl>

class Form1;
class KeywordSearch;

class CommandBar final : public QObject {
    Q_OBJECT

public:
    static QString HiddenCaption() { return QStringLiteral("显示数据窗口"); }
    static QString ShownCaption() { return QStringLiteral("关闭数据窗口"); }
    static QString SearchRowType() { return QStringLiteral("关键字搜索"); }

    static QUrl HomePageUrl();
    // readme.htm among the shipped files: beside the executable, or in ../share/velmora when installed.
    static QString HelpFilePath();

    explicit CommandBar(Form1* form);

    // The one click handler of Cmd1 buttons 2 to 6; any other index does nothing.
    void Cmd1_Click(int index);

    void ToggleDataWindow();
    void SearchKeyword();
    void OpenHomePage();
    void ShowAboutMenu();
    void Exit();

    KeywordSearch* keywordSearch() const { return search_; }

private:
    // Hands the address to the desktop; when nothing opens it (no xdg-open), a box says so and names it.
    void openOutside(const QUrl& url, const QString& what);

    Form1* form_;
    KeywordSearch* search_;
};
