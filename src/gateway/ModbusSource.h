#pragma once
// Reads the tags of one Modbus TCP device: polls it on its own timer, asynchronously on the
// hub's event loop, so a slow or dead device never delays other devices or the answers.

#include "gateway/LiveValues.h"
#include "gateway/ModbusPlan.h"
#include "gateway/SourceStatus.h"

#include <QElapsedTimer>
#include <QObject>
#include <optional>

class QModbusReply;
class QModbusTcpClient;
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
    qsizetype RequestsPerPoll() const { return qsizetype(reads_.size()); }

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
    void Finished(QModbusReply* reply, size_t read);
    // Publishes the tags of read `index` that `received` registers or bits from its start
    // hold; the others fail with the quality `missing`.
    void Publish(size_t index, const QList<quint16>& words, int received, Quality missing);
    void Record(size_t index, ReadState state, const QString& why = {});
    // Every request of a poll was answered: the device is connected.
    void Answering();
    void GoneAway(const QString& why);
    // Every tag of the device fails as Offline.
    void ClearAll();

    ModbusDevice device_;
    std::vector<ModbusTag> tags_;
    std::vector<ModbusRead> reads_;
    std::vector<ReadState> readStates_;
    LiveValues& values_;
    SourceStatus status_;
    QModbusTcpClient* client_ = nullptr;
    QTimer* timer_ = nullptr;
    QElapsedTimer pollClock_;
    QElapsedTimer connectClock_;
    int reconnectDelayMs_ = 0;
    int outstanding_ = 0;
    bool pollFailed_ = false;
    std::optional<bool> online_; // unknown until the first connection succeeds or fails
};

} // namespace gateway
