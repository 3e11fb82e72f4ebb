#pragma once
// The live sources of the hub: one client per MQTT broker and per Modbus device of the tag
// file, all writing into one LiveValues that the plant reads its live tags from.

#include "LiveValues.h"
#include "TagFile.h"

#include <QObject>
#include <functional>
#include <memory>

namespace demohub {

class ModbusSource;
class MqttSource;

class Gateway : public QObject {
    Q_OBJECT
public:
    using Logger = std::function<void(const QString&)>;
    explicit Gateway(Logger log, QObject* parent = nullptr);
    ~Gateway() override;

    // Stops the sources of the last configuration and starts those of `config`; its live
    // tags start empty.
    void Apply(const HubConfig& config);
    const LiveValues& values() const { return values_; }
    const std::vector<ModbusSource*>& devices() const { return devices_; }
    const std::vector<MqttSource*>& brokers() const { return brokers_; }

private:
    void StopAll();

    Logger log_;
    LiveValues values_;
    std::vector<MqttSource*> brokers_;
    std::vector<ModbusSource*> devices_;
};

} // namespace demohub
