#include "History.h"

#include "base/Log.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace workstation {

namespace {

// "SvH1": the value of PRAGMA application_id in every history file.
constexpr quint32 ApplicationId = 0x53764831;
constexpr int SchemaVersion = 1;
// A row's id is its sheet's id shifted by SeqBits plus its index in the sheet.
constexpr int SeqBits = 40;
constexpr qint64 SeqMask = (qint64(1) << SeqBits) - 1;

// The first byte of a stored row record.
constexpr char Raw = 0;
constexpr char Compressed = 1;

std::atomic<int> connectionCounter{0};

qint64 SheetBase(qint64 sheet) {
    return sheet << SeqBits;
}

void PutVarint(QByteArray& out, quint64 v) {
    while (v >= 0x80) {
        out.append(char((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.append(char(v));
}

bool GetVarint(const char*& p, const char* end, quint64& v) {
    v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const auto byte = static_cast<unsigned char>(*p++);
        v |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

bool IsQuality(quint64 q) {
    return q <= quint64(Quality::Waiting);
}

// The values of one row in the form they are stored in.
struct RowState {
    std::vector<QByteArray> values; // UTF-8
    std::vector<Quality> quality;
};

RowState StateOf(const SheetRow& row, std::size_t columns) {
    RowState s;
    s.values.resize(columns);
    s.quality.assign(columns, Quality::Unknown);
    for (std::size_t c = 0; c < columns; ++c) {
        if (c < std::size_t(row.values.size()))
            s.values[c] = row.values[qsizetype(c)].toUtf8();
        if (c < row.quality.size())
            s.quality[c] = row.quality[c];
    }
    return s;
}

// A full row: per column varint(length << 1 | quality follows), the quality when it differs
// from the column before (the first column's from Unknown), the UTF-8 bytes.
QByteArray EncodeFull(const RowState& s) {
    QByteArray out;
    Quality last = Quality::Unknown;
    for (std::size_t c = 0; c < s.values.size(); ++c) {
        const bool q = s.quality[c] != last;
        PutVarint(out, quint64(s.values[c].size()) << 1 | (q ? 1 : 0));
        if (q)
            out.append(char(s.quality[c]));
        last = s.quality[c];
        out.append(s.values[c]);
    }
    return out;
}

// The changes from `before` to `now` among `columns` (ascending): per changed column
// varint(gap << 1 | quality follows), where gap is the distance from the previous changed
// column (the first from -1), the new quality when it changed, varint(length), the UTF-8
// bytes.
QByteArray EncodeChanges(const RowState& before, const RowState& now,
                         const std::vector<std::size_t>& columns) {
    QByteArray out;
    qsizetype previous = -1;
    for (const std::size_t c : columns) {
        const bool q = now.quality[c] != before.quality[c];
        if (!q && now.values[c] == before.values[c])
            continue;
        PutVarint(out, quint64(qsizetype(c) - previous) << 1 | (q ? 1 : 0));
        previous = qsizetype(c);
        if (q)
            out.append(char(now.quality[c]));
        PutVarint(out, quint64(now.values[c].size()));
        out.append(now.values[c]);
    }
    return out;
}

QByteArray Pack(const QByteArray& payload) {
    if (payload.size() >= History::CompressFrom) {
        const QByteArray packed = qCompress(payload, 1);
        if (packed.size() < payload.size())
            return Compressed + packed;
    }
    return Raw + payload;
}

// Rebuilds rows from stored records. A record that cannot be read leaves the values it would
// have changed as they were and sets `damaged`.
struct Decoder {
    RowState state;
    bool damaged = false;
    // The columns whose value the records applied since the last Taken() set; all of them
    // after a full row.
    std::vector<std::size_t> changed;
    bool allChanged = true;

    explicit Decoder(std::size_t columns) {
        state.values.resize(columns);
        state.quality.assign(columns, Quality::Unknown);
    }

    // Applies one stored record; with `only` >= 0 keeps just that column's value.
    void Apply(const QByteArray& record, bool full, int only = -1) {
        if (record.isEmpty())
            return void(damaged = true);
        QByteArray unpacked;
        const char* p = record.constData() + 1;
        const char* end = record.constData() + record.size();
        if (record.at(0) == Compressed) {
            unpacked = qUncompress(reinterpret_cast<const uchar*>(p), qsizetype(end - p));
            p = unpacked.constData();
            end = p + unpacked.size();
        } else if (record.at(0) != Raw) {
            return void(damaged = true);
        }
        if (full ? !ApplyFull(p, end, only) : !ApplyChanges(p, end, only))
            damaged = true;
    }

    bool ApplyFull(const char* p, const char* end, int only) {
        Quality last = Quality::Unknown;
        for (std::size_t c = 0; c < state.values.size(); ++c) {
            quint64 head = 0;
            if (!GetVarint(p, end, head))
                return false;
            if (head & 1) {
                if (p >= end || !IsQuality(quint64(static_cast<unsigned char>(*p))))
                    return false;
                last = Quality(*p++);
            }
            const quint64 length = head >> 1;
            if (length > quint64(end - p))
                return false;
            state.quality[c] = last;
            if (only < 0 || std::size_t(only) == c)
                state.values[c] = QByteArray(p, qsizetype(length));
            p += length;
        }
        allChanged = true;
        return p == end;
    }

    bool ApplyChanges(const char* p, const char* end, int only) {
        quint64 column = quint64(-1);
        while (p < end) {
            quint64 head = 0;
            if (!GetVarint(p, end, head) || (head >> 1) == 0)
                return false;
            column += head >> 1;
            if (column >= state.values.size())
                return false;
            if (head & 1) {
                if (p >= end || !IsQuality(quint64(static_cast<unsigned char>(*p))))
                    return false;
                state.quality[column] = Quality(*p++);
            }
            quint64 length = 0;
            if (!GetVarint(p, end, length) || length > quint64(end - p))
                return false;
            if (only < 0 || quint64(only) == column) {
                state.values[column] = QByteArray(p, qsizetype(length));
                if (!allChanged)
                    changed.push_back(std::size_t(column));
            }
            p += length;
        }
        return true;
    }

    void Taken() {
        changed.clear();
        allChanged = false;
    }

    SheetRow Row(qint64 ms) const {
        SheetRow row;
        row.time = QDateTime::fromMSecsSinceEpoch(ms);
        row.values.reserve(qsizetype(state.values.size()));
        for (const QByteArray& v : state.values)
            row.values << QString::fromUtf8(v);
        row.quality = state.quality;
        return row;
    }
};

// The identity of an application version: its title and its variables, each field with its
// length so that no two different lists give the same text.
QString Identity(const QString& title, const std::vector<HistoryColumn>& columns) {
    QString id;
    const auto add = [&id](const QString& field) {
        id += QString::number(field.size()) + QLatin1Char(':') + field;
    };
    add(title);
    for (const HistoryColumn& c : columns) {
        add(c.name);
        add(c.link);
        add(c.type);
    }
    return id;
}

quint32 BigEndian32(const char* p) {
    return quint32(static_cast<unsigned char>(p[0])) << 24 |
           quint32(static_cast<unsigned char>(p[1])) << 16 |
           quint32(static_cast<unsigned char>(p[2])) << 8 |
           quint32(static_cast<unsigned char>(p[3]));
}

// Checks the file's header before SQLite opens it, so that a file of another kind is never
// touched. An empty file is taken as a new history.
bool CheckHeader(const QString& path, QString* error) {
    QFile f(path);
    if (!f.exists())
        return true;
    if (!f.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("The history file %1 cannot be read: %2").arg(path, f.errorString());
        return false;
    }
    const QByteArray head = f.read(100);
    if (head.isEmpty() && f.size() == 0)
        return true;
    static const char Magic[] = "SQLite format 3";
    if (head.size() < 100 || std::memcmp(head.constData(), Magic, sizeof Magic) != 0) {
        *error = QStringLiteral("The file %1 is not a log-sheet history (not an SQLite database); "
                                "it is left as it is.")
                     .arg(path);
        return false;
    }
    const quint32 id = BigEndian32(head.constData() + 68);
    // A history whose first transaction is still in its write-ahead log has no id in the main
    // file yet; SQLite's own answer is checked once it is open.
    if (id != ApplicationId && id != 0) {
        *error = QStringLiteral("The file %1 is an SQLite database of another program, not a "
                                "log-sheet history; it is left as it is.")
                     .arg(path);
        return false;
    }
    return true;
}

// A null text would be bound as NULL.
QString NotNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

bool IsFullOrIoError(const QSqlError& e) {
    bool ok = false;
    const int code = e.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == 13 || (code & 0xff) == 10);
}

} // namespace

// Copies the write-ahead log into the database on a thread of its own, every few seconds,
// on a connection of its own. A checkpoint waits for the disk (fsync); done by the appending
// connection itself it would hold up the row that happens to trigger it.
class Checkpointer {
public:
    explicit Checkpointer(const QString& path) : path_(path) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Checkpointer() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    Checkpointer(const Checkpointer&) = delete;
    Checkpointer& operator=(const Checkpointer&) = delete;

private:
    void Run() {
        const QString name =
            QStringLiteral("history-checkpoint-%1").arg(connectionCounter.fetch_add(1));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(path_);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=0"));
            if (db.open()) {
                QSqlQuery q(db);
                std::unique_lock<std::mutex> lock(mutex_);
                while (!wake_.wait_for(lock, std::chrono::seconds(2), [this] { return stop_; })) {
                    lock.unlock();
                    q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
                    q.finish();
                    lock.lock();
                }
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }

    QString path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

struct History::Impl {
    QString connection;
    QSqlDatabase db;
    std::unique_ptr<QLockFile> lock;
    std::vector<HistoryColumn> columns;
    QString title;
    QString identity;
    // The writer's state: the last row written and the sizes that decide the next full row.
    RowState last;
    QStringList lastText; // the last row's values as given
    bool haveLast = false;
    qint64 sinceFull = 0;
    qint64 fullSize = 0;
    int retryEvery = 1;
    int appendsSinceTry = 0;
    std::unique_ptr<Checkpointer> checkpointer;

    QSqlQuery Prepare(const QString& sql) const {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        q.prepare(sql);
        return q;
    }

    ~Impl() {
        checkpointer.reset();
        if (db.isValid())
            db.close();
        db = QSqlDatabase();
        if (!connection.isEmpty())
            QSqlDatabase::removeDatabase(connection);
    }
};

History::History() : d_(std::make_unique<Impl>()) {}
History::~History() = default;

std::unique_ptr<History> History::Open(const QString& path, const QString& title,
                                       const std::vector<HistoryColumn>& columns, Access access,
                                       QString* error) {
    QString scratch;
    if (!error)
        error = &scratch;
    if (!CheckHeader(path, error))
        return nullptr;
    std::unique_ptr<History> h(new History());
    h->path_ = path;
    Impl& d = *h->d_;
    d.columns = columns;
    d.title = title;
    d.identity = Identity(title, columns);

    if (access == Access::Record) {
        d.lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        // A lock whose program is gone is taken over at once (QLockFile checks its pid).
        d.lock->setStaleLockTime(0);
        if (d.lock->tryLock(0)) {
            h->recording_ = true;
        } else {
            h->notRecording_ =
                d.lock->error() == QLockFile::LockFailedError
                    ? QStringLiteral("not recording: another sv6.exe records this history")
                    : QStringLiteral("not recording: the lock file %1.lock cannot be made")
                          .arg(path);
            d.lock.reset();
        }
    } else {
        h->notRecording_ = QStringLiteral("not recording: opened for reading");
    }
    const bool exists = QFileInfo::exists(path);
    if (!h->recording_ && !exists) {
        *error = QStringLiteral("There is no history file %1.").arg(path);
        return nullptr;
    }

    if (!h->Connect(error))
        return nullptr;
    return h;
}

bool History::Connect(QString* error) {
    Impl& d = *d_;
    const QString& path = path_;
    d.connection = QStringLiteral("history-%1").arg(connectionCounter.fetch_add(1));
    d.db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), d.connection);
    d.db.setDatabaseName(path);
    d.db.setConnectOptions(recording_
                               ? QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000")
                               : QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000;QSQLITE_OPEN_READONLY"));
    if (!d.db.open()) {
        *error = QStringLiteral("The history file %1 cannot be opened: %2")
                     .arg(path, d.db.lastError().text());
        return false;
    }
    const auto scalar = [&d](const QString& sql, bool* ok = nullptr) {
        QSqlQuery q(d.db);
        const bool done = q.exec(sql) && q.next();
        if (ok)
            *ok = done;
        return done ? q.value(0) : QVariant();
    };
    const auto refuse = [&](const QString& why) {
        *error = QStringLiteral("The file %1 %2; it is left as it is.").arg(path, why);
        return false;
    };
    bool ok = false;
    const quint32 appId = scalar(QStringLiteral("PRAGMA application_id"), &ok).toUInt();
    if (!ok)
        return refuse(QStringLiteral("is damaged or not a log-sheet history (%1)")
                          .arg(d.db.lastError().text()));
    const int version = scalar(QStringLiteral("PRAGMA user_version")).toInt();
    const int objects = scalar(QStringLiteral("SELECT count(*) FROM sqlite_master"), &ok).toInt();
    if (!ok)
        return refuse(QStringLiteral("is damaged (%1)").arg(d.db.lastError().text()));
    if (appId == 0 && objects == 0) {
        if (!recording_) {
            *error = QStringLiteral("The history file %1 holds no rows yet.").arg(path);
            return false;
        }
        QSqlQuery q(d.db);
        const QStringList create = {
            QStringLiteral("PRAGMA journal_mode=WAL"),
            QStringLiteral("BEGIN"),
            QStringLiteral("PRAGMA application_id=%1").arg(ApplicationId),
            QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion),
            QStringLiteral("CREATE TABLE sheet(id INTEGER PRIMARY KEY, title TEXT NOT NULL, "
                           "identity TEXT NOT NULL, created_ms INTEGER NOT NULL)"),
            QStringLiteral("CREATE TABLE variable(sheet INTEGER NOT NULL, position INTEGER NOT "
                           "NULL, name TEXT NOT NULL, link TEXT NOT NULL, type TEXT NOT NULL, "
                           "PRIMARY KEY(sheet, position))"),
            QStringLiteral("CREATE TABLE row(id INTEGER PRIMARY KEY, ms INTEGER NOT NULL, full "
                           "INTEGER NOT NULL, data BLOB NOT NULL)"),
            QStringLiteral("CREATE INDEX row_time ON row(ms)"),
            QStringLiteral("CREATE TABLE full_row(id INTEGER PRIMARY KEY)"),
            QStringLiteral("COMMIT")};
        for (const QString& sql : create)
            if (!q.exec(sql)) {
                *error = QStringLiteral("The history file %1 cannot be made: %2")
                             .arg(path, q.lastError().text());
                return false;
            }
    } else if (appId != ApplicationId) {
        return refuse(QStringLiteral("is an SQLite database of another program, not a log-sheet "
                                     "history"));
    } else if (version != SchemaVersion) {
        return refuse(
            QStringLiteral("is a log-sheet history of another version (layout %1)").arg(version));
    }
    {
        QSqlQuery q(d.db);
        if (!q.exec(QStringLiteral("SELECT count(*) FROM row WHERE id < 0")) ||
            !q.exec(QStringLiteral("SELECT count(*) FROM full_row WHERE id < 0")) ||
            !q.exec(QStringLiteral("SELECT count(*) FROM variable WHERE sheet < 0")))
            return refuse(QStringLiteral("is damaged (%1)").arg(q.lastError().text()));
    }
    if (recording_) {
        QSqlQuery q(d.db);
        q.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
        q.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
        // The checkpoints run on their own thread; the log still shrinks when the last
        // connection closes.
        q.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0"));
        d.checkpointer = std::make_unique<Checkpointer>(path);
    }
    QSqlQuery find = d.Prepare(
        QStringLiteral("SELECT id FROM sheet WHERE identity = ? ORDER BY id DESC LIMIT 1"));
    find.addBindValue(d.identity);
    if (!find.exec())
        return refuse(QStringLiteral("is damaged (%1)").arg(find.lastError().text()));
    if (find.next())
        sheet_ = find.value(0).toLongLong();
    find.finish();
    if (sheet_ == 0 && recording_) {
        // A new application, or one that changed: a sheet of its own.
        QSqlQuery q(d.db);
        bool made = d.db.transaction();
        q.prepare(QStringLiteral("INSERT INTO sheet(title, identity, created_ms) VALUES(?, ?, ?)"));
        q.addBindValue(NotNull(d.title));
        q.addBindValue(d.identity);
        q.addBindValue(QDateTime::currentMSecsSinceEpoch());
        made = made && q.exec();
        const qint64 sheet = q.lastInsertId().toLongLong();
        q.prepare(QStringLiteral(
            "INSERT INTO variable(sheet, position, name, link, type) VALUES(?, ?, ?, ?, ?)"));
        for (std::size_t i = 0; made && i < d.columns.size(); ++i) {
            q.addBindValue(sheet);
            q.addBindValue(qint64(i));
            q.addBindValue(NotNull(d.columns[i].name));
            q.addBindValue(NotNull(d.columns[i].link));
            q.addBindValue(NotNull(d.columns[i].type));
            made = q.exec();
        }
        if (!made || !d.db.commit()) {
            *error = QStringLiteral("The history file %1 cannot be written: %2")
                         .arg(path, q.lastError().text());
            d.db.rollback();
            return false;
        }
        sheet_ = sheet;
    }
    stored_ = ReadStoredCount();
    return true;
}

bool History::TryToRecord() {
    if (recording_)
        return true;
    auto lock = std::make_unique<QLockFile>(path_ + QStringLiteral(".lock"));
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return false;
    // The read-only connection makes way for one that writes.
    d_->db.close();
    d_->db = QSqlDatabase();
    QSqlDatabase::removeDatabase(d_->connection);
    d_->lock = std::move(lock);
    recording_ = true;
    QString error;
    if (!Connect(&error)) {
        logging::Warning(error);
        d_->checkpointer.reset();
        d_->db.close();
        d_->db = QSqlDatabase();
        QSqlDatabase::removeDatabase(d_->connection);
        d_->lock.reset();
        recording_ = false;
        notRecording_ = QStringLiteral("not recording: ") + error;
        Connect(&error);
        return false;
    }
    notRecording_.clear();
    d_->haveLast = false;
    return true;
}

qint64 History::ReadStoredCount() const {
    if (sheet_ == 0)
        return 0;
    QSqlQuery q = d_->Prepare(QStringLiteral("SELECT max(id) FROM row WHERE id BETWEEN ? AND ?"));
    q.addBindValue(SheetBase(sheet_));
    q.addBindValue(SheetBase(sheet_) + SeqMask);
    if (!q.exec() || !q.next() || q.value(0).isNull())
        return 0;
    return (q.value(0).toLongLong() & SeqMask) + 1;
}

bool History::Refresh() {
    if (recording_)
        return false;
    if (sheet_ == 0) {
        QSqlQuery find = d_->Prepare(
            QStringLiteral("SELECT id FROM sheet WHERE identity = ? ORDER BY id DESC LIMIT 1"));
        find.addBindValue(d_->identity);
        if (find.exec() && find.next())
            sheet_ = find.value(0).toLongLong();
    }
    const qint64 count = ReadStoredCount();
    const bool grew = count > stored_;
    stored_ = std::max(stored_, count);
    return grew;
}

bool History::Append(const SheetRow& row) {
    if (!recording_)
        return false;
    pending_.push_back(row);
    qint64 bytes = 0;
    for (const QString& v : row.values)
        bytes += v.size() * 2;
    pendingBytes_ += bytes;
    while (pending_.size() > 1 && pendingBytes_ > pendingLimit_) {
        for (const QString& v : pending_.front().values)
            pendingBytes_ -= v.size() * 2;
        pending_.pop_front();
        ++lostRows_;
    }
    // While writes fail, a try costs the encoding of every waiting row: tries are spaced
    // out, doubling up to one in 64 appends.
    if (!writeProblem_.isEmpty() && ++d_->appendsSinceTry < d_->retryEvery)
        return false;
    d_->appendsSinceTry = 0;
    if (WritePending()) {
        d_->retryEvery = 1;
        return true;
    }
    d_->retryEvery = std::min(d_->retryEvery * 2, 64);
    return false;
}

bool History::AppendMany(const std::vector<SheetRow>& rows) {
    for (const SheetRow& row : rows)
        pending_.push_back(row);
    return WritePending();
}

bool History::WritePending() {
    Impl& d = *d_;
    if (pending_.empty())
        return true;
    const RowState savedLast = d.last;
    const QStringList savedLastText = d.lastText;
    const bool savedHaveLast = d.haveLast;
    const qint64 savedSinceFull = d.sinceFull;
    const qint64 savedFullSize = d.fullSize;
    QSqlError failure;
    bool ok = d.db.transaction();
    if (!ok)
        failure = d.db.lastError();
    QSqlQuery insert(d.db);
    QSqlQuery insertFull(d.db);
    if (ok) {
        insert.prepare(QStringLiteral("INSERT INTO row(id, ms, full, data) VALUES(?, ?, ?, ?)"));
        insertFull.prepare(QStringLiteral("INSERT INTO full_row(id) VALUES(?)"));
    }
    qint64 seq = stored_;
    const std::size_t columns = d.columns.size();
    for (std::size_t i = 0; ok && i < pending_.size(); ++i, ++seq) {
        const SheetRow& row = pending_[i];
        // Only the values whose text or quality changed are made UTF-8 again.
        RowState now;
        std::vector<std::size_t> changed;
        if (!d.haveLast) {
            now = StateOf(row, columns);
        } else {
            now = d.last;
            for (std::size_t c = 0; c < columns; ++c) {
                const auto at = qsizetype(c);
                const Quality q = c < row.quality.size() ? row.quality[c] : Quality::Unknown;
                const bool textChanged = at < row.values.size()
                                             ? row.values[at] != d.lastText.value(at)
                                             : !d.lastText.value(at).isEmpty();
                if (!textChanged && q == now.quality[c])
                    continue;
                now.values[c] = row.values.value(at).toUtf8();
                now.quality[c] = q;
                changed.push_back(c);
            }
        }
        QByteArray record;
        bool full = !d.haveLast;
        if (!full) {
            record = Pack(EncodeChanges(d.last, now, changed));
            full = d.sinceFull + record.size() > FullRowEvery * std::max<qint64>(d.fullSize, 64);
        }
        if (full) {
            record = Pack(EncodeFull(now));
            d.fullSize = record.size();
            d.sinceFull = 0;
        } else {
            d.sinceFull += record.size();
        }
        const qint64 id = SheetBase(sheet_) + seq;
        insert.addBindValue(id);
        insert.addBindValue(pending_[i].time.toMSecsSinceEpoch());
        insert.addBindValue(full ? 1 : 0);
        insert.addBindValue(record);
        ok = insert.exec();
        if (ok && full) {
            insertFull.addBindValue(id);
            ok = insertFull.exec();
            if (!ok)
                failure = insertFull.lastError();
        } else if (!ok) {
            failure = insert.lastError();
        }
        d.last = std::move(now);
        d.lastText = row.values;
        d.haveLast = true;
    }
    if (ok) {
        ok = d.db.commit();
        if (!ok)
            failure = d.db.lastError();
    }
    if (!ok) {
        d.db.rollback();
        d.last = savedLast;
        d.lastText = savedLastText;
        d.haveLast = savedHaveLast;
        d.sinceFull = savedSinceFull;
        d.fullSize = savedFullSize;
        if (writeProblem_.isEmpty()) {
            const QString why = IsFullOrIoError(failure) && failure.nativeErrorCode().toInt() == 13
                                    ? QStringLiteral("the disk is full")
                                    : failure.text();
            writeProblem_ = QStringLiteral("history not written since %1: %2; the rows wait in "
                                           "memory and are written when it can be written again")
                                .arg(TimeText(QDateTime::currentDateTime()), why);
            logging::Warning(path_ + QStringLiteral(": ") + writeProblem_);
        }
        return false;
    }
    stored_ = seq;
    pending_.clear();
    pendingBytes_ = 0;
    if (!writeProblem_.isEmpty()) {
        writeProblem_.clear();
        logging::Notice(path_ + QStringLiteral(": the history is written again"));
    }
    return true;
}

std::vector<SheetRow> History::Rows(qint64 first, qint64 count) const {
    std::vector<SheetRow> rows;
    first = std::max<qint64>(first, 0);
    const qint64 end = std::min(first + std::max<qint64>(count, 0), RowCount());
    if (first >= end)
        return rows;
    rows.reserve(std::size_t(end - first));
    if (first < stored_) {
        const qint64 base = SheetBase(sheet_);
        const qint64 lastStored = std::min(end, stored_) - 1;
        QSqlQuery q =
            d_->Prepare(QStringLiteral("SELECT max(id) FROM full_row WHERE id BETWEEN ? AND ?"));
        q.addBindValue(base);
        q.addBindValue(base + first);
        const qint64 from =
            q.exec() && q.next() && !q.value(0).isNull() ? q.value(0).toLongLong() : base;
        q.finish();
        QSqlQuery r = d_->Prepare(QStringLiteral(
            "SELECT id, ms, full, data FROM row WHERE id BETWEEN ? AND ? ORDER BY id"));
        r.addBindValue(from);
        r.addBindValue(base + lastStored);
        Decoder decoder(d_->columns.size());
        if (r.exec()) {
            while (r.next()) {
                const qint64 id = r.value(0).toLongLong();
                decoder.Apply(r.value(3).toByteArray(), r.value(2).toInt() != 0);
                if (id >= base + first)
                    rows.push_back(decoder.Row(r.value(1).toLongLong()));
            }
        }
        r.finish();
    }
    for (qint64 i = std::max(first, stored_); i < end; ++i)
        rows.push_back(pending_[std::size_t(i - stored_)]);
    return rows;
}

qint64 History::IndexAt(const QDateTime& time) const {
    if (RowCount() == 0)
        return -1;
    const qint64 ms = time.toMSecsSinceEpoch();
    if (stored_ > 0) {
        QSqlQuery q = d_->Prepare(
            QStringLiteral("SELECT id FROM row INDEXED BY row_time WHERE ms >= ? AND id BETWEEN ? "
                           "AND ? ORDER BY ms, id LIMIT 1"));
        q.addBindValue(ms);
        q.addBindValue(SheetBase(sheet_));
        q.addBindValue(SheetBase(sheet_) + stored_ - 1);
        if (q.exec() && q.next())
            return q.value(0).toLongLong() & SeqMask;
    }
    for (std::size_t i = 0; i < pending_.size(); ++i)
        if (pending_[i].time.toMSecsSinceEpoch() >= ms)
            return stored_ + qint64(i);
    return RowCount() - 1;
}

History::IndexRange History::RangeOf(qint64 fromMs, qint64 toMs) const {
    qint64 first = -1;
    qint64 last = -1;
    if (stored_ > 0) {
        const qint64 base = SheetBase(sheet_);
        QSqlQuery q = d_->Prepare(
            QStringLiteral("SELECT min(id), max(id) FROM row INDEXED BY row_time WHERE ms BETWEEN "
                           "? AND ? AND id BETWEEN ? AND ?"));
        q.addBindValue(fromMs);
        q.addBindValue(toMs);
        q.addBindValue(base);
        q.addBindValue(base + stored_ - 1);
        if (q.exec() && q.next() && !q.value(0).isNull()) {
            first = q.value(0).toLongLong() & SeqMask;
            last = q.value(1).toLongLong() & SeqMask;
        }
    }
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        const qint64 ms = pending_[i].time.toMSecsSinceEpoch();
        if (ms < fromMs || ms > toMs)
            continue;
        if (first < 0)
            first = stored_ + qint64(i);
        last = stored_ + qint64(i);
    }
    return first < 0 ? IndexRange{} : IndexRange{first, last - first + 1};
}

QDateTime History::FirstTime() const {
    const std::vector<SheetRow> rows = Rows(0, 1);
    return rows.empty() ? QDateTime() : rows.front().time;
}

QDateTime History::LastTime() const {
    if (!pending_.empty())
        return pending_.back().time;
    if (stored_ == 0)
        return {};
    QSqlQuery q = d_->Prepare(QStringLiteral("SELECT ms FROM row WHERE id = ?"));
    q.addBindValue(SheetBase(sheet_) + stored_ - 1);
    return q.exec() && q.next() ? QDateTime::fromMSecsSinceEpoch(q.value(0).toLongLong())
                                : QDateTime();
}

namespace {
// Calls `each(ms, decoder)` for every row of the sheet whose time lies in [fromMs, toMs],
// rebuilding them from the full row before the first; `only` as in Decoder::Apply.
template <typename Each>
void ForRange(const QSqlDatabase& db, qint64 sheet, qint64 stored, std::size_t columns,
              qint64 fromMs, qint64 toMs, int only, Each each) {
    if (stored == 0)
        return;
    const qint64 base = SheetBase(sheet);
    const qint64 top = base + stored - 1;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT id FROM row INDEXED BY row_time WHERE ms >= ? AND id "
                             "BETWEEN ? AND ? ORDER BY ms, id LIMIT 1"));
    q.addBindValue(fromMs);
    q.addBindValue(base);
    q.addBindValue(top);
    if (!q.exec() || !q.next())
        return;
    const qint64 first = q.value(0).toLongLong();
    q.finish();
    q.prepare(QStringLiteral("SELECT id FROM row INDEXED BY row_time WHERE ms <= ? AND id "
                             "BETWEEN ? AND ? ORDER BY ms DESC, id DESC LIMIT 1"));
    q.addBindValue(toMs);
    q.addBindValue(base);
    q.addBindValue(top);
    if (!q.exec() || !q.next())
        return;
    const qint64 last = q.value(0).toLongLong();
    q.finish();
    if (last < first)
        return;
    q.prepare(QStringLiteral("SELECT max(id) FROM full_row WHERE id BETWEEN ? AND ?"));
    q.addBindValue(base);
    q.addBindValue(first);
    const qint64 from =
        q.exec() && q.next() && !q.value(0).isNull() ? q.value(0).toLongLong() : base;
    q.finish();
    q.prepare(
        QStringLiteral("SELECT id, ms, full, data FROM row WHERE id BETWEEN ? AND ? ORDER BY id"));
    q.addBindValue(from);
    q.addBindValue(last);
    Decoder decoder(columns);
    if (!q.exec())
        return;
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        decoder.Apply(q.value(3).toByteArray(), q.value(2).toInt() != 0, only);
        const qint64 ms = q.value(1).toLongLong();
        if (id >= first && ms >= fromMs && ms <= toMs)
            each(ms, decoder);
    }
}
} // namespace

