#pragma once
// Building the sources: one client per MQTT broker and per Modbus device of the tag file, all
// writing into one LiveValues that the tag table reads its live tags from.

#include "gateway/LiveValues.h"
#include "gateway/TagFile.h"

#include <QObject>
#include <functional>
#include <memory>

namespace gateway {

class ModbusSource;
class MqttSource;

class LiveSources : public QObject {
    Q_OBJECT
public:
    explicit LiveSources(QObject* parent = nullptr);
    ~LiveSources() override;

    // Publishes a tag that a source made while running (an MQTT tree's topic) as the live
    // tag of `slot`; false when it cannot (its name is taken).
    using TagAdder = std::function<bool(const QByteArray& name, qsizetype slot)>;
    void SetTagAdder(TagAdder adder) { addTag_ = std::move(adder); }

    // Runs the sources of `config`. A broker or device whose line and tag lines are the same
    // as in the last configuration keeps running, with its connection and its tags' values
    // and qualities (moved to their new slots); the others stop, and the new ones start with
    // their tags Waiting.
    void Apply(const HubConfig& config);
    const LiveValues& Values() const { return values_; }
    const std::vector<ModbusSource*>& Devices() const { return devices_; }
    const std::vector<MqttSource*>& Brokers() const { return brokers_; }

private:
    // What a running source was started from: its text in the tag file (HubConfig) and the
    // slots of its tags and of its status tag.
    struct Origin {
        QByteArray text;
        std::vector<qsizetype> tagSlots;
        qsizetype statusSlot = -1;
    };
    void StopAll();
    // A new live tag named `name`, through the tag adder; its slot, or -1 when it was refused.
    qsizetype AddTag(const QByteArray& name, qint64 staleMs);

    LiveValues values_;
    TagAdder addTag_;
    std::vector<MqttSource*> brokers_;
    std::vector<ModbusSource*> devices_;
    std::vector<Origin> brokerOrigins_; // beside brokers_
    std::vector<Origin> deviceOrigins_; // beside devices_
};

} // namespace gateway
