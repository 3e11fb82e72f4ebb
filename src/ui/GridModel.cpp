#include "ui/GridModel.h"

#include <QBrush>
#include <QColor>
#include <algorithm>

namespace {

QString displayText(const QString& text) {
    if (!text.contains(QLatin1Char('\r')))
        return text;
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

} // namespace

GridModel::GridModel(QObject* parent) : QAbstractTableModel(parent) {}

Qt::Alignment GridModel::toQt(CellAlignment alignment) {
    switch (alignment) {
    case CellAlignment::CenterCenter:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case CellAlignment::CenterTop:
        return Qt::AlignHCenter | Qt::AlignTop;
    case CellAlignment::LeftCenter:
        break;
    }
    return Qt::AlignLeft | Qt::AlignVCenter;
}

std::uint32_t GridModel::takeSlot(Column& column, const QString& text) {
    if (!column.freeSlots.empty()) {
        const std::uint32_t slot = column.freeSlots.back();
        column.freeSlots.pop_back();
        column.overflow[slot] = text;
        return slot;
    }
    column.overflow.push_back(text);
    return std::uint32_t(column.overflow.size() - 1);
}

void GridModel::releaseSlot(Column& column, std::uint32_t slot) {
    column.overflow[slot] = QString();
    column.freeSlots.push_back(slot);
}

void GridModel::resizeStore(int rows, int cols) {
    rows = std::max(rows, 0);
    cols = std::max(cols, 0);
    for (int r = rows; r < rows_; ++r)
        hiddenCount_ -= hidden_[std::size_t(r)];
    columns_.resize(std::size_t(cols));
    const auto n = std::size_t(rows);
    for (Column& column : columns_) {
        for (std::size_t r = n; r < column.text.size(); ++r) {
            if (column.text[r].isLong())
                releaseSlot(column, column.text[r].slot());
        }
        column.text.resize(n);
        column.attr.resize(n, 0);
        if (!column.back.empty())
            column.back.resize(n, 0);
        if (rows != rows_)
            column.cellsWidth = -1;
        if (column.maxLenRow >= rows) {
            column.maxLen = 0;
            column.maxLenRow = -1;
        }
    }
    hidden_.resize(n, 0);
    rows_ = rows;
}

bool GridModel::setHidden(int row, bool hidden) {
    // The heading row stays in the header and cannot be hidden.
    if (row <= 0)
        return false;
    std::uint8_t& flag = hidden_[std::size_t(row)];
    if (flag == std::uint8_t(hidden))
        return false;
    flag = std::uint8_t(hidden);
    hiddenCount_ += hidden ? 1 : -1;
    mappingStale_ = true;
    return true;
}

void GridModel::moveStoreColumn(int from, int to) {
    if (from == to)
        return;
    auto first = columns_.begin();
    if (from < to)
        std::rotate(first + from, first + from + 1, first + to + 1);
    else
        std::rotate(first + to, first + from, first + from + 1);
}

void GridModel::commitReset() {
    beginResetModel();
    identity_ = hiddenCount_ == 0;
    visible_.clear();
    if (!identity_) {
        visible_.reserve(std::size_t(std::max(rows_ - 1 - hiddenCount_, 0)));
        for (int r = 1; r < rows_; ++r) {
            if (!hidden_[std::size_t(r)])
                visible_.push_back(r);
        }
    }
    committedRows_ = rows_;
    committedDataRows_ = std::max(rows_ - 1, 0);
    committedCols_ = cols();
    mappingStale_ = false;
    endResetModel();
}

void GridModel::commitColumnMove(int from, int to) {
    const int destination = to > from ? to + 1 : to;
    if (!beginMoveColumns(QModelIndex(), from, from, QModelIndex(), destination)) {
        moveStoreColumn(from, to);
        commitReset();
        return;
    }
    moveStoreColumn(from, to);
    endMoveColumns();
}

int GridModel::modelRow(int gridRow) const {
    if (gridRow < 1 || gridRow >= committedRows_)
        return -1;
    if (identity_)
        return gridRow - 1;
    const auto it = std::lower_bound(visible_.begin(), visible_.end(), gridRow);
    if (it == visible_.end() || *it != gridRow)
        return -1;
    return int(it - visible_.begin());
}

void GridModel::notifyChanged(int row1, int row2, int col1, int col2, const Shown& shown) {
    col1 = std::max(col1, 0);
    col2 = std::min(col2, committedCols_ - 1);
    if (col1 > col2)
        return;
    if (row1 <= 0 && row2 >= 0)
        emit headerDataChanged(Qt::Horizontal, col1, col2);
    row1 = std::max(row1, 1);
    row2 = std::min(row2, committedRows_ - 1);
    if (row1 > row2)
        return;
    int m1 = 0;
    int m2 = 0;
    if (identity_) {
        m1 = row1 - 1;
        m2 = row2 - 1;
    } else {
        m1 = int(std::lower_bound(visible_.begin(), visible_.end(), row1) - visible_.begin());
        m2 = int(std::upper_bound(visible_.begin(), visible_.end(), row2) - visible_.begin()) - 1;
    }
    m1 = std::max(m1, shown.firstRow);
    m2 = std::min(m2, shown.lastRow);
    col1 = std::max(col1, shown.firstCol);
    col2 = std::min(col2, shown.lastCol);
    if (m1 > m2 || col1 > col2)
        return;
    constexpr int SingleCells = 64;
    if ((m2 - m1 + 1) * (col2 - col1 + 1) > SingleCells) {
        emit dataChanged(index(m1, col1), index(m2, col2));
        return;
    }
    for (int m = m1; m <= m2; ++m) {
        for (int c = col1; c <= col2; ++c) {
            const QModelIndex cell = index(m, c);
            emit dataChanged(cell, cell);
        }
    }
}

int GridModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return identity_ ? committedDataRows_ : int(visible_.size());
}

int GridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : committedCols_;
}

QVariant GridModel::cellData(int row, int col, int role) const {
    if (!contains(row, col))
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return displayText(text(row, col));
    case Qt::ToolTipRole:
        if (!column(col).textTips || textEmpty(row, col))
            return {};
        return displayText(text(row, col));
    case Qt::TextAlignmentRole:
        return int(toQt(alignment(row, col)));
    case Qt::CheckStateRole:
        switch (check(row, col)) {
        case CellCheck::Checked:
            return int(Qt::Checked);
        case CellCheck::Cleared:
            return int(Qt::Unchecked);
        case CellCheck::None:
            break;
        }
        return {};
    case Qt::BackgroundRole: {
        const QRgb color = back(row, col);
        if (qAlpha(color) == 0)
            return {};
        return QBrush(QColor::fromRgba(color));
    }
    default:
        return {};
    }
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    return cellData(gridRow(index.row()), index.column(), role);
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (role == Qt::DisplayRole && section >= 0 && section < rowCount())
            return gridRow(section);
        return {};
    }
    if (section < 0 || section >= committedCols_)
        return {};
    return cellData(0, section, role);
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
    if (!index.isValid() || index.row() >= rowCount())
        return Qt::NoItemFlags;
    Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    const int row = gridRow(index.row());
    if (contains(row, index.column()) && check(row, index.column()) != CellCheck::None)
        result |= Qt::ItemIsUserCheckable;
    return result;
}

bool GridModel::setData(const QModelIndex& index, const QVariant&, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.row() >= rowCount())
        return false;
    emit checkToggleRequested(gridRow(index.row()), index.column());
    return true;
}
