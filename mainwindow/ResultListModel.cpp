#include "mainwindow/ResultListModel.h"

ResultListModel::ResultListModel(velmora::ResultList& rows, QObject* parent)
    : QAbstractTableModel(parent), rows_(rows), shownRows_(rows.size()) {}

int ResultListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(shownRows_);
}

int ResultListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ResultListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(shownRows_))
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    switch (index.column()) {
    case TypeColumn:
        return TypeText(index.row());
    case AddressColumn: {
        // An all-packets row holds a whole frame: the tooltip would be a wall of text.
        if (role == Qt::ToolTipRole && rows_[static_cast<std::size_t>(index.row())].address.size() > 2048)
            return {};
        return AddressText(index.row());
    }
    case PacketColumn:
        return PacketText(index.row());
    case SizeColumn:
        return SizeText(index.row());
    case NoteColumn:
        return NoteText(index.row());
    default:
        return {};
    }
}

QString ResultListModel::NoteText(int row) const {
    if (row < 0 || row >= static_cast<int>(shownRows_))
        return {};
    return QString::fromStdU16String(rows_[static_cast<std::size_t>(row)].note);
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    switch (section) {
    case TypeColumn:
        return QStringLiteral("类型");
    case AddressColumn:
        return QStringLiteral("找到的网络文件");
    case PacketColumn:
        return QStringLiteral("封包索引");
    case SizeColumn:
        return QStringLiteral("大小");
    case NoteColumn:
        return QStringLiteral("说明");
    default:
        return {};
    }
}

std::size_t ResultListModel::FlushPending() {
    if (rows_.AnswersSet() != answersShown_) {
        answersShown_ = rows_.AnswersSet();
        if (shownRows_ > 0)
            emit dataChanged(index(0, SizeColumn), index(static_cast<int>(shownRows_) - 1, NoteColumn));
    }
    if (rows_.size() < shownRows_) {
        // The list was shortened behind the model's back: start the views afresh.
        beginResetModel();
        shownRows_ = rows_.size();
        endResetModel();
        return 0;
    }
    const std::size_t pending = rows_.size() - shownRows_;
    if (pending == 0)
        return 0;
    const int first = static_cast<int>(shownRows_);
    beginInsertRows({}, first, first + static_cast<int>(pending) - 1);
    shownRows_ = rows_.size();
    endInsertRows();
    return pending;
}

void ResultListModel::AddCaptureRow(velmora::ResultRow row) {
    FlushPending();
    rows_.AddCaptureRow(std::move(row));
    FlushPending();
}

void ResultListModel::AddSearchRow(velmora::ResultRow row) {
    FlushPending();
    rows_.AddSearchRow(std::move(row));
    FlushPending();
}

void ResultListModel::RemoveResultRow(int row) {
    FlushPending();
    if (row < 0 || row >= static_cast<int>(shownRows_))
        return;
    beginRemoveRows({}, row, row);
    rows_.DeleteRow(static_cast<std::size_t>(row));
    shownRows_ = rows_.size();
    endRemoveRows();
}

void ResultListModel::ClearRows() {
    beginResetModel();
    rows_.Clear();
    shownRows_ = 0;
    endResetModel();
}

void ResultListModel::RemoveAllRowsKeepingCount() {
    beginResetModel();
    rows_.RemoveAllRows();
    shownRows_ = 0;
    endResetModel();
}

QString ResultListModel::TypeText(int row) const {
    return QString::fromStdU16String(rows_[static_cast<std::size_t>(row)].type);
}

QString ResultListModel::AddressText(int row) const {
    return QString::fromStdU16String(rows_[static_cast<std::size_t>(row)].address);
}

QString ResultListModel::PacketText(int row) const {
    return QString::number(rows_[static_cast<std::size_t>(row)].packet);
}

QString ResultListModel::SizeText(int row) const {
    const velmora::ResultRow& entry = rows_[static_cast<std::size_t>(row)];
    const QString size = FormatSize(entry.size);
    return entry.sizeAtLeast && !size.isEmpty() ? QStringLiteral("≥ ") + size : size;
}

QString ResultListModel::FormatSize(std::optional<std::uint64_t> bytes) {
    if (!bytes)
        return {};
    if (*bytes < 1024)
        return QStringLiteral("%1 B").arg(*bytes);
    static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(*bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', value < 100 ? 1 : 0).arg(QLatin1String(kUnits[unit]));
}
