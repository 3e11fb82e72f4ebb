#pragma once
// Tag lists of the hub: the tag file format (docs/hub-config.md), the built-in plant and
// generated synthetic tags. A tag file describes simulated tags, MQTT tags and Modbus tags
// side by side, plus the brokers and devices they are read from.

#include "gateway/TagTable.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace gateway {

struct MqttBroker {
    QString name;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 1883;
    QString clientId; // empty: made up from the host name and process id
    QString user;
    QString password; // from password= or the variable named by passwordenv=; never logged
    QString caFile;   // set: TLS, checking the broker against this CA
    QString certFile; // set (with keyFile): the hub's own certificate, for brokers that ask
    QString keyFile;  // the private key of certFile, without a passphrase
    int keepAliveSeconds = 30;
    int qos = 0;                 // of the subscriptions of tags that do not give their own
    int protocolVersion = 4;     // 4: MQTT 3.1.1; 5: MQTT 5
    bool passwordInFile = false; // given with password=: the file itself holds it
    QByteArray statusTag;        // statustag=: the name of a tag publishing its state
    qsizetype statusSlot = -1;   // that tag's LiveValues slot; -1 without one
};

struct MqttTag {
    qsizetype slot = -1; // LiveValues slot
    int broker = -1;
    QByteArray topic;
    QString jsonPath;  // empty: the payload is the value; else "data.temp" in a JSON payload
    int decimals = -1; // -1: the value as it came; else a number with this many decimals
    double scale = 1;
    double offset = 0;
    int qos = -1; // of its topic's subscription, 0 or 1; -1: the broker's
};

// A topic filter whose topics become tags as their first messages arrive (kind mqtt-tree).
struct MqttTree {
    QString name; // for the log
    int broker = -1;
    QByteArray filter; // may hold the wildcards + and #
    QByteArray prefix; // put before the name each topic makes
    MqttTag read;      // how each topic is read: json, decimals, scale, offset, qos
    qint64 staleMs = 0;
    int maxTags = 1000; // the most tags it makes
};

// The longest tag name a tree makes, in bytes.
constexpr qsizetype MaxTreeTagNameBytes = 1024;

// The name of the tag `tree` makes of `topic`: its prefix, then the topic with each "/"
// written as "."; empty when that is no tag name (not clean text, holding ",", or longer
// than MaxTreeTagNameBytes).
QByteArray TreeTagName(const MqttTree& tree, QByteArrayView topic);

// Requests a Modbus TCP connection carries at once unless inflight= says otherwise.
constexpr int DefaultTcpInFlight = 4;

// One connection: a TCP connection to a device or gateway, or a serial line (Modbus RTU).
// Its tags may read several unit ids over it; `unit` is theirs unless a tag names another.
struct ModbusDevice {
    QString name;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 502;
    QString serialPort; // set: Modbus RTU on this serial port instead of TCP to host:port
    int baudRate = 19200;
    char parity = 'E'; // N, E or O
    int dataBits = 8;
    int stopBits = 1;
    int unit = 1;
    int pollMs = 1000;
    int timeoutMs = 1000;
    int maxGap = 16;           // unused addresses one request may read over to save a request
    QByteArray statusTag;      // statustag=: the name of a tag publishing its state
    qsizetype statusSlot = -1; // that tag's LiveValues slot; -1 without one
    // Requests sent before the first of them is answered; 0: 1 on a serial line, else
    // DefaultTcpInFlight.
    int inFlight = 0;
    int pauseMs = 0; // the least time from one request to the next
};

enum class ModbusTable { Coil, DiscreteInput, InputRegister, HoldingRegister };
// Bcd16 and Bcd32 hold 4 and 8 decimal digits, a nibble each; String holds `length` bytes
// of text, two to a register.
enum class ModbusType {
    Bool,
    Int16,
    Uint16,
    Int32,
    Uint32,
    Float32,
    Int64,
    Float64,
    Float16,
    Bcd16,
    Bcd32,
    String
};
// How the bytes of a value are laid out in registers: A is the most significant byte. A
// string's bytes are in text order, so only the order within a register matters: ABCD (AB,
// the first byte high) or BADC (BA, the first byte low).
enum class WordOrder { ABCD, DCBA, BADC, CDAB };

// The longest string a tag may read, in bytes: what one request of 125 registers holds.
constexpr int MaxModbusStringBytes = 250;

struct ModbusTag {
    qsizetype slot = -1;
    int device = -1;
    int unit = -1; // the unit id it is read from; -1: its device's unit=
    ModbusTable table = ModbusTable::HoldingRegister;
    int address = 0; // 0-based, as sent in the request
    ModbusType type = ModbusType::Uint16;
    WordOrder order = WordOrder::ABCD;
    int bit = -1;   // 0 to 15: the tag is that bit of a register (0 the least significant)
    int length = 0; // String: bytes of text
    double scale = 1;
    double offset = 0;
    int decimals = 0;
};

// Everything one tag file describes. Live tags (kind Live in `tags`) point to a slot; each
// slot has one entry in `mqttTags` or `modbusTags`, or is the status slot of a broker or
// device, and has a staleness time in `staleMs`.
struct HubConfig {
    std::vector<TagDef> tags;
    std::vector<MqttBroker> brokers;
    std::vector<ModbusDevice> devices;
    std::vector<MqttTag> mqttTags;
    std::vector<MqttTree> mqttTrees;
    std::vector<ModbusTag> modbusTags;
    std::vector<qint64> staleMs; // per slot; 0 = never stale
    // Per broker and per device: its line and the lines of its tags, as written. A reload
    // keeps a source running whose text is the same.
    std::vector<QByteArray> brokerText;
    std::vector<QByteArray> deviceText;
    // "line 7: ...": lines that read well but probably mean something else; the file is used.
    QStringList warnings;
};

// Reads a tag file's text. Each fault is described in `errors` ("line 7: ..."); the lines
// without faults are still in the result, but a file with any error must be refused. Names
// and values that would be published or logged are clean UTF-8 text (WireText.h), and no
// message quotes a control character raw or anything that may be part of a password.
HubConfig ParseHubConfig(const QByteArray& text, QStringList* errors);

// Reads a tag file's simulated tags: one per line "name<TAB>kind<TAB>parameters". Lines that
// cannot be used are skipped and described in `warnings` ("line 7: ...").
std::vector<TagDef> ParseTagFile(const QByteArray& text, QStringList* warnings = nullptr);

// Number of registers (or bits, for Bool) a value of `type` takes; 1 for String, whose
// width depends on its length.
int ModbusWidth(ModbusType type);
// Number of registers (or bits) `tag` reads.
int ModbusWidth(const ModbusTag& tag);

// The built-in plant: about forty tags in the tag file format.
const QByteArray& BuiltInTagFile();
std::vector<TagDef> BuiltInTags();

// `count` generated tags named "AreaNN.TagNNNNNN", mixing numbers, counters and states.
std::vector<TagDef> SyntheticTags(qsizetype count);

} // namespace gateway
