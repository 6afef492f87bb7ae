#pragma once
// The data window Text1 under the result list: a click on a row shows the captured packet the row's
// address came from, and every change of the text selects that address inside it.

#include <QObject>
#include <QString>

#include <optional>

class HttpsCapture;
class QAbstractButton;
class QPlainTextEdit;
class QTableView;
class ResultListModel;

namespace velmora {
class CaptureEngine;
class xpcheckbox;
} // namespace velmora

// A selection in a text: start counted from 0, length in characters.
struct TextSelection {
    int start = 0;
    int length = 0;
    bool operator==(const TextSelection&) const = default;
};

// Where `address` shows in `text`: the address itself when it stands there whole; otherwise its
// path (found without regard to case), which is how an address joined from a request line and a
// Host line is placed. Nothing when the address has no "://" or no "/" after the host.
// The result may reach past the end of the text; whoever applies it cuts it there.
std::optional<TextSelection> AddressHighlight(const QString& address, const QString& text);

class DataWindow final : public QObject {
    Q_OBJECT

public:
    // What it works with; all of it outlives this object.
    struct Parts {
        const velmora::CaptureEngine& engine;
        ResultListModel* rows;
        const HttpsCapture* https;        // decrypted requests
        QTableView* list;                 // LV1
        QPlainTextEdit* text;             // Text1
        QAbstractButton* toggle;          // Cmd1(2): its caption says whether Text1 is shown
        velmora::xpcheckbox* chineseText; // Chk2
    };

    DataWindow(Parts parts, QObject* parent);

    // A row of LV1 was clicked (or chosen with the keyboard): fill Text1 with its packet.
    void LV1_ItemClick();
    // Text1's text changed: select the selected row's address in it.
    void Text1_Change();

    // What Text1 shows for a row whose packet is no longer held in memory.
    static QString ReleasedPacketNote(quint64 packet);

private:
    int selectedRow() const;
    bool chineseTextProcessing() const;

    Parts parts_;
    QString noteText_; // the note last shown for a released packet
};
