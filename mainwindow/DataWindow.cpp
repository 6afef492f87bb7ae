#include "mainwindow/DataWindow.h"

#include "capture/FrameText.h"
#include "engine/CaptureEngine.h"
#include "mainwindow/HttpsCapture.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/TlsProbeCapture.h"
#include "skin/xpcheckbox.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTextCursor>

#include <algorithm>

namespace {

const QString kShownCaption = QStringLiteral("关闭数据窗口");

} // namespace

std::optional<TextSelection> AddressHighlight(const QString& address, const QString& text) {
    const int exact = text.indexOf(address, 0, Qt::CaseSensitive);
    if (exact >= 0)
        return TextSelection{exact, static_cast<int>(address.size())};

    const int c = address.indexOf(QLatin1String("://")); // 0-based
    if (c < 0)
        return std::nullopt;
    // The path's first "/" lies behind the host's first character.
    const int d = address.indexOf(QLatin1Char('/'), c + 4);
    if (d < 0)
        return std::nullopt;
    // The path is searched without its last character and then selected at its full length.
    const QString path = address.mid(d, address.size() - d - 1);
    int h = text.indexOf(path, 0, Qt::CaseInsensitive);
    if (h < 0)
        h = text.indexOf(address.left(c + 4), 0, Qt::CaseInsensitive);
    if (h < 0)
        h = 1;
    return TextSelection{h, static_cast<int>(path.size()) + 1};
}

DataWindow::DataWindow(Parts parts, QObject* parent) : QObject(parent), parts_(std::move(parts)) {
    QPlainTextEdit* text = parts_.text;
    // The highlight is for the user to see while working in the list, where the focus is: keep the
    // selection painted as when the box has the focus.
    QPalette palette = text->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    text->setPalette(palette);

    connect(text, &QPlainTextEdit::textChanged, this, &DataWindow::Text1_Change);
    connect(parts_.list, &QTableView::clicked, this, &DataWindow::LV1_ItemClick);
    // Arrow keys choose a row as a click does; a mouse press also moves the current row, but the
    // click that follows it fills the window once.
    if (QItemSelectionModel* selection = parts_.list->selectionModel())
        connect(selection, &QItemSelectionModel::currentRowChanged, this, [this] {
            if (parts_.list->hasFocus() && QGuiApplication::mouseButtons() == Qt::NoButton)
                LV1_ItemClick();
        });
}

QString DataWindow::ReleasedPacketNote(quint64 packet) {
    return QStringLiteral(
               "（第 %1 号封包的数据已不在内存中，无法显示。缓存的封包超过内存上限时，最早的封包会被释放。）")
        .arg(packet);
}

int DataWindow::selectedRow() const {
    QTableView* list = parts_.list;
    const int rows = list->model() ? list->model()->rowCount() : 0;
    int row = -1;
    if (QItemSelectionModel* selection = list->selectionModel()) {
        const QModelIndexList selected = selection->selectedRows();
        row = selected.isEmpty() ? selection->currentIndex().row() : selected.first().row();
    }
    return row >= 0 && row < rows ? row : -1;
}

bool DataWindow::chineseTextProcessing() const {
    return parts_.chineseText->Value() == 1;
}

void DataWindow::LV1_ItemClick() {
    if (parts_.toggle->text() != kShownCaption)
        return;
    const int row = selectedRow();
    if (row < 0)
        return;
    bool ok = false;
    const velmora::PacketNumber packet = parts_.rows->PacketText(row).toULongLong(&ok);
    const velmora::PacketStore& store = parts_.engine.Store();

    QString text;
    const velmora::ResultRow& result = parts_.engine.Results()[static_cast<std::size_t>(row)];
    auto frameText = [&](velmora::PacketNumber n) {
        return chineseTextProcessing()
                   ? QString::fromStdU16String(velmora::DecodeCnEscapes(velmora::PacketToTextCn(store, n)))
                   : QString::fromStdU16String(velmora::PacketToText(store, n));
    };
    if (const auto stream = parts_.engine.StreamTextOf(result)) {
        // A stream's row: its manifest, then the requests folded into it.
        noteText_.clear();
        text = QString::fromUtf8(*stream);
    } else if (const auto answer = parts_.engine.AnswerOf(result)) {
        // Listed from the server's answer: the request, then the answer's status line and headers.
        noteText_.clear();
        if (answer->requestText)
            text = QString::fromUtf8(*answer->requestText);
        else if (store.Contains(answer->requestPacket) && !store.IsReleased(answer->requestPacket))
            text = frameText(answer->requestPacket);
        else
            text = ReleasedPacketNote(answer->requestPacket);
        text += QLatin1Char('\n') + QString::fromUtf8(*answer->responseText);
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    } else if (auto request = parts_.https->DataWindowText(result, chineseTextProcessing())) {
        // A decrypted request: its frame holds only ciphertext.
        noteText_.clear();
        text = *request;
    } else if (!ok || !store.Contains(packet) || store.IsReleased(packet)) {
        text = ReleasedPacketNote(packet);
        noteText_ = text;
    } else {
        noteText_.clear();
        text = frameText(packet);
    }
    if (const auto program = TlsProbeCapture::ProgramLine(parts_.engine, result))
        text.prepend(*program + QLatin1Char('\n')); // read by the probe: which of the user's programs asked
    QPlainTextEdit* box = parts_.text;
    box->setPlainText(QString());
    box->setPlainText(text);
}

void DataWindow::Text1_Change() {
    QPlainTextEdit* box = parts_.text;
    if (parts_.list->model() == nullptr || parts_.list->model()->rowCount() == 0 || chineseTextProcessing())
        return;
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString text = box->toPlainText();
    // The note for a released packet holds no address; nothing in it is worth selecting.
    if (!noteText_.isEmpty() && text == noteText_)
        return;
    const std::optional<TextSelection> selection = AddressHighlight(parts_.rows->AddressText(row), text);
    if (!selection)
        return;
    // Past the end of the text the selection stops at the end.
    const int size = static_cast<int>(text.size());
    const int start = std::clamp(selection->start, 0, size);
    const int end = std::clamp(selection->start + selection->length, start, size);
    QTextCursor cursor = box->textCursor();
    cursor.setPosition(start);
    cursor.setPosition(end, QTextCursor::KeepAnchor);
    box->setTextCursor(cursor);
    box->ensureCursorVisible();
}
