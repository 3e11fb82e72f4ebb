#include "gateway/ModbusSource.h"

#include "base/Log.h"
#include "gateway/LiveValues.h"

#include <QModbusDataUnit>
#include <QModbusPdu>
#include <QModbusReply>
#include <QModbusTcpClient>
#include <QTimer>
#include <QUrl>
#include <QVariant>

namespace gateway {

namespace {

QModbusDataUnit::RegisterType RegisterType(ModbusTable table) {
    switch (table) {
    case ModbusTable::Coil:
        return QModbusDataUnit::Coils;
    case ModbusTable::DiscreteInput:
        return QModbusDataUnit::DiscreteInputs;
    case ModbusTable::InputRegister:
        return QModbusDataUnit::InputRegisters;
    case ModbusTable::HoldingRegister:
        return QModbusDataUnit::HoldingRegisters;
    }
    return QModbusDataUnit::HoldingRegisters;
}

// The function code of a read of `table`.
QModbusPdu::FunctionCode RequestCode(ModbusTable table) {
    switch (table) {
    case ModbusTable::Coil:
        return QModbusPdu::ReadCoils;
    case ModbusTable::DiscreteInput:
        return QModbusPdu::ReadDiscreteInputs;
    case ModbusTable::InputRegister:
        return QModbusPdu::ReadInputRegisters;
    case ModbusTable::HoldingRegister:
        return QModbusPdu::ReadHoldingRegisters;
    }
    return QModbusPdu::ReadHoldingRegisters;
}

constexpr int MaxReconnectDelayMs = 10000;

} // namespace

ModbusSource::ModbusSource(ModbusDevice device, std::vector<ModbusTag> tags, LiveValues& values,
                           QObject* parent)
    : QObject(parent), device_(std::move(device)), tags_(std::move(tags)), values_(values),
      status_(values, device_.statusSlot) {
    reads_ = PlanModbusReads(tags_, device_.maxGap);
    readStates_.assign(reads_.size(), ReadState{});
    client_ = new QModbusTcpClient(this);
    client_->setConnectionParameter(QModbusDevice::NetworkAddressParameter, device_.host);
    client_->setConnectionParameter(QModbusDevice::NetworkPortParameter, int(device_.port));
    client_->setTimeout(device_.timeoutMs);
    client_->setNumberOfRetries(0);
    connect(client_, &QModbusDevice::stateChanged, this, [this](QModbusDevice::State state) {
        if (state == QModbusDevice::ConnectedState) {
            reconnectDelayMs_ = 0;
            Poll();
        } else if (state == QModbusDevice::UnconnectedState) {
            outstanding_ = 0;
            ClearAll();
            // The client reports why only after the change of state.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (client_->state() == QModbusDevice::UnconnectedState)
                        GoneAway(client_->error() == QModbusDevice::NoError
                                     ? QStringLiteral("connection closed")
                                     : client_->errorString());
                },
                Qt::QueuedConnection);
        }
    });
    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &ModbusSource::Poll);
}

ModbusSource::~ModbusSource() {
    // Replies still in flight belong to the client; it goes with this object.
    client_->disconnect(this);
    client_->disconnectDevice();
}

void ModbusSource::MoveSlots(const std::vector<qsizetype>& tagSlots, qsizetype statusSlot) {
    for (size_t i = 0; i < tags_.size() && i < tagSlots.size(); ++i)
        tags_[i].slot = tagSlots[i];
    status_.MoveTo(statusSlot);
}

void ModbusSource::Start() {
    status_.Connecting();
    timer_->start(device_.pollMs);
    Connect();
}

void ModbusSource::Connect() {
    connectClock_.start();
    client_->connectDevice();
}

void ModbusSource::Poll() {
    switch (client_->state()) {
    case QModbusDevice::UnconnectedState:
        // Back off while the device stays away: poll interval, doubling up to 10 s.
        if (!connectClock_.isValid() || connectClock_.elapsed() >= reconnectDelayMs_) {
            reconnectDelayMs_ =
                std::min(MaxReconnectDelayMs, std::max(device_.pollMs, reconnectDelayMs_ * 2));
            Connect();
        }
        return;
    case QModbusDevice::ConnectingState:
        if (connectClock_.elapsed() > device_.timeoutMs) {
            GoneAway(QStringLiteral("no connection within the time-out"));
            client_->disconnectDevice();
        }
        return;
    case QModbusDevice::ClosingState:
        return;
    case QModbusDevice::ConnectedState:
        break;
    }
    // A poll still waiting for answers is not stacked up on: the device answers at its pace.
    if (outstanding_ > 0)
        return;
    // A device kept only for its status tag is connected, with nothing to ask.
    if (reads_.empty()) {
        Answering();
        return;
    }
    pollClock_.start();
    pollFailed_ = false;
    for (size_t i = 0; i < reads_.size(); ++i) {
        const ModbusRead& read = reads_[i];
        QModbusReply* reply = client_->sendReadRequest(
            QModbusDataUnit(RegisterType(read.table), read.start, quint16(read.count)),
            device_.unit);
        if (!reply) {
            GoneAway(client_->errorString());
            return;
        }
        ++outstanding_;
        if (reply->isFinished())
            Finished(reply, i);
        else
            connect(reply, &QModbusReply::finished, this, [this, reply, i] { Finished(reply, i); });
    }
}

