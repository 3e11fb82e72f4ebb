#include "SheetModel.h"

#include <QScrollBar>
#include <QTableView>

namespace workstation {

QColor QualityColor(Quality quality) {
    switch (quality) {
    case Quality::Stale:
        return QColor(0xff, 0xf0, 0xa0); // pale yellow
    case Quality::Offline:
        return QColor(0xd0, 0xd0, 0xd0); // grey
    case Quality::Refused:
        return QColor(0xf4, 0xb8, 0xb8); // pale red
    case Quality::Invalid:
        return QColor(0xf8, 0xcc, 0x98); // pale orange
    case Quality::Waiting:
        return QColor(0xc4, 0xdc, 0xf8); // pale blue
    case Quality::Unknown:
    case Quality::Good:
        break;
    }
    return {};
}

SheetModel::SheetModel(const QStringList& headings, History* history, QObject* parent)
    : QAbstractTableModel(parent), headings_(headings), history_(history) {
    if (history_) {
        shown_ = int(history_->RowCount());
        lost_ = history_->LostRows();
    }
}

int SheetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int SheetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(headings_.size());
}

QVariant SheetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return headings_.value(section);
    return QAbstractTableModel::headerData(section, orientation, role);
}

QVariant SheetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() ||
        (role != Qt::DisplayRole && role != Qt::BackgroundRole && role != Qt::ToolTipRole))
        return {};
    const SheetRow* row = Fetch(index.row());
    if (!row)
        return {};
    const int column = index.column();
    if (role == Qt::DisplayRole) {
        if (column == 0)
            return DateText(row->time);
        if (column == 1)
            return TimeText(row->time);
        return row->values.value(column - 2);
    }
    const auto value = std::size_t(column - 2);
    if (column < 2 || value >= row->quality.size())
        return {};
    const Quality quality = row->quality[value];
    if (role == Qt::BackgroundRole) {
        const QColor colour = QualityColor(quality);
        return colour.isValid() ? QVariant(colour) : QVariant();
    }
    if (quality == Quality::Unknown || quality == Quality::Good)
        return {};
    return QString(QStringLiteral("Status: ") + QualityCode(quality));
}

const SheetRow* SheetModel::Fetch(int row) const {
    if (row < 0 || row >= shown_)
        return nullptr;
    if (!history_)
        return std::size_t(row) < memory_.size() ? &memory_[std::size_t(row)] : nullptr;
    const qint64 block = row / BlockRows;
    auto it = cache_.find(block);
    if (it == cache_.end()) {
        if (cache_.size() >= std::size_t(CachedBlocks)) {
            cache_.erase(uses_.back());
            uses_.pop_back();
        }
        uses_.push_front(block);
        it = cache_
                 .emplace(block, Block{history_->Rows(block * BlockRows, BlockRows), uses_.begin()})
                 .first;
    } else if (it->second.use != uses_.begin()) {
        uses_.splice(uses_.begin(), uses_, it->second.use);
    }
    const auto at = std::size_t(row - block * BlockRows);
    return at < it->second.rows.size() ? &it->second.rows[at] : nullptr;
}

void SheetModel::AddLiveRow(const SheetRow& row) {
    if (history_) {
        if (history_->Recording())
            history_->Append(row);
        Sync();
        return;
    }
    if (memory_.size() >= std::size_t(MemoryRows)) {
        beginRemoveRows({}, 0, 0);
        memory_.pop_front();
        --shown_;
        endRemoveRows();
    }
    beginInsertRows({}, shown_, shown_);
    memory_.push_back(row);
    ++shown_;
    endInsertRows();
}

void SheetModel::Refresh() {
    if (history_ && !history_->Recording())
        history_->Refresh();
    Sync();
}

void SheetModel::Sync() {
    if (!history_)
        return;
    const qint64 count = history_->RowCount();
    if (history_->LostRows() != lost_ || count < shown_) {
        // Rows waiting to be written were dropped: the rows after the history's end moved.
        beginResetModel();
        lost_ = history_->LostRows();
        cache_.clear();
        uses_.clear();
        shown_ = int(count);
        endResetModel();
        return;
    }
    if (count == shown_)
        return;
    // The block that held the last rows was partial; it is fetched again when needed.
    const qint64 partial = shown_ / BlockRows;
    if (const auto it = cache_.find(partial); it != cache_.end()) {
        uses_.erase(it->second.use);
        cache_.erase(it);
    }
    beginInsertRows({}, shown_, int(count) - 1);
    shown_ = int(count);
    endInsertRows();
}

SheetRow SheetModel::Row(int index) const {
    const SheetRow* row = Fetch(index);
    return row ? *row : SheetRow();
}

int SheetModel::IndexAt(const QDateTime& time) const {
    if (history_)
        return int(std::min<qint64>(history_->IndexAt(time), shown_ - 1));
    for (std::size_t i = 0; i < memory_.size(); ++i)
        if (memory_[i].time >= time)
            return int(i);
    return shown_ - 1;
}

QDateTime SheetModel::FirstTime() const {
    return shown_ > 0 ? Row(0).time : QDateTime();
}

QDateTime SheetModel::LastTime() const {
    return shown_ > 0 ? Row(shown_ - 1).time : QDateTime();
}

void AddKeepingView(QTableView& view, const std::function<void()>& add) {
    const QScrollBar* bar = view.verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    add();
    if (atBottom)
        view.scrollToBottom();
}

int GoTo(QTableView& view, const SheetModel& model, const QDateTime& time) {
    const int row = model.IndexAt(time);
    if (row < 0)
        return row;
    const QModelIndex index = model.index(row, 0);
    view.setCurrentIndex(index);
    view.scrollTo(index, QAbstractItemView::PositionAtTop);
    return row;
}

} // namespace workstation
