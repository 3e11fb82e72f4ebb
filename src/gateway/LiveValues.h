#pragma once
// The last values received from brokers and devices, one slot per live tag, with the time
// each arrived. Owned and written on the hub's event loop only.

#include <QByteArray>
#include <QElapsedTimer>
#include <vector>

namespace gateway {

class LiveValues {
public:
    LiveValues() { clock_.start(); }

    // Drops every value and makes room for `count` slots; `staleMs[i]` > 0 makes slot i
    // answer empty when its value is older than that.
    void Reset(std::vector<qint64> staleMs);
    qsizetype Count() const { return qsizetype(values_.size()); }

    void Set(qsizetype slot, QByteArray value);
    void Clear(qsizetype slot) { Set(slot, QByteArray()); }

    // The value to publish now: empty when never received, cleared or stale.
    const QByteArray& Current(qsizetype slot) const;
    // The sum of the sizes of all values, an upper bound of what Current() adds to an answer.
    qsizetype TotalBytes() const { return totalBytes_; }

private:
    QElapsedTimer clock_;
    std::vector<QByteArray> values_;
    std::vector<qint64> receivedMs_;
    std::vector<qint64> staleMs_;
    qsizetype totalBytes_ = 0;
};

} // namespace gateway
