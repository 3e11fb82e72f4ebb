#include "gateway/ModbusSource.h"

#include "base/Log.h"
#include "gateway/LiveValues.h"

#include <QModbusDataUnit>
#include <QModbusPdu>
#include <QModbusReply>
#include <QModbusRtuSerialClient>
#include <QModbusTcpClient>
#include <QSerialPort>
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

QSerialPort::Parity SerialParity(char parity) {
    switch (parity) {
    case 'N':
        return QSerialPort::NoParity;
    case 'O':
        return QSerialPort::OddParity;
    default:
        return QSerialPort::EvenParity;
    }
}

// Exceptions that say the request's addresses are wrong, not that the device is in trouble.
bool RefusesAddresses(int code) {
    return code == 2 || code == 3;
}

} // namespace

ModbusSource::ModbusSource(ModbusDevice device, std::vector<ModbusTag> tags, LiveValues& values,
                           QObject* parent)
    : QObject(parent), device_(std::move(device)), tags_(std::move(tags)), values_(values),
      status_(values, device_.statusSlot) {
    for (ModbusTag& tag : tags_) {
        if (tag.unit < 0)
            tag.unit = device_.unit;
        online_[tag.unit];
    }
    reads_ = PlanModbusReads(tags_, device_.maxGap);
    readStates_.assign(reads_.size(), ReadState{});
    split_.assign(reads_.size(), false);
    const bool serial = !device_.serialPort.isEmpty();
    maxInFlight_ = device_.inFlight > 0 ? device_.inFlight : serial ? 1 : DefaultTcpInFlight;
    if (serial) {
        client_ = new QModbusRtuSerialClient(this);
        client_->setConnectionParameter(QModbusDevice::SerialPortNameParameter, device_.serialPort);
        client_->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, device_.baudRate);
        client_->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                        SerialParity(device_.parity));
        client_->setConnectionParameter(QModbusDevice::SerialDataBitsParameter,
                                        QSerialPort::DataBits(device_.dataBits));
        client_->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                        device_.stopBits == 2 ? QSerialPort::TwoStop
                                                              : QSerialPort::OneStop);
    } else {
        client_ = new QModbusTcpClient(this);
        client_->setConnectionParameter(QModbusDevice::NetworkAddressParameter, device_.host);
        client_->setConnectionParameter(QModbusDevice::NetworkPortParameter, int(device_.port));
    }
    client_->setTimeout(device_.timeoutMs);
    client_->setNumberOfRetries(0);
    connect(client_, &QModbusDevice::stateChanged, this, [this](QModbusDevice::State state) {
        if (state == QModbusDevice::ConnectedState) {
            reconnectDelayMs_ = 0;
            Poll();
        } else if (state == QModbusDevice::UnconnectedState) {
            // Answers still due on the closed connection never come.
            ++connection_;
            inFlight_ = 0;
            queue_.clear();
            for (const ModbusTag& tag : tags_)
                values_.Fail(tag.slot, Quality::Offline);
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
    pauseTimer_ = new QTimer(this);
    pauseTimer_->setSingleShot(true);
    pauseTimer_->setTimerType(Qt::PreciseTimer);
    connect(pauseTimer_, &QTimer::timeout, this, &ModbusSource::SendMore);
}

ModbusSource::~ModbusSource() {
    // Replies still in flight belong to the client; it goes with this object. Closing the
    // connection aborts them at once, which is no fault of the device: as after a reconnect,
    // a reply of an earlier connection is let go unread.
    ++connection_;
    client_->disconnect(this);
    client_->disconnectDevice();
}

void ModbusSource::MoveSlots(const std::vector<qsizetype>& tagSlots, qsizetype statusSlot) {
    for (size_t i = 0; i < tags_.size() && i < tagSlots.size(); ++i)
        tags_[i].slot = tagSlots[i];
    status_.MoveTo(statusSlot);
}

qsizetype ModbusSource::RequestsPerPoll() const {
    return std::count(split_.begin(), split_.end(), false);
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
    if (inFlight_ > 0 || !queue_.empty())
        return;
    // A device kept only for its status tag is connected, with nothing to ask.
    if (reads_.empty()) {
        Answered(device_.unit);
        return;
    }
    pollClock_.start();
    for (size_t i = 0; i < reads_.size(); ++i)
        if (!split_[i])
            queue_.push_back(i);
    SendMore();
}

void ModbusSource::SendMore() {
    while (!queue_.empty() && inFlight_ < maxInFlight_ &&
           client_->state() == QModbusDevice::ConnectedState) {
        if (device_.pauseMs > 0 && sentClock_.isValid()) {
            const qint64 wait = device_.pauseMs - sentClock_.elapsed();
            if (wait > 0) {
                if (!pauseTimer_->isActive())
                    pauseTimer_->start(int(wait));
                return;
            }
        }
        const size_t index = queue_.front();
        queue_.pop_front();
        const ModbusRead& read = reads_[index];
        QModbusReply* reply = client_->sendReadRequest(
            QModbusDataUnit(RegisterType(read.table), read.start, quint16(read.count)), read.unit);
        sentClock_.start();
        if (!reply) {
            GoneAway(client_->errorString());
            return;
        }
        ++inFlight_;
        const quint64 connection = connection_;
        const auto finished = [this, reply, index, connection] {
            Finished(reply, index, connection);
        };
        if (reply->isFinished())
            QMetaObject::invokeMethod(this, finished, Qt::QueuedConnection);
        else
            connect(reply, &QModbusReply::finished, this, finished);
    }
}

void ModbusSource::Finished(QModbusReply* reply, size_t index, quint64 connection) {
    reply->deleteLater();
    if (connection != connection_ || inFlight_ == 0)
        return; // the connection went away meanwhile and everything was cleared
    --inFlight_;
    const ModbusRead read = reads_[index];
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
        Answered(read.unit);
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
    case QModbusDevice::ProtocolError: {
        // The device answers, but refuses this request. The client reports an exception
        // answer so; its one byte of data is the code.
        Answered(read.unit);
        const int code = raw.dataSize() >= 1 ? quint8(raw.data()[0]) : 0;
        // Many devices refuse a whole request when one of its addresses does not exist.
        if (RefusesAddresses(code) && Split(index, code))
            break;
        Publish(index, {}, 0, Quality::Refused);
        Record(index, {ReadState::Kind::Refused, code});
        break;
    }
    case QModbusDevice::InvalidResponseError:
    case QModbusDevice::UnknownError:
        // An answer the client cannot use. An answer without a single register is one: the
        // client wants at least one, but it is a short answer like any other.
        Answered(read.unit);
        Publish(index, {}, 0, Quality::Invalid);
        if (byteCount() == 0)
            Record(index, {ReadState::Kind::Short, 0});
        else
            Record(index, {ReadState::Kind::Malformed, 0}, reply->errorString());
        break;
    default:
        // No answer at all (time-out, connection lost): the unit is away.
        UnitAway(read.unit, reply->errorString());
        break;
    }
    SendMore();
    if (inFlight_ == 0 && queue_.empty())
        emit PollDone(pollClock_.nsecsElapsed());
}

bool ModbusSource::Split(size_t index, int code) {
    const ModbusRead read = reads_[index];
    std::vector<ModbusTag> own;
    for (size_t t : read.tags)
        own.push_back(tags_[t]);
    // Tags that overlap still share a request: the device lacks their addresses together.
    std::vector<ModbusRead> parts = PlanModbusReads(own, -1);
    if (parts.size() == 1 && parts[0].start == read.start && parts[0].count == read.count)
        return false; // nothing narrower to ask for
    logging::Notice(QStringLiteral("device %1: %2 refused as one request (%3); reading its %4 "
                                   "tags in %5 requests from now on")
                        .arg(device_.name, What(read), ModbusExceptionText(code))
                        .arg(read.tags.size())
                        .arg(parts.size()));
    split_[index] = true;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        for (size_t& t : part->tags)
            t = read.tags[t];
        queue_.push_front(reads_.size());
        reads_.push_back(std::move(*part));
        readStates_.push_back(ReadState{});
        split_.push_back(false);
    }
    return true;
}

