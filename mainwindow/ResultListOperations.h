#pragma once
// The user's commands on the result list LV1: the context menu of the right button (download, copy
// link, delete link, save list, clear list) and the double-click, which copies the selected address
// and hands it to the download manager "影音传送带" (or to aria2 or a command, as the options choose).

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

class DownloadHandOff;
class DownloadMethodGroup;
class QLineEdit;
class QPlainTextEdit;
class QTableView;
class ResultListModel;
class StatusPanels;
class StreamActions;
class X11WindowDriver;

namespace velmora {
class CaptureEngine;
class ResultList;
class SettingsFile;
} // namespace velmora

class ResultListOperations final : public QObject {
    Q_OBJECT

public:
    // The context menu's entries; the number Popup returns is the position in this list.
    static const QStringList& MenuItems();
    // CDlg2's filter: text files, then all files.
    static QString SaveListFilter();

    // What it works with; all of it outlives this object.
    struct Parts {
        velmora::CaptureEngine& engine;
        velmora::SettingsFile& settings;
        ResultListModel* rows;
        StatusPanels* status;
        QTableView* list;                   // LV1
        QPlainTextEdit* dataWindow;         // Text1, emptied with the list
        QLineEdit* downloaderPath;          // Text5
        const DownloadMethodGroup* methods; // how the download command hands an address on
    };

    // `window` owns this and the boxes it shows.
    ResultListOperations(Parts parts, QWidget* window);

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
    void askForDownloader();

    Parts parts_;
    QWidget* window_;
    DownloadHandOff* handOff_;
    StreamActions* streams_;
    QString CDlg2FileName_;
    bool downloadRunning_ = false;
};
