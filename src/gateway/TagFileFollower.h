#pragma once
// Following the tag file: reads it safely (a regular file of bounded size, never blocking),
// refuses a faulty or empty version while keeping the last good one in service, and applies a
// changed file only once it has stayed unchanged for a moment, so a file still being written
// is never published half-way.

#include "gateway/TagFile.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QFileSystemWatcher;
class QTimer;

namespace gateway {

class TagFileFollower : public QObject {
    Q_OBJECT
public:
    // The largest tag file read: a million tags fit many times over.
    static constexpr qint64 MaxBytes = qint64(64) * 1024 * 1024;

    // Called with each good version of the file; `initial` for the one read by Load.
    using Apply = std::function<void(HubConfig config, bool initial)>;

    TagFileFollower(const QString& path, Apply apply, QObject* parent = nullptr);

    const QString& Path() const { return path_; }

    // Reads and applies the file once; false with `error` (one line per fault) when it cannot
    // be read, is faulty, or describes nothing.
    bool Load(QString* error);
    // Follows changes from now on: the file written in place or replaced, as editors do.
    void Follow();
    // Reads the file now, without waiting for it to settle (a reload the user asked for), and
    // says what it found even when that was said before.
    void ReloadNow();
    // How long a changed file must stay unchanged before it is read (default 1 s).
    void SetSettleMs(int ms);

private:
    // What tells one version of the file from the next without reading it.
    struct Signature {
        bool exists = false;
        qint64 size = -1;
        qint64 modifiedNs = 0;
        quint64 device = 0;
        quint64 inode = 0;
        bool operator==(const Signature&) const = default;
    };
    Signature Look() const;
    void Changed();
    void Settled();
    // Reads, checks and applies the file; returns the problem (empty when applied or unchanged).
    QString Read(bool initial, QStringList* faults);
    void Report(const QString& problem, const QStringList& faults);

    QString path_;
    Apply apply_;
    QByteArray text_;              // of the version in service
    Signature seen_;               // of the version last read (in service or refused)
    Signature pending_;            // of the change waiting to settle
    QString lastProblem_;          // said once until it changes
    qsizetype count_ = 0;          // tags of the version in service
    bool reportUnchanged_ = false; // the next read was asked for: say so even if unchanged
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr;
};

} // namespace gateway