void ModbusSource::Publish(size_t index, const QList<quint16>& words, int received,
                           Quality missing) {
    const ModbusRead& read = reads_[index];
    for (size_t t : read.tags) {
        const ModbusTag& tag = tags_[t];
        const int at = tag.address - read.start;
        if (at + ModbusWidth(tag) > received) {
            values_.Fail(tag.slot, missing);
            continue;
        }
        // A BCD digit above 9, a float that is not finite: the registers hold no value.
        if (std::optional<QByteArray> text = ModbusTagText(tag, words.constData() + at))
            values_.Set(tag.slot, std::move(*text));
        else
            values_.Fail(tag.slot, Quality::Invalid);
    }
}

QString ModbusSource::Who(std::optional<int> unit) const {
    const QString where = device_.serialPort.isEmpty()
                              ? QStringLiteral("%1:%2").arg(device_.host).arg(device_.port)
                              : device_.serialPort;
    QString who = QStringLiteral("device %1 (%2)").arg(device_.name, where);
    if (unit && online_.size() > 1)
        who += QStringLiteral(" unit %1").arg(*unit);
    return who;
}

QString ModbusSource::What(const ModbusRead& read) const {
    QString what = QStringLiteral("%1 %2 to %3")
                       .arg(ModbusTableText(read.table))
                       .arg(read.start)
                       .arg(read.start + read.count - 1);
    if (online_.size() > 1)
        what += QStringLiteral(" of unit %1").arg(read.unit);
    return what;
}

