#pragma once
// Reads the tags of one Modbus connection: a TCP connection to a device or gateway, or a
// serial line (Modbus RTU), with the tags of one or more unit ids behind it. It polls on its
// own timer, asynchronously on the hub's event loop, so a slow or dead device never delays
// other devices or the answers, and keeps at most `inflight` requests on their way at once,
// `pause` apart, so a poll never floods a small device or gateway.

#include "gateway/LiveValues.h"
#include "gateway/ModbusPlan.h"
#include "gateway/SourceStatus.h"

#include <QElapsedTimer>
#include <QObject>
#include <deque>
#include <map>
#include <optional>

class QModbusClient;
class QModbusReply;
class QTimer;

namespace gateway {

class ModbusSource : public QObject {
    Q_OBJECT
public:
    ModbusSource(ModbusDevice device, std::vector<ModbusTag> tags, LiveValues& values,
                 QObject* parent = nullptr);
    ~ModbusSource() override;

    void Start();
    // The slots of the tags (in the order given) and of the status tag moved: a reload kept
    // this source, and LiveValues moved their values.
    void MoveSlots(const std::vector<qsizetype>& tagSlots, qsizetype statusSlot);
    qsizetype RequestsPerPoll() const;

signals:
    // Every request of one poll has been answered (successfully or not).
    void PollDone(qint64 nanoseconds);

private:
    // How the device last answered one read request. A change is logged once.
    struct ReadState {
        enum class Kind { Read, Short, Refused, Malformed };
        Kind kind = Kind::Read;
        int detail = 0; // Short: the registers or bits received; Refused: the exception code
        bool operator==(const ReadState&) const = default;
    };

    void Poll();
    void Connect();
    // Sends the poll's queued requests as far as `inflight` and `pause` allow.
    void SendMore();
    void Finished(QModbusReply* reply, size_t read, quint64 connection);
    // Read `index` was refused as a whole: from now on each of its tags is read on its own, so
    // one address the device lacks empties only the tags on it. The new reads are queued
    // first in this poll. False when no narrower request can be made.
    bool Split(size_t index, int code);
    // Publishes the tags of read `index` that `received` registers or bits from its start
    // hold; the others fail with the quality `missing`.
    void Publish(size_t index, const QList<quint16>& words, int received, Quality missing);
    void Record(size_t index, ReadState state, const QString& why = {});
    // `unit` answered (anything); logs when it was away or had not answered yet.
    void Answered(int unit);
    // `unit` did not answer within the time-out: its tags fail as Offline and its other
    // requests of this poll are dropped.
    void UnitAway(int unit, const QString& why);
    // The connection failed or closed: every tag fails as Offline.
    void GoneAway(const QString& why);
    // "device plc (10.0.0.5:502)", with " unit 3" when the tags read several units.
    QString Who(std::optional<int> unit = std::nullopt) const;
    QString What(const ModbusRead& read) const;

    ModbusDevice device_;
    std::vector<ModbusTag> tags_;
    std::vector<ModbusRead> reads_;
    std::vector<ReadState> readStates_;
    std::vector<bool> split_;  // reads replaced by one read per tag
    std::deque<size_t> queue_; // reads of the running poll not sent yet
    // Per unit id: whether it answers; unknown until it first answers or fails.
    std::map<int, std::optional<bool>> online_;
    LiveValues& values_;
    SourceStatus status_;
    QModbusClient* client_ = nullptr;
    QTimer* timer_ = nullptr;
    QTimer* pauseTimer_ = nullptr;
    QElapsedTimer pollClock_;
    QElapsedTimer connectClock_;
    QElapsedTimer sentClock_;
    int reconnectDelayMs_ = 0;
    int inFlight_ = 0;
    int maxInFlight_ = 1;
    quint64 connection_ = 0; // counts connections: answers from a closed one are ignored
};

} // namespace gateway
