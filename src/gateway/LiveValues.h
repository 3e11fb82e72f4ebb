#pragma once
// The last values received from brokers and devices, one slot per live tag, with the time
// each arrived and how good it is. Owned and written on the hub's event loop only.

#include <QByteArray>
#include <QElapsedTimer>
#include <QLatin1StringView>
#include <vector>

namespace gateway {

// How good a tag's value is, as the hub tells clients that ask for it. Every value that is
// not Good is published empty.
enum class Quality : quint8 {
    Good,    // received and within its stale time
    Stale,   // received, but older than its stale time
    Offline, // the broker or device is not reachable
    Refused, // the device answered with an exception reply
    Invalid, // what arrived is unusable: payload, JSON field, too long, not a number, ...
    Waiting, // nothing yet since the hub (or its source) started
};

// The word for `quality` on the wire: good, stale, offline, refused, invalid, waiting.
QLatin1StringView QualityWord(Quality quality);
// The length of the longest of those words.
constexpr qsizetype MaxQualityWordBytes = 7;

class LiveValues {
public:
    LiveValues() { clock_.start(); }

    // Drops every value and makes room for `count` slots, all Waiting; `staleMs[i]` > 0
    // makes slot i answer empty (Stale) when its value is older than that.
    void Reset(std::vector<qint64> staleMs);
    // Makes room for `staleMs.size()` slots like Reset, but slot i takes over the value, time
    // and quality of the old slot `from[i]`; -1 (or none given) starts it Waiting.
    void Remap(const std::vector<qsizetype>& from, std::vector<qint64> staleMs);
    qsizetype Count() const { return qsizetype(values_.size()); }
    // Adds a slot at the end, Waiting, for a tag made while running; returns it.
    qsizetype Add(qint64 staleMs);

    // A good value arrived for `slot`.
    void Set(qsizetype slot, QByteArray value);
    // `slot` has no usable value, for the reason `why` (not Good or Stale).
    void Fail(qsizetype slot, Quality why);

    // The value to publish now: empty unless Good.
    const QByteArray& Current(qsizetype slot) const;
    // The quality of that value now (Stale once a good value has grown too old).
    Quality QualityOf(qsizetype slot) const;
    // The sum of the sizes of all values, an upper bound of what Current() adds to an answer.
    qsizetype TotalBytes() const { return totalBytes_; }

private:
    void Store(qsizetype slot, QByteArray value, Quality quality);

    QElapsedTimer clock_;
    std::vector<QByteArray> values_;
    std::vector<qint64> receivedMs_;
    std::vector<qint64> staleMs_;
    std::vector<Quality> quality_;
    qsizetype totalBytes_ = 0;
};

} // namespace gateway
