#pragma once
// ListView2's rows: a table model over the file-type table that the frame handler consults, so an
// edit here is in force for the next frame.

#include "capture/FileTypeTable.h"

#include <QAbstractTableModel>

class FileTypeTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { ExtensionColumn = 0, TypeColumn = 1, StateColumn = 2, MediaTypesColumn = 3, ColumnCount = 4 };

    explicit FileTypeTableModel(velmora::FileTypeTable& table, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    const velmora::FileTypeTable& Table() const { return table_; }

    // Replaces every row (start-up's load).
    void Load(velmora::FileTypeTable table);
    void Append(velmora::FileTypeRow row);
    void Remove(int row);
    void SetState(int row, const QString& state);

    QString Extension(int row) const;
    QString Type(int row) const;
    QString State(int row) const;
    QString MediaTypes(int row) const;

private:
    velmora::FileTypeTable& table_;
};