std::vector<HistoryPoint> History::Series(int column, qint64 fromMs, qint64 toMs) const {
    std::vector<HistoryPoint> points;
    if (column < 0 || std::size_t(column) >= d_->columns.size())
        return points;
    const auto c = std::size_t(column);
    ForRange(d_->db, sheet_, stored_, d_->columns.size(), fromMs, toMs, column,
             [&](qint64 ms, const Decoder& decoder) {
                 points.push_back(
                     {ms, QString::fromUtf8(decoder.state.values[c]), decoder.state.quality[c]});
             });
    for (const SheetRow& row : pending_) {
        const qint64 ms = row.time.toMSecsSinceEpoch();
        if (ms >= fromMs && ms <= toMs)
            points.push_back({ms, row.values.value(column),
                              c < row.quality.size() ? row.quality[c] : Quality::Unknown});
    }
    return points;
}

namespace {
// A field as CSV writes it: quoted (with its quotes doubled) when it holds a comma, a quote or
// a line break.
QByteArray CsvField(const QByteArray& field) {
    bool quote = false;
    for (const char ch : field)
        if (ch == ',' || ch == '"' || ch == '\n' || ch == '\r') {
            quote = true;
            break;
        }
    if (!quote)
        return field;
    QByteArray out;
    out.reserve(field.size() + 8);
    out.append('"');
    for (const char ch : field) {
        if (ch == '"')
            out.append('"');
        out.append(ch);
    }
    out.append('"');
    return out;
}

// The date and time fields of a row. A day's date is made once.
class CsvClock {
public:
    QByteArray Fields(qint64 ms) {
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
        const QDate day = t.date();
        if (day != day_) {
            day_ = day;
            date_ = DateText(t).toLatin1();
        }
        return date_ + ',' + TimeText(t).toLatin1();
    }

private:
    QDate day_;
    QByteArray date_;
};
} // namespace

