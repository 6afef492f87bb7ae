#pragma once
// The user's commands on the result list LV1: the context menu of the right button (download, copy
// link, delete link, save list, clear list) and the double-click, which copies the selected address
// and hands it to the download manager "影音传送带" (or to aria2 or a command, as the options choose).
//
// Attached to the main window with one line; it finds everything it needs through Form1's accessors.

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class DownloadHandOff;
class StreamActions;
class Form1;
class X11WindowDriver;

namespace velmora {
class ResultList;
}

class ResultListOperations final : public QObject {
    Q_OBJECT

public:
    // The context menu's entries; the number Popup returns is the position in this list.
    static const QStringList& MenuItems();
    // CDlg2's filter: text files, then all files.
    static QString SaveListFilter();

    explicit ResultListOperations(Form1* form);

    // Selection guard: the selected row, when the list has rows and one of them is selected.
    std::optional<int> SelectedRow() const;

    // Handlers, public so tests reach them the way a click does.
    void LV1_ContextMenu();
    void DownloadCommand();
    void CopyLink();
    void DeleteLink();
    void SaveList();
    void ClearList();

    StreamActions* streams() const { return streams_; }

    // CDlg2's file name: the name of its last use, which a cancelled dialog leaves in place.
    QString CDlg2FileName() const { return CDlg2FileName_; }

    // Writes one address per line, each ended by CR LF, in GBK (characters GBK lacks become "?"),
    // replacing the file atomically. Returns the reason in Chinese when the file could not be written;
    // the old file, if any, is then left as it was.
    static std::optional<QString> WriteAddressList(const QString& path, const velmora::ResultList& rows);

private:
    void handOff(X11WindowDriver& driver);

    Form1* form_;
    DownloadHandOff* handOff_;
    StreamActions* streams_;
    QString CDlg2FileName_;
    bool downloadRunning_ = false;
};