void ModbusSource::Finished(QModbusReply* reply, size_t index) {
    reply->deleteLater();
    if (outstanding_ == 0)
        return; // the connection went away meanwhile and everything was cleared
    --outstanding_;
    const ModbusRead& read = reads_[index];
    const QModbusResponse raw = reply->rawResult();
    // The byte count that starts a read answer, -1 when the answer has none. Only for an
    // answer that is no exception: the function code of an exception answer is beyond the
    // range of QModbusPdu::FunctionCode, so it is never asked for.
    const auto byteCount = [&raw, &read] {
        const QByteArray data = raw.data();
        return raw.functionCode() == RequestCode(read.table) && !data.isEmpty() &&
                       data.size() - 1 == quint8(data[0])
                   ? int(quint8(data[0]))
                   : -1;
    };
    switch (reply->error()) {
    case QModbusDevice::NoError: {
        const QList<quint16> words = reply->result().values();
        // The client pads missing bits with 0, so what came is told by the byte count.
        const int received = !IsBitTable(read.table)
                                 ? int(std::min<qsizetype>(words.size(), read.count))
                             : byteCount() < 0 ? read.count
                                               : std::min(read.count, byteCount() * 8);
        Publish(index, words, received, Quality::Invalid);
        Record(index,
               received < read.count ? ReadState{ReadState::Kind::Short, received} : ReadState{});
        break;
    }
    case QModbusDevice::ProtocolError:
        // The device answers, but refuses this request (an address it does not have).
        Publish(index, {}, 0, Quality::Refused);
        // The client reports an exception answer so; its one byte of data is the code.
        Record(index, {ReadState::Kind::Refused, raw.dataSize() >= 1 ? quint8(raw.data()[0]) : 0});
        break;
    case QModbusDevice::InvalidResponseError:
    case QModbusDevice::UnknownError:
        // An answer the client cannot use. An answer without a single register is one: the
        // client wants at least one, but it is a short answer like any other.
        Publish(index, {}, 0, Quality::Invalid);
        if (byteCount() == 0)
            Record(index, {ReadState::Kind::Short, 0});
        else
            Record(index, {ReadState::Kind::Malformed, 0}, reply->errorString());
        break;
    default:
        // No answer at all (time-out, connection lost): the device is away.
        pollFailed_ = true;
        GoneAway(reply->errorString());
        break;
    }
    if (outstanding_ == 0) {
        if (!pollFailed_)
            Answering();
        emit PollDone(pollClock_.nsecsElapsed());
    }
}

void ModbusSource::Answering() {
    status_.Connected();
    if (online_ == true)
        return;
    logging::Notice(
        QStringLiteral("device %1 (%2:%3) %4")
            .arg(device_.name, device_.host)
            .arg(device_.port)
            .arg(online_.has_value() ? QStringLiteral("is back") : QStringLiteral("connected")));
    online_ = true;
}

void ModbusSource::Publish(size_t index, const QList<quint16>& words, int received,
                           Quality missing) {
    const ModbusRead& read = reads_[index];
    for (size_t t : read.tags) {
        const ModbusTag& tag = tags_[t];
        const int at = tag.address - read.start;
        if (at + ModbusWidth(tag.type) > received)
            values_.Fail(tag.slot, missing);
        else
            values_.Set(tag.slot, ModbusValueText(tag, DecodeRegisters(words.constData() + at,
                                                                       tag.type, tag.order)));
    }
}

void ModbusSource::Record(size_t index, ReadState state, const QString& why) {
    if (readStates_[index] == state)
        return;
    readStates_[index] = state;
    const ModbusRead& read = reads_[index];
    const QString what = QStringLiteral("%1 %2 to %3")
                             .arg(ModbusTableText(read.table))
                             .arg(read.start)
                             .arg(read.start + read.count - 1);
    switch (state.kind) {
    case ReadState::Kind::Read:
        logging::Notice(QStringLiteral("device %1: %2 read again").arg(device_.name, what));
        break;
    case ReadState::Kind::Short: {
        const QString unit =
            IsBitTable(read.table) ? QStringLiteral("bits") : QStringLiteral("registers");
        const int last = read.start + state.detail - 1;
        logging::Warning(
            QStringLiteral("device %1: short answer for %2: %3 of %4 %5 came back%6")
                .arg(device_.name, what)
                .arg(state.detail)
                .arg(read.count)
                .arg(unit,
                     state.detail > 0
                         ? QStringLiteral(" (%1 to %2); tags reaching past %2 answer empty values")
                               .arg(read.start)
                               .arg(last)
                         : QStringLiteral("; its tags answer empty values")));
        break;
    }
    case ReadState::Kind::Refused: {
        QString text = QStringLiteral("device %1: cannot read %2: %3")
                           .arg(device_.name, what, ModbusExceptionText(state.detail));
        // A device that lacks some addresses refuses a request over them as a whole.
        if (UnusedAddresses(read, tags_) > 0)
            text += QStringLiteral("; the request spans addresses no tag uses, so the device "
                                   "may lack them: set gap=0 on device %1 to read only the "
                                   "tags' own addresses")
                        .arg(device_.name);
        logging::Warning(text);
        break;
    }
    case ReadState::Kind::Malformed:
        logging::Warning(QStringLiteral("device %1: cannot read %2: the answer is malformed (%3)")
                             .arg(device_.name, what, why));
        break;
    }
}

void ModbusSource::GoneAway(const QString& why) {
    ClearAll();
    status_.Unreachable();
    if (online_ == false)
        return;
    online_ = false;
    logging::Warning(QStringLiteral("device %1 (%2:%3) is unreachable: %4")
                         .arg(device_.name, device_.host)
                         .arg(device_.port)
                         .arg(why));
}

void ModbusSource::ClearAll() {
    for (const ModbusTag& tag : tags_)
        values_.Fail(tag.slot, Quality::Offline);
}

} // namespace gateway
