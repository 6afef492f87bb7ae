#include "mainwindow/FileTypeTableModel.h"

FileTypeTableModel::FileTypeTableModel(velmora::FileTypeTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {}

int FileTypeTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(table_.size());
}

int FileTypeTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant FileTypeTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
        return {};
    if (role == Qt::ToolTipRole)
        return index.column() == MediaTypesColumn ? MediaTypes(index.row()) : QVariant();
    switch (index.column()) {
    case ExtensionColumn:
        return Extension(index.row());
    case TypeColumn:
        return Type(index.row());
    case StateColumn:
        return State(index.row());
    case MediaTypesColumn:
        return MediaTypes(index.row());
    default:
        return {};
    }
}

QVariant FileTypeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    switch (section) {
    case ExtensionColumn:
        return QStringLiteral("扩展名");
    case TypeColumn:
        return QStringLiteral("类型");
    case StateColumn:
        return QStringLiteral("状态");
    case MediaTypesColumn:
        return QStringLiteral("媒体类型");
    default:
        return {};
    }
}

void FileTypeTableModel::Load(velmora::FileTypeTable table) {
    beginResetModel();
    table_ = std::move(table);
    endResetModel();
}

void FileTypeTableModel::Append(velmora::FileTypeRow row) {
    const int at = rowCount();
    beginInsertRows({}, at, at);
    table_.Append(std::move(row));
    endInsertRows();
}

void FileTypeTableModel::Remove(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    table_.Remove(static_cast<std::size_t>(row));
    endRemoveRows();
}

void FileTypeTableModel::SetState(int row, const QString& state) {
    if (row < 0 || row >= rowCount())
        return;
    table_.SetState(static_cast<std::size_t>(row), state.toStdU16String());
    const QModelIndex changed = index(row, StateColumn);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

QString FileTypeTableModel::Extension(int row) const {
    return QString::fromStdU16String(table_[static_cast<std::size_t>(row)].extension);
}

QString FileTypeTableModel::Type(int row) const {
    return QString::fromStdU16String(table_[static_cast<std::size_t>(row)].typeName);
}

QString FileTypeTableModel::State(int row) const {
    return QString::fromStdU16String(table_[static_cast<std::size_t>(row)].state);
}

QString FileTypeTableModel::MediaTypes(int row) const {
    return QString::fromStdU16String(table_[static_cast<std::size_t>(row)].mediaTypes);
}