void ModbusSource::Record(size_t index, ReadState state, const QString& why) {
    if (readStates_[index] == state)
        return;
    readStates_[index] = state;
    const ModbusRead& read = reads_[index];
    const QString what = What(read);
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
    case ReadState::Kind::Refused:
        logging::Warning(QStringLiteral("device %1: cannot read %2: %3")
                             .arg(device_.name, what, ModbusExceptionText(state.detail)));
        break;
    case ReadState::Kind::Malformed:
        logging::Warning(QStringLiteral("device %1: cannot read %2: the answer is malformed (%3)")
                             .arg(device_.name, what, why));
        break;
    }
}

void ModbusSource::Answered(int unit) {
    status_.Connected();
    std::optional<bool>& online = online_[unit];
    if (online == true)
        return;
    logging::Notice(QStringLiteral("%1 %2").arg(
        Who(unit), online.has_value() ? QStringLiteral("is back") : QStringLiteral("connected")));
    online = true;
}

void ModbusSource::UnitAway(int unit, const QString& why) {
    for (const ModbusTag& tag : tags_)
        if (tag.unit == unit)
            values_.Fail(tag.slot, Quality::Offline);
    // Its other requests would only wait out the time-out as well.
    std::erase_if(queue_, [this, unit](size_t read) { return reads_[read].unit == unit; });
    std::optional<bool>& online = online_[unit];
    if (online == false)
        return;
    online = false;
    logging::Warning(QStringLiteral("%1 is unreachable: %2").arg(Who(unit), why));
}

void ModbusSource::GoneAway(const QString& why) {
    status_.Unreachable();
    queue_.clear();
    for (const ModbusTag& tag : tags_)
        values_.Fail(tag.slot, Quality::Offline);
    bool changed = false;
    for (auto& [unit, online] : online_) {
        changed = changed || online != false;
        online = false;
    }
    if (changed)
        logging::Warning(QStringLiteral("%1 is unreachable: %2").arg(Who(), why));
}

} // namespace gateway
