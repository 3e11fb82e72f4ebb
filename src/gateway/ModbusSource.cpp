#include "gateway/ModbusSource.h"

#include "base/Log.h"
#include "gateway/LiveValues.h"

#include <QModbusDataUnit>
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

constexpr int MaxReconnectDelayMs = 10000;

} // namespace

ModbusSource::ModbusSource(ModbusDevice device, std::vector<ModbusTag> tags, LiveValues& values,
                           QObject* parent)
    : QObject(parent), device_(std::move(device)), tags_(std::move(tags)), values_(values) {
    reads_ = PlanModbusReads(tags_, device_.maxGap);
    readFailed_.assign(reads_.size(), false);
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

void ModbusSource::Start() {
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
    const auto error = reply->error();
    if (error == QModbusDevice::NoError) {
        const QModbusDataUnit unit = reply->result();
        const QList<quint16> words = unit.values();
        for (size_t t : read.tags) {
            const ModbusTag& tag = tags_[t];
            const qsizetype at = tag.address - read.start;
            if (at + ModbusWidth(tag.type) > words.size()) {
                values_.Clear(tag.slot);
                continue;
            }
            values_.Set(tag.slot, ModbusValueText(tag, DecodeRegisters(words.constData() + at,
                                                                       tag.type, tag.order)));
        }
        if (readFailed_[index]) {
            readFailed_[index] = false;
            logging::Notice(QStringLiteral("device %1: addresses %2 to %3 read again")
                                .arg(device_.name)
                                .arg(read.start)
                                .arg(read.start + read.count - 1));
        }
    } else {
        pollFailed_ = true;
        for (size_t t : read.tags)
            values_.Clear(tags_[t].slot);
        if (error == QModbusDevice::ProtocolError) {
            // The device answers, but refuses this request (an address it does not have).
            if (!readFailed_[index])
                logging::Warning(QStringLiteral("device %1: cannot read addresses %2 to %3: %4")
                                     .arg(device_.name)
                                     .arg(read.start)
                                     .arg(read.start + read.count - 1)
                                     .arg(reply->errorString()));
            readFailed_[index] = true;
        } else {
            GoneAway(reply->errorString());
        }
    }
    if (outstanding_ == 0) {
        if (!pollFailed_ && online_ != true) {
            logging::Notice(QStringLiteral("device %1 (%2:%3) %4")
                                .arg(device_.name, device_.host)
                                .arg(device_.port)
                                .arg(online_.has_value() ? QStringLiteral("is back")
                                                         : QStringLiteral("connected")));
            online_ = true;
        }
        emit PollDone(pollClock_.nsecsElapsed());
    }
}

void ModbusSource::GoneAway(const QString& why) {
    ClearAll();
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
        values_.Clear(tag.slot);
}

} // namespace gateway
