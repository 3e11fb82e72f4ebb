// Fuzzes the hub's tag file reader (ParseHubConfig) and the answers built from what it
// accepts (TagTable).
//
// Input: any bytes, read as a tag file. Checks:
// - every message is one clean line naming its line;
// - every tag, broker and device name the reader keeps is clean UTF-8 text without ",";
//   text and state values are clean and at most MaxValueBytes; topics are UTF-8 without NUL
//   or wildcards, at most 65,535 bytes; decimals are 0 to 9; simulated numbers stay within
//   the ranges that keep every published digit; live tags point at a slot and a source;
// - when the file has no faults: names are unique, and a tag table built from it answers
//   GETTAGS with exactly the names and GETVALUES with one clean entry per tag, in order, at
//   the start, after a few seconds and after thirty years, every simulated number being
//   written in full with exactly its decimals.

#include "FuzzSupport.h"
#include "gateway/NumberText.h"
#include "gateway/TagFile.h"
#include "gateway/TagTable.h"
#include "gateway/WireText.h"

#include <QSet>

#include <algorithm>

#include <cmath>

namespace {

using gateway::TagDef;

bool IsName(const QByteArray& name) {
    return gateway::IsCleanText(name) && !name.contains(',');
}

bool IsValue(const QByteArray& value) {
    return gateway::IsCleanText(value) && value.size() <= gateway::MaxValueBytes;
}

// "-?digits" with exactly `decimals` digits after a point when decimals > 0.
bool IsFixedPoint(const QByteArray& text, int decimals) {
    qsizetype i = text.startsWith('-') ? 1 : 0;
    const qsizetype digitsFrom = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    if (i == digitsFrom)
        return false;
    if (decimals == 0)
        return i == text.size();
    if (i >= text.size() || text[i] != '.')
        return false;
    const qsizetype fraction = text.size() - i - 1;
    if (fraction != decimals)
        return false;
    for (++i; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

void CheckSimulated(const TagDef& tag) {
    FUZZ_CHECK(tag.decimals >= 0 && tag.decimals <= 9);
    FUZZ_CHECK(tag.period >= 0.01 && tag.period <= 1e9);
    FUZZ_CHECK(tag.noise >= 0 && tag.noise <= 1);
    FUZZ_CHECK(tag.empty >= 0 && tag.empty <= 1);
    FUZZ_CHECK(std::fabs(tag.rate) <= 1e6);
    FUZZ_CHECK(std::fabs(tag.base) + std::fabs(tag.amplitude) * (1 + tag.noise) <= 1e15);
    switch (tag.kind) {
    case TagDef::Kind::State:
        FUZZ_CHECK(!tag.states.isEmpty());
        for (const QByteArray& state : tag.states)
            FUZZ_CHECK(IsValue(state));
        break;
    case TagDef::Kind::Text:
        FUZZ_CHECK(tag.states.size() == 1);
        FUZZ_CHECK(IsValue(tag.states.front()));
        break;
    default:
        break;
    }
}

void CheckValue(const TagDef& tag, const QByteArray& value) {
    FUZZ_CHECK(IsValue(value));
    switch (tag.kind) {
    case TagDef::Kind::Number:
    case TagDef::Kind::Counter:
        if (value.isEmpty()) {
            FUZZ_CHECK(tag.empty > 0);
            return;
        }
        FUZZ_CHECK(value.size() <= gateway::MaxNumberBytes);
        FUZZ_CHECK(IsFixedPoint(value, tag.kind == TagDef::Kind::Counter ? 0 : tag.decimals));
        return;
    case TagDef::Kind::State:
        FUZZ_CHECK(value.isEmpty() || tag.states.contains(value));
        return;
    case TagDef::Kind::Text:
        FUZZ_CHECK(value.isEmpty() || value == tag.states.front());
        return;
    case TagDef::Kind::Live:
        FUZZ_CHECK(value.isEmpty()); // nothing has arrived
        return;
    }
}

void CheckAnswers(const gateway::HubConfig& config) {
    gateway::TagTable table;
    table.SetTags(config.tags, 1);
    const QByteArray tags = table.Answer("GETTAGS");
    if (config.tags.empty()) {
        FUZZ_CHECK(tags.isEmpty());
    } else {
        const QList<QByteArray> names = tags.split(',');
        FUZZ_CHECK(size_t(names.size()) == config.tags.size());
        for (size_t i = 0; i < config.tags.size(); ++i)
            FUZZ_CHECK(names[qsizetype(i)] == config.tags[i].name);
    }
    for (const double seconds : {0.0, 4.5, 30 * 365.25 * 86400}) {
        const QByteArray values = table.ValuesAnswer(seconds);
        FUZZ_CHECK(!values.contains('\n') && !values.contains('\r'));
        if (config.tags.empty()) {
            FUZZ_CHECK(values.isEmpty());
            continue;
        }
        const QList<QByteArray> entries = values.split('\t');
        FUZZ_CHECK(size_t(entries.size()) == config.tags.size());
        for (size_t i = 0; i < config.tags.size(); ++i) {
            const TagDef& tag = config.tags[i];
            const QByteArray& entry = entries[qsizetype(i)];
            FUZZ_CHECK(entry.startsWith(QByteArray(tag.name + ',')));
            CheckValue(tag, entry.mid(tag.name.size() + 1));
        }
    }
    // GETSTATUS: one line per tag, its name and a code; nothing has arrived for a live tag.
    const QByteArray status = table.Answer("GETSTATUS");
    if (config.tags.empty()) {
        FUZZ_CHECK(status.isEmpty());
        return;
    }
    const QList<QByteArray> lines = status.split('\n');
    FUZZ_CHECK(size_t(lines.size()) == config.tags.size());
    for (size_t i = 0; i < config.tags.size(); ++i) {
        const TagDef& tag = config.tags[i];
        FUZZ_CHECK(lines[qsizetype(i)] ==
                   tag.name + (tag.kind == TagDef::Kind::Live ? ",waiting" : ",good"));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Longer files only repeat what shorter ones reach (the longest topic is a unit test).
    if (size > 16384)
        return 0;
    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    QStringList errors;
    const gateway::HubConfig config = gateway::ParseHubConfig(text, &errors);

    for (const QString& error : errors) {
        FUZZ_CHECK(error.startsWith(QLatin1String("line ")));
        FUZZ_CHECK(gateway::IsCleanText(error.toUtf8()));
    }
    for (const TagDef& tag : config.tags) {
        FUZZ_CHECK(IsName(tag.name));
        if (tag.kind == TagDef::Kind::Live)
            FUZZ_CHECK(tag.slot >= 0 && size_t(tag.slot) < config.staleMs.size());
        else
            CheckSimulated(tag);
    }
    for (const gateway::MqttBroker& broker : config.brokers) {
        FUZZ_CHECK(IsName(broker.name.toUtf8()));
        FUZZ_CHECK(gateway::IsCleanText(broker.host.toUtf8()));
    }
    for (const gateway::ModbusDevice& device : config.devices) {
        FUZZ_CHECK(IsName(device.name.toUtf8()));
        FUZZ_CHECK(gateway::IsCleanText(device.host.toUtf8()));
    }
    for (const gateway::MqttTag& tag : config.mqttTags) {
        FUZZ_CHECK(!tag.topic.isEmpty() && tag.topic.size() <= 65535);
        FUZZ_CHECK(!tag.topic.contains('\0') && !tag.topic.contains('+') &&
                   !tag.topic.contains('#'));
        FUZZ_CHECK(QString::fromUtf8(tag.topic).toUtf8() == tag.topic);
        FUZZ_CHECK(tag.decimals >= -1 && tag.decimals <= 9);
        FUZZ_CHECK(tag.broker >= 0 ? size_t(tag.broker) < config.brokers.size()
                                   : !errors.isEmpty());
    }
    for (const gateway::MqttTree& tree : config.mqttTrees) {
        FUZZ_CHECK(IsName(tree.name.toUtf8()));
        // A faulty line's tree is kept only for its name.
        FUZZ_CHECK(!errors.isEmpty() ||
                   (IsName(tree.prefix) && tree.maxTags >= 1 && tree.maxTags <= 100000 &&
                    tree.broker >= 0 && size_t(tree.broker) < config.brokers.size()));
        // Whatever topic arrives, the tree makes a publishable name or none.
        for (const QByteArray& topic : {tree.filter, text.left(300), QByteArray("a/b")}) {
            const QByteArray name = gateway::TreeTagName(tree, topic);
            FUZZ_CHECK(name.isEmpty() ||
                       (IsName(name) && name.size() <= gateway::MaxTreeTagNameBytes));
        }
    }
    for (const gateway::ModbusTag& tag : config.modbusTags) {
        FUZZ_CHECK(tag.decimals >= 0 && tag.decimals <= 9);
        FUZZ_CHECK(tag.address >= 0 && tag.address + gateway::ModbusWidth(tag) <= 65536);
        FUZZ_CHECK(tag.unit >= -1 && tag.unit <= 255 && tag.bit >= -1 && tag.bit <= 15);
        FUZZ_CHECK((tag.type == gateway::ModbusType::String) == (tag.length > 0) &&
                   tag.length <= gateway::MaxModbusStringBytes);
        FUZZ_CHECK(tag.device >= 0 ? size_t(tag.device) < config.devices.size()
                                   : !errors.isEmpty());
    }
    if (!errors.isEmpty())
        return 0;

    // A file without faults: every live tag has its own slot, and names are unique. A status
    // tag is the live tag of its source's slot.
    size_t statusTags = 0;
    const auto checkStatus = [&](const QByteArray& name, qsizetype slot) {
        FUZZ_CHECK(name.isEmpty() == (slot < 0));
        if (slot < 0)
            return;
        ++statusTags;
        FUZZ_CHECK(std::any_of(config.tags.begin(), config.tags.end(), [&](const TagDef& tag) {
            return tag.kind == TagDef::Kind::Live && tag.slot == slot && tag.name == name;
        }));
    };
    for (const gateway::MqttBroker& broker : config.brokers)
        checkStatus(broker.statusTag, broker.statusSlot);
    for (const gateway::ModbusDevice& device : config.devices)
        checkStatus(device.statusTag, device.statusSlot);
    FUZZ_CHECK(config.mqttTags.size() + config.modbusTags.size() + statusTags ==
               config.staleMs.size());
    QSet<QByteArray> names;
    for (const TagDef& tag : config.tags)
        names.insert(tag.name);
    FUZZ_CHECK(size_t(names.size()) == config.tags.size());
    CheckAnswers(config);
    return 0;
}