bool History::ExportCsv(qint64 fromMs, qint64 toMs, const QString& out, QString* error) const {
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("%1 cannot be written: %2").arg(out, file.errorString());
        return false;
    }
    QByteArray buffer;
    buffer.reserve(2 * 1024 * 1024);
    std::vector<QByteArray> header;
    header.push_back("Date");
    header.push_back("Time");
    for (const HistoryColumn& c : d_->columns) {
        QString name = c.name;
        name.replace(QLatin1Char('_'), QLatin1Char(' '));
        header.push_back(name.toUtf8());
    }
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (i > 0)
            buffer.append(',');
        buffer.append(CsvField(header[i]));
    }
    buffer.append("\r\n");
    bool ok = true;
    const auto flush = [&] {
        if (ok && file.write(buffer) != buffer.size())
            ok = false;
        buffer.clear();
    };
    // Each column's field with the comma before it, made again only when its value changes.
    std::vector<QByteArray> cells(d_->columns.size());
    const auto setCell = [&cells](std::size_t c, const QByteArray& value) {
        cells[c] = ',' + CsvField(value);
    };
    CsvClock clock;
    bool firstRow = true;
    const auto addRow = [&](qint64 ms) {
        buffer.append(clock.Fields(ms));
        for (const QByteArray& cell : cells)
            buffer.append(cell);
        buffer.append("\r\n");
        if (buffer.size() > 1024 * 1024)
            flush();
    };
    ForRange(d_->db, sheet_, stored_, d_->columns.size(), fromMs, toMs, -1,
             [&](qint64 ms, Decoder& decoder) {
                 if (firstRow || decoder.allChanged) {
                     for (std::size_t c = 0; c < cells.size(); ++c)
                         setCell(c, decoder.state.values[c]);
                 } else {
                     for (const std::size_t c : decoder.changed)
                         setCell(c, decoder.state.values[c]);
                 }
                 firstRow = false;
                 decoder.Taken();
                 addRow(ms);
             });
    for (const SheetRow& row : pending_) {
        const qint64 ms = row.time.toMSecsSinceEpoch();
        if (ms < fromMs || ms > toMs)
            continue;
        const RowState state = StateOf(row, cells.size());
        for (std::size_t c = 0; c < cells.size(); ++c)
            setCell(c, state.values[c]);
        addRow(ms);
    }
    flush();
    if (!ok || !file.commit()) {
        if (error)
            *error = QStringLiteral("%1 cannot be written: %2").arg(out, file.errorString());
        return false;
    }
    return true;
}

