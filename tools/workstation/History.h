#pragma once
// The history of a log sheet: every row the sheet shows, kept in an SQLite database (Qt SQL,
// driver "QSQLITE") beside the application file or where --history names it.
//
// The file. PRAGMA application_id says it is a log-sheet history, user_version its layout. A
// file that is not SQLite, SQLite of another program, a later layout or damaged is refused
// and never written to. The file holds one or more sheets: a sheet is one version of an
// application (its title and its variables with their links and field types). A row is
// recorded into the sheet of the application as it is now; an application that changed
// starts a new sheet, so columns are never mislabelled, and the old rows stay in the file.
//
// The rows. Each row is stored as the values (with their quality) that changed since the row
// before it, and now and then as a full row: a full row is written when the changes stored
// since the last one add up to FullRowEvery full rows' size, so any row is rebuilt from one
// full row and a bounded run of changes, and a steady plant costs little. Large row records
// are compressed. Each row is its own transaction in a write-ahead log, so ending the
// program at any moment (kill -9) loses at most the row being written.
//
// One writer. A lock file beside the database (NAME.lock) decides who records; a second
// program on the same history opens it read-only, shows it and follows the rows the writer
// adds (Refresh), and records once the writer has ended (TryToRecord). A lock left by a
// program that crashed is taken over.
//
// A write that fails (a full disk, an I/O error) does not lose the row: it is kept in memory
// and written with the next row that can be written, so recording resumes by itself when
// space returns. At most MaxPendingBytes of value text wait; past that the oldest waiting
// rows are dropped and counted (LostRows).

#include "SheetRow.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <deque>
#include <memory>
#include <vector>

class QLockFile;

namespace workstation {

// One recorded column: a variable of the application as the sheet shows it.
struct HistoryColumn {
    QString name; // the variable's name ("_" where the heading breaks its line)
    QString link; // its link, "" without one
    QString type; // its field type, "N" or "T"
};

// One value of one column over time, for a trend.
struct HistoryPoint {
    qint64 ms;       // the row's time, milliseconds since the epoch
    QString text;    // the value as recorded
    Quality quality; // its quality
};

class History {
public:
    // Full rows come after changes adding up to this many full rows' sizes.
    static constexpr int FullRowEvery = 4;
    // Value text kept in memory while writes fail, in bytes.
    static constexpr qint64 MaxPendingBytes = 64 * 1024 * 1024;
    // Row records at least this large are compressed when that makes them smaller.
    static constexpr int CompressFrom = 1024;

    enum class Access {
        Record,  // record when the lock is free, else read
        ReadOnly // never record (an export, a benchmark reading)
    };

    // Opens the history at `path` for the application titled `title` with `columns`. Returns
    // null and sets `error` when the file cannot be used at all: it is not a history of this
    // program, it is damaged, or it does not exist and cannot be made. A history another
    // program records is opened read-only (Recording() false, NotRecordingReason() says so).
    static std::unique_ptr<History> Open(const QString& path, const QString& title,
                                         const std::vector<HistoryColumn>& columns, Access access,
                                         QString* error);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    const QString& Path() const { return path_; }
    bool Recording() const { return recording_; }
    // Why this program does not record ("" when it does).
    const QString& NotRecordingReason() const { return notRecording_; }
    // Whether the file holds rows of this application as it is now. False for a reader
    // before the writer has recorded the first row of a changed application.
    bool HasSheet() const { return sheet_ > 0; }

    // The rows of the current sheet: recorded ones, then those still waiting to be written.
    qint64 RowCount() const { return stored_ + qint64(pending_.size()); }
    // The rows [first, first + count) that exist, oldest first.
    std::vector<SheetRow> Rows(qint64 first, qint64 count) const;
    // The index of the first row at or after `time`, or of the last row when none is; -1
    // without rows.
    qint64 IndexAt(const QDateTime& time) const;
    // The rows whose time lies in [fromMs, toMs]: the index of the first and their count (0
    // when there is none), for printing a time range through Rows.
    struct IndexRange {
        qint64 first = 0;
        qint64 count = 0;
    };
    IndexRange RangeOf(qint64 fromMs, qint64 toMs) const;
    // The time of the first and of the last row (invalid without rows).
    QDateTime FirstTime() const;
    QDateTime LastTime() const;

    // Each row of [fromMs, toMs] as a point of column `column` (an index into
    // SheetRow::values).
    std::vector<HistoryPoint> Series(int column, qint64 fromMs, qint64 toMs) const;

    // Appends a row (recording programs only). Returns false when it could not be written
    // now: the row then waits in memory (see WriteProblem).
    bool Append(const SheetRow& row);
    // For a reader: takes in the rows the writer added since. Returns whether there are new
    // rows.
    bool Refresh();
    // For a reader: records from now on when the program that recorded has ended (its lock
    // is free). Returns whether this program records.
    bool TryToRecord();

    // "" while writes succeed; else what went wrong, since when, set once when writing
    // starts failing and cleared when a write succeeds again.
    const QString& WriteProblem() const { return writeProblem_; }
    qint64 LostRows() const { return lostRows_; }

    // Writes the rows of [fromMs, toMs] as CSV to `out` (UTF-8): a header row "Date","Time"
    // and the names with each "_" as a blank, then per row its ISO date, time and values,
    // quoted where they hold a comma, a quote or a line break. Written through a temporary
    // file renamed at the end, so `out` is never left half-written.
    bool ExportCsv(qint64 fromMs, qint64 toMs, const QString& out, QString* error) const;

    // The result of PRAGMA integrity_check ("ok" when sound).
    QString IntegrityCheck() const;

    // For tests of a full disk: limits the database to `pages` pages (0: no limit).
    void LimitPagesForTest(qint64 pages);
    // For tests of the bound on waiting rows: MaxPendingBytes becomes `bytes`.
    void LimitPendingForTest(qint64 bytes) { pendingLimit_ = bytes; }

    // For the benchmark's set-up: appends many rows in one transaction.
    bool AppendMany(const std::vector<SheetRow>& rows);

private:
    struct Impl;
    History();
    // Opens the connection (writing when recording_), checks the file and finds or makes
    // the sheet.
    bool Connect(QString* error);
    bool WritePending();
    qint64 ReadStoredCount() const;

    std::unique_ptr<Impl> d_;
    QString path_;
    bool recording_ = false;
    QString notRecording_;
    qint64 sheet_ = 0;  // the current sheet's id, 0 without one
    qint64 stored_ = 0; // rows of the current sheet in the file
    std::deque<SheetRow> pending_;
    qint64 pendingBytes_ = 0;
    qint64 pendingLimit_ = MaxPendingBytes;
    qint64 lostRows_ = 0;
    QString writeProblem_;
};

// Where the history of the application file `svtPath` is kept: `explicitPath` when given;
// else beside the file with the suffix ".svh" (NAME.SVT: NAME.svh) when its folder is
// writable; else in the user's data folder under a name made unique from the file's full path.
QString HistoryPath(const QString& svtPath, const QString& explicitPath = QString());

} // namespace workstation
