#pragma once
// LV1's rows: a table model over the core result list. The frame handler appends to the list
// directly, many rows per batch; FlushPending then announces them in one insertion, so the view
// does its layout work once per batch rather than once per row.

#include "capture/ResultList.h"

#include <QAbstractTableModel>

#include <cstddef>
#include <cstdint>
#include <optional>

class ResultListModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    // "大小" and "说明" are this program's own columns, after the three the saved lists and the data window know.
    enum Column { TypeColumn = 0, AddressColumn = 1, PacketColumn = 2, SizeColumn = 3, NoteColumn = 4, ColumnCount = 5 };

    explicit ResultListModel(velmora::ResultList& rows, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    velmora::ResultList& Rows() { return rows_; }
    const velmora::ResultList& Rows() const { return rows_; }
    std::int64_t ResultCount() const { return rows_.ResultCount(); }

    // Rows the list holds beyond those the view knows of, announced in one insertion, and sizes learnt
    // since the last time. Returns the number of new rows.
    std::size_t FlushPending();
    std::size_t PendingRows() const { return rows_.size() - shownRows_; }

    // Edits that go through the model, so the view follows.
    void AddCaptureRow(velmora::ResultRow row);
    void AddSearchRow(velmora::ResultRow row);
    void RemoveResultRow(int row);
    // Removes every row; ResultCount becomes 0.
    void ClearRows();
    // Removes every row and keeps ResultCount (the keyword search).
    void RemoveAllRowsKeepingCount();

    // The texts of one row as the view shows them.
    QString TypeText(int row) const;
    QString AddressText(int row) const;
    QString PacketText(int row) const;
    // "4.8 MB"; empty until the server's answer has told it.
    QString SizeText(int row) const;
    // What a stream's row says of it; empty for other rows.
    QString NoteText(int row) const;
    static QString FormatSize(std::optional<std::uint64_t> bytes);

private:
    velmora::ResultList& rows_;
    std::size_t shownRows_ = 0; // rows announced to the views
    std::uint64_t answersShown_ = 0;
};
