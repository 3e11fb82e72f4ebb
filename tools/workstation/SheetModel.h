#pragma once
// The rows a log sheet shows: the whole history of its application and the live rows after
// it, fetched a block at a time as the view needs them, so a month of rows opens as fast as
// a minute's. Without a history (the file was refused or cannot be made) the sheet keeps the
// last MemoryRows live rows in memory instead.
//
// A value whose quality is neither good nor unknown is marked, live and in history: its
// cell gets the background colour of its quality and the tooltip "Status: offline" (etc.).

#include "History.h"
#include "SheetRow.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QDateTime>
#include <QStringList>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <unordered_map>

class QTableView;

namespace workstation {

// The background of a value of this quality; invalid (no mark) for Good and Unknown.
QColor QualityColor(Quality quality);

class SheetModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr int MemoryRows = 1000;
    static constexpr int BlockRows = 128;
    static constexpr int CachedBlocks = 32;

    // `history` may be null; it must outlive the model.
    SheetModel(const QStringList& headings, History* history, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // A row the poller gave out: appended to the history (when this program records it) or
    // kept in memory (without a history). A program that reads another's history shows
    // that program's rows instead (Refresh).
    void AddLiveRow(const SheetRow& row);
    // Takes in the rows that came since the last call (the writer's for a reader).
    void Refresh();

    // The row at `index` (empty values when there is none).
    SheetRow Row(int index) const;
    // The first row at or after `time`, else the last row; -1 without rows.
    int IndexAt(const QDateTime& time) const;
    QDateTime FirstTime() const;
    QDateTime LastTime() const;

    History* HistoryStore() const { return history_; }

private:
    const SheetRow* Fetch(int row) const;
    void Sync();

    QStringList headings_;
    History* history_;
    std::deque<SheetRow> memory_;
    int shown_ = 0;   // the row count the views know
    qint64 lost_ = 0; // the history's lost rows when last seen
    struct Block {
        std::vector<SheetRow> rows;
        std::list<qint64>::iterator use;
    };
    mutable std::unordered_map<qint64, Block> cache_;
    mutable std::list<qint64> uses_; // most recently used first
};

// Runs `add`, which adds rows at the bottom of `view`'s model: a view scrolled to the bottom
// follows them, one scrolled back to earlier rows stays where it is.
void AddKeepingView(QTableView& view, const std::function<void()>& add);

// Scrolls `view` so that the first row at or after `time` (else the last row) is at the top,
// and makes it the current row. Returns that row, -1 without rows.
int GoTo(QTableView& view, const SheetModel& model, const QDateTime& time);

} // namespace workstation