QString History::IntegrityCheck() const {
    QSqlQuery q(d_->db);
    if (!q.exec(QStringLiteral("PRAGMA integrity_check")))
        return q.lastError().text();
    QStringList lines;
    while (q.next())
        lines << q.value(0).toString();
    return lines.join(QLatin1Char('\n'));
}

void History::LimitPagesForTest(qint64 pages) {
    QSqlQuery q(d_->db);
    q.exec(QStringLiteral("PRAGMA max_page_count=%1").arg(pages > 0 ? pages : 1073741823));
}

QString HistoryPath(const QString& svtPath, const QString& explicitPath) {
    if (!explicitPath.isEmpty())
        return explicitPath;
    const QFileInfo svt(svtPath);
    const QString name = svt.completeBaseName() + QStringLiteral(".svh");
    const QFileInfo folder(svt.absolutePath());
    if (folder.isDir() && folder.isWritable())
        return svt.absoluteDir().filePath(name);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    const QByteArray hash =
        QCryptographicHash::hash(svt.absoluteFilePath().toUtf8(), QCryptographicHash::Sha1).toHex();
    QDir().mkpath(data);
    return QDir(data).filePath(svt.completeBaseName() + QLatin1Char('-') +
                               QString::fromLatin1(hash.left(12)) + QStringLiteral(".svh"));
}

} // namespace workstation
