#include "gateway/LiveSources.h"

#include "gateway/ModbusSource.h"
#include "gateway/MqttSource.h"

namespace gateway {

LiveSources::LiveSources(QObject* parent) : QObject(parent) {}

LiveSources::~LiveSources() {
    StopAll();
}

void LiveSources::StopAll() {
    for (MqttSource* broker : brokers_)
        delete broker;
    for (ModbusSource* device : devices_)
        delete device;
    brokers_.clear();
    devices_.clear();
}

void LiveSources::Apply(const HubConfig& config) {
    StopAll();
    values_.Reset(config.staleMs);
    for (size_t b = 0; b < config.brokers.size(); ++b) {
        std::vector<MqttTag> tags;
        for (const MqttTag& tag : config.mqttTags)
            if (tag.broker == int(b))
                tags.push_back(tag);
        if (tags.empty())
            continue;
        brokers_.push_back(new MqttSource(config.brokers[b], std::move(tags), values_, this));
        brokers_.back()->Start();
    }
    for (size_t d = 0; d < config.devices.size(); ++d) {
        std::vector<ModbusTag> tags;
        for (const ModbusTag& tag : config.modbusTags)
            if (tag.device == int(d))
                tags.push_back(tag);
        if (tags.empty())
            continue;
        devices_.push_back(new ModbusSource(config.devices[d], std::move(tags), values_, this));
        devices_.back()->Start();
    }
}

} // namespace gateway
