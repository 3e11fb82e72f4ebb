#include "gateway/LiveSources.h"

#include "base/Log.h"
#include "gateway/ModbusSource.h"
#include "gateway/MqttSource.h"

namespace gateway {

namespace {

// The sources of one kind in a configuration: per source, its tags and where they came from.
template <class Tag> struct Planned {
    std::vector<Tag> tags;
    std::vector<QByteArray> names;
    std::vector<qsizetype> tagSlots;
};

// Sources of one kind, old and new: which old source each new one keeps (or -1), matched by
// their text, each old one kept at most once.
std::vector<int> Match(const std::vector<QByteArray>& newTexts,
                       const std::vector<QByteArray>& oldTexts) {
    std::vector<int> kept(newTexts.size(), -1);
    std::vector<char> taken(oldTexts.size(), 0);
    for (size_t n = 0; n < newTexts.size(); ++n)
        for (size_t o = 0; o < oldTexts.size(); ++o)
            if (!taken[o] && oldTexts[o] == newTexts[n]) {
                taken[o] = 1;
                kept[n] = int(o);
                break;
            }
    return kept;
}

} // namespace

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
    brokerOrigins_.clear();
    deviceOrigins_.clear();
}

qsizetype LiveSources::AddTag(const QByteArray& name, qint64 staleMs) {
    const qsizetype slot = values_.Count();
    if (!addTag_ || !addTag_(name, slot))
        return -1;
    return values_.Add(staleMs);
}

