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

qsizetype LiveSources::AddTag(const QByteArray& name, qint64 staleMs) {
    const qsizetype slot = values_.Count();
    if (!addTag_ || !addTag_(name, slot))
        return -1;
    return values_.Add(staleMs);
}

void LiveSources::Apply(const HubConfig& config) {
    StopAll();
    values_.Reset(config.staleMs);
    // The name of the tag of each slot, for the sources' log lines.
    std::vector<QByteArray> slotNames(config.staleMs.size());
    for (const TagDef& tag : config.tags)
        if (tag.kind == TagDef::Kind::Live && tag.slot >= 0 && size_t(tag.slot) < slotNames.size())
            slotNames[size_t(tag.slot)] = tag.name;
    for (size_t b = 0; b < config.brokers.size(); ++b) {
        std::vector<MqttTag> tags;
        std::vector<QByteArray> names;
        for (const MqttTag& tag : config.mqttTags)
            if (tag.broker == int(b)) {
                tags.push_back(tag);
                names.push_back(tag.slot >= 0 && size_t(tag.slot) < slotNames.size()
                                    ? slotNames[size_t(tag.slot)]
                                    : QByteArray());
            }
        std::vector<MqttTree> trees;
        for (const MqttTree& tree : config.mqttTrees)
            if (tree.broker == int(b))
                trees.push_back(tree);
        if (tags.empty() && trees.empty())
            continue;
        brokers_.push_back(new MqttSource(
            config.brokers[b], std::move(tags), std::move(names), std::move(trees),
            [this](const QByteArray& name, qint64 staleMs) { return AddTag(name, staleMs); },
            values_, this));
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