void LiveSources::Apply(const HubConfig& config) {
    // The name of the tag of each slot, for the sources' log lines.
    std::vector<QByteArray> slotNames(config.staleMs.size());
    for (const TagDef& tag : config.tags)
        if (tag.kind == TagDef::Kind::Live && tag.slot >= 0 && size_t(tag.slot) < slotNames.size())
            slotNames[size_t(tag.slot)] = tag.name;
    const auto nameOf = [&slotNames](qsizetype slot) {
        return slot >= 0 && size_t(slot) < slotNames.size() ? slotNames[size_t(slot)]
                                                            : QByteArray();
    };
    // A source runs when it has tags to read or a status tag to keep.
    std::vector<Planned<MqttTag>> brokers(config.brokers.size());
    for (const MqttTag& tag : config.mqttTags)
        if (tag.broker >= 0 && size_t(tag.broker) < brokers.size()) {
            Planned<MqttTag>& plan = brokers[size_t(tag.broker)];
            plan.tags.push_back(tag);
            plan.names.push_back(nameOf(tag.slot));
            plan.tagSlots.push_back(tag.slot);
        }
    std::vector<std::vector<MqttTree>> trees(config.brokers.size());
    for (const MqttTree& tree : config.mqttTrees)
        if (tree.broker >= 0 && size_t(tree.broker) < trees.size())
            trees[size_t(tree.broker)].push_back(tree);
    std::vector<Planned<ModbusTag>> devices(config.devices.size());
    for (const ModbusTag& tag : config.modbusTags)
        if (tag.device >= 0 && size_t(tag.device) < devices.size()) {
            Planned<ModbusTag>& plan = devices[size_t(tag.device)];
            plan.tags.push_back(tag);
            plan.tagSlots.push_back(tag.slot);
        }
    const auto textOf = [](const std::vector<QByteArray>& texts, size_t i) {
        return i < texts.size() ? texts[i] : QByteArray();
    };
    std::vector<QByteArray> newBrokerTexts;
    std::vector<size_t> newBrokers; // config.brokers indices of the brokers that run
    for (size_t b = 0; b < config.brokers.size(); ++b)
        if (!brokers[b].tags.empty() || !trees[b].empty() || config.brokers[b].statusSlot >= 0) {
            newBrokers.push_back(b);
            newBrokerTexts.push_back(textOf(config.brokerText, b));
        }
    std::vector<QByteArray> newDeviceTexts;
    std::vector<size_t> newDevices;
    for (size_t d = 0; d < config.devices.size(); ++d)
        if (!devices[d].tags.empty() || config.devices[d].statusSlot >= 0) {
            newDevices.push_back(d);
            newDeviceTexts.push_back(textOf(config.deviceText, d));
        }
    std::vector<QByteArray> oldBrokerTexts;
    for (const Origin& origin : brokerOrigins_)
        oldBrokerTexts.push_back(origin.text);
    std::vector<QByteArray> oldDeviceTexts;
    for (const Origin& origin : deviceOrigins_)
        oldDeviceTexts.push_back(origin.text);
    // A source without text (a configuration built in code) is never kept, nor a broker with
    // trees: the tags its trees made are gone from the new table, and it makes them again.
    std::vector<int> keptBrokers = Match(newBrokerTexts, oldBrokerTexts);
    std::vector<int> keptDevices = Match(newDeviceTexts, oldDeviceTexts);
    for (size_t i = 0; i < newBrokerTexts.size(); ++i)
        if (newBrokerTexts[i].isEmpty() || !trees[newBrokers[i]].empty())
            keptBrokers[i] = -1;
    for (size_t i = 0; i < newDeviceTexts.size(); ++i)
        if (newDeviceTexts[i].isEmpty())
            keptDevices[i] = -1;

    // Each new slot of a kept source takes over the value of its old slot.
    std::vector<qsizetype> from(config.staleMs.size(), -1);
    const auto carry = [&from](const Origin& old, const std::vector<qsizetype>& tagSlots,
                               qsizetype statusSlot) {
        for (size_t i = 0; i < tagSlots.size() && i < old.tagSlots.size(); ++i)
            if (tagSlots[i] >= 0 && size_t(tagSlots[i]) < from.size())
                from[size_t(tagSlots[i])] = old.tagSlots[i];
        if (statusSlot >= 0 && size_t(statusSlot) < from.size())
            from[size_t(statusSlot)] = old.statusSlot;
    };

    // The sources that are not kept stop first: nothing writes into the old slots meanwhile.
    std::vector<MqttSource*> oldBrokers;
    std::vector<Origin> oldBrokerOrigins;
    oldBrokers.swap(brokers_);
    oldBrokerOrigins.swap(brokerOrigins_);
    std::vector<ModbusSource*> oldDevices;
    std::vector<Origin> oldDeviceOrigins;
    oldDevices.swap(devices_);
    oldDeviceOrigins.swap(deviceOrigins_);
    std::vector<char> brokerKept(oldBrokers.size(), 0);
    for (int o : keptBrokers)
        if (o >= 0)
            brokerKept[size_t(o)] = 1;
    std::vector<char> deviceKept(oldDevices.size(), 0);
    for (int o : keptDevices)
        if (o >= 0)
            deviceKept[size_t(o)] = 1;
    for (size_t o = 0; o < oldBrokers.size(); ++o)
        if (!brokerKept[o])
            delete oldBrokers[o];
    for (size_t o = 0; o < oldDevices.size(); ++o)
        if (!deviceKept[o])
            delete oldDevices[o];

    for (size_t i = 0; i < newBrokers.size(); ++i)
        if (keptBrokers[i] >= 0)
            carry(oldBrokerOrigins[size_t(keptBrokers[i])], brokers[newBrokers[i]].tagSlots,
                  config.brokers[newBrokers[i]].statusSlot);
    for (size_t i = 0; i < newDevices.size(); ++i)
        if (keptDevices[i] >= 0)
            carry(oldDeviceOrigins[size_t(keptDevices[i])], devices[newDevices[i]].tagSlots,
                  config.devices[newDevices[i]].statusSlot);
    values_.Remap(from, config.staleMs);

    int restarted = 0;
    int kept = 0;
    for (size_t i = 0; i < newBrokers.size(); ++i) {
        const MqttBroker& broker = config.brokers[newBrokers[i]];
        Planned<MqttTag>& plan = brokers[newBrokers[i]];
        Origin origin{newBrokerTexts[i], plan.tagSlots, broker.statusSlot};
        if (keptBrokers[i] >= 0) {
            MqttSource* source = oldBrokers[size_t(keptBrokers[i])];
            source->MoveSlots(plan.tagSlots, broker.statusSlot);
            brokers_.push_back(source);
            ++kept;
        } else {
            brokers_.push_back(new MqttSource(
                broker, std::move(plan.tags), std::move(plan.names),
                std::move(trees[newBrokers[i]]),
                [this](const QByteArray& name, qint64 staleMs) { return AddTag(name, staleMs); },
                values_, this));
            brokers_.back()->Start();
            ++restarted;
        }
        brokerOrigins_.push_back(std::move(origin));
    }
    for (size_t i = 0; i < newDevices.size(); ++i) {
        const ModbusDevice& device = config.devices[newDevices[i]];
        Planned<ModbusTag>& plan = devices[newDevices[i]];
        Origin origin{newDeviceTexts[i], plan.tagSlots, device.statusSlot};
        if (keptDevices[i] >= 0) {
            ModbusSource* source = oldDevices[size_t(keptDevices[i])];
            source->MoveSlots(plan.tagSlots, device.statusSlot);
            devices_.push_back(source);
            ++kept;
        } else {
            devices_.push_back(new ModbusSource(device, std::move(plan.tags), values_, this));
            devices_.back()->Start();
            ++restarted;
        }
        deviceOrigins_.push_back(std::move(origin));
    }
    if (kept > 0)
        logging::Notice(QStringLiteral("%1 of %2 brokers and devices unchanged and kept running; "
                                       "%3 (re)started")
                            .arg(kept)
                            .arg(kept + restarted)
                            .arg(restarted));
}

} // namespace gateway
