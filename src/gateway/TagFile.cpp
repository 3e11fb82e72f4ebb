#include "gateway/TagFile.h"

#include "base/ReadFile.h"
#include "gateway/WireText.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

#include <cmath>

namespace gateway {

namespace {

// The longest MQTT topic: its length travels in two bytes.
constexpr qsizetype MaxTopicBytes = 65535;
// The largest magnitude a simulated value may reach: numbers this large still have every
// digit published, and a counter starting there stays exact for decades.
constexpr double MaxSimulated = 1e15;

bool IsUtf8(QByteArrayView text) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(text);
    Q_UNUSED(decoded);
    return !decoder.hasError();
}

// `text` with each control character written as \xNN: a message quotes what the file says
// without carrying raw control characters into the log.
QString Printable(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            out += QStringLiteral("\\x") +
                   QString::number(int(u), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

bool ReadNumber(const QByteArray& text, double& value) {
    bool ok = false;
    const double parsed = text.trimmed().toDouble(&ok);
    if (ok && std::isfinite(parsed))
        value = parsed;
    return ok && std::isfinite(parsed);
}

using Pairs = QList<QPair<QString, QByteArray>>;

// "key=value key=value ...": a value runs up to the blank before the next "key=", so a
// list of states may hold blanks ("states=Standard|High Strength"). Keys come back in lower
// case. Returns an error text, empty when the parameters read well.
QString ReadPairs(const QByteArray& parameters, Pairs& pairs) {
    static const QRegularExpression pair(
        QStringLiteral("([A-Za-z]+)=(.*?)(?=\\s+[A-Za-z]+=|\\s*$)"));
    const QString text = QString::fromUtf8(parameters);
    qsizetype end = 0;
    auto it = pair.globalMatch(text);
    while (it.hasNext()) {
        const auto match = it.next();
        if (!QStringView(text).sliced(end, match.capturedStart() - end).trimmed().isEmpty())
            return QStringLiteral("parameters must be key=value pairs");
        end = match.capturedEnd();
        pairs.append({match.captured(1).toLower(), match.captured(2).toUtf8()});
    }
    if (!QStringView(text).sliced(end).trimmed().isEmpty())
        return QStringLiteral("parameters must be key=value pairs");
    return QString();
}

QString NotANumber(const QString& key, const QByteArray& value) {
    return QStringLiteral("\"%1=%2\" is not a number").arg(key, QString::fromUtf8(value));
}

// A whole number from `low` to `high`; an error text otherwise.
QString ReadWhole(const QString& key, const QByteArray& value, qint64 low, qint64 high,
                  qint64& out) {
    bool ok = false;
    const qint64 parsed = value.trimmed().toLongLong(&ok);
    if (!ok || parsed < low || parsed > high)
        return QStringLiteral("\"%1=%2\" must be a whole number from %3 to %4")
            .arg(key, QString::fromUtf8(value))
            .arg(low)
            .arg(high);
    out = parsed;
    return QString();
}

// Seconds, above 0, as milliseconds.
QString ReadSeconds(const QString& key, const QByteArray& value, qint64& ms) {
    double seconds = 0;
    if (!ReadNumber(value, seconds) || seconds <= 0 || seconds > 86400)
        return QStringLiteral("\"%1=%2\" must be seconds above 0")
            .arg(key, QString::fromUtf8(value));
    ms = std::max<qint64>(1, qint64(std::llround(seconds * 1000)));
    return QString();
}

QString UnknownKey(const QString& key) {
    return QStringLiteral("unknown parameter \"%1\"").arg(key);
}

// A number from `low` to `high` (said as `range` in the message); an error text otherwise.
QString ReadBounded(const QString& key, const QByteArray& value, double low, double high,
                    const char* range, double& out) {
    double number = 0;
    if (!ReadNumber(value, number))
        return NotANumber(key, value);
    if (number < low || number > high)
        return QStringLiteral("\"%1=%2\" must be %3")
            .arg(key, QString::fromUtf8(value), QLatin1String(range));
    out = number;
    return QString();
}

// The states of a state tag, or the value of a text tag: published as they are, so each must
// be clean text of at most MaxValueBytes.
QString CheckValue(const QByteArray& value, const char* what) {
    if (!IsCleanText(value))
        return QStringLiteral("%1 must be UTF-8 text without control characters")
            .arg(QLatin1String(what));
    if (value.size() > MaxValueBytes)
        return QStringLiteral("%1 must be at most %2 bytes long")
            .arg(QLatin1String(what))
            .arg(MaxValueBytes);
    return QString();
}

// Simulated values stay within +-MaxSimulated, so the published text always has all their
// digits (see NumberText.h), and times stay far from what a double or a 64-bit count cannot
// hold.
QString ApplyParameters(TagDef& tag, const QByteArray& parameters) {
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    for (const auto& [key, value] : pairs) {
        QString error;
        if (key == QLatin1String("states")) {
            if (tag.kind != TagDef::Kind::State)
                return QStringLiteral("\"states\" belongs to kind state");
            tag.states = value.split('|');
            for (const QByteArray& state : tag.states)
                if (error = CheckValue(state, "a state"); !error.isEmpty())
                    return error;
            continue;
        }
        if (key == QLatin1String("base") || key == QLatin1String("start"))
            error = ReadBounded(key, value, -MaxSimulated, MaxSimulated,
                                "a number from -1e15 to 1e15", tag.base);
        else if (key == QLatin1String("amplitude"))
            error = ReadBounded(key, value, -MaxSimulated, MaxSimulated,
                                "a number from -1e15 to 1e15", tag.amplitude);
        else if (key == QLatin1String("period"))
            error = ReadBounded(key, value, 0.01, 1e9, "seconds from 0.01 to 1e9", tag.period);
        else if (key == QLatin1String("noise"))
            error = ReadBounded(key, value, 0, 1, "a fraction from 0 to 1", tag.noise);
        else if (key == QLatin1String("decimals")) {
            qint64 decimals = 0;
            error = ReadWhole(key, value, 0, 9, decimals);
            tag.decimals = int(decimals);
        } else if (key == QLatin1String("rate"))
            error = ReadBounded(key, value, -1e6, 1e6, "a number from -1e6 to 1e6", tag.rate);
        else if (key == QLatin1String("empty"))
            error = ReadBounded(key, value, 0, 1, "a chance from 0 to 1", tag.empty);
        else
            error = UnknownKey(key);
        if (!error.isEmpty())
            return error;
    }
    if (tag.kind == TagDef::Kind::State && tag.states.isEmpty())
        return QStringLiteral("a state tag needs states=A|B|...");
    // The farthest a number strays from 0: base, the whole amplitude and all of its noise.
    if (std::fabs(tag.base) + std::fabs(tag.amplitude) * (1 + tag.noise) > MaxSimulated)
        return QStringLiteral("base and amplitude (with noise) reach beyond 1e15: keep "
                              "|base| + |amplitude| x (1 + noise) within 1e15");
    return QString();
}

// A host name or file name the log may quote.
QString ReadPlainText(const QString& key, const QByteArray& value, QString& out) {
    const QByteArray trimmed = value.trimmed();
    if (!IsCleanText(trimmed))
        return QStringLiteral("%1= must be UTF-8 text without control characters").arg(key);
    out = QString::fromUtf8(trimmed);
    return QString();
}

// The client certificate or key a broker line names: a readable PEM file holding what `key`
// needs. The key must be without a passphrase: the TLS library would ask for one on the
// terminal, which a service does not have.
QString ReadTlsFile(const QString& key, const QByteArray& value, QString& out) {
    if (QString error = ReadPlainText(key, value, out); !error.isEmpty())
        return error;
    constexpr qint64 MaxPemBytes = 1024 * 1024;
    const fileread::Contents contents = fileread::ReadRegularFile(out, MaxPemBytes);
    const QString named = QStringLiteral("%1 %2 ").arg(key, out);
    if (!contents.ok())
        return named + fileread::Describe(contents, MaxPemBytes);
    const bool isKey = key == QLatin1String("keyfile");
    if (!contents.data.contains(isKey ? "PRIVATE KEY-----" : "-----BEGIN CERTIFICATE-----"))
        return named + (isKey ? QStringLiteral("holds no private key (PEM)")
                              : QStringLiteral("holds no certificate (PEM)"));
    if (isKey && contents.data.contains("ENCRYPTED"))
        return named + QStringLiteral("is protected by a passphrase; the hub needs a key "
                                      "without one");
    return QString();
}

QString ReadBroker(MqttBroker& broker, const QByteArray& parameters) {
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    QString error;
    qint64 number = 0;
    // What follows password= may be the rest of a password that holds " word=": a message
    // about it never quotes it.
    bool afterPassword = false;
    for (const auto& [key, value] : pairs) {
        if (key == QLatin1String("host"))
            error = ReadPlainText(key, value, broker.host);
        else if (key == QLatin1String("port")) {
            error = ReadWhole(key, value, 1, 65535, number);
            broker.port = quint16(number);
        } else if (key == QLatin1String("clientid"))
            error = ReadPlainText(key, value, broker.clientId);
        else if (key == QLatin1String("user"))
            broker.user = QString::fromUtf8(value);
        else if (key == QLatin1String("password")) {
            broker.password = QString::fromUtf8(value);
            broker.passwordInFile = true;
        } else if (key == QLatin1String("passwordenv")) {
            // A password typed here by mistake must not come back in the message.
            const QByteArray name = value.trimmed();
            if (!qEnvironmentVariableIsSet(name.constData()))
                error = QStringLiteral("the environment variable that passwordenv= names is not "
                                       "set");
            broker.password = qEnvironmentVariable(name.constData());
        } else if (key == QLatin1String("cafile"))
            error = ReadPlainText(key, value, broker.caFile);
        else if (key == QLatin1String("certfile"))
            error = ReadTlsFile(key, value, broker.certFile);
        else if (key == QLatin1String("keyfile"))
            error = ReadTlsFile(key, value, broker.keyFile);
        else if (key == QLatin1String("keepalive")) {
            error = ReadWhole(key, value, 5, 3600, number);
            broker.keepAliveSeconds = int(number);
        } else if (key == QLatin1String("statustag")) {
            broker.statusTag = value.trimmed();
            if (broker.statusTag.isEmpty())
                error = QStringLiteral("statustag= needs a tag name");
        } else if (key == QLatin1String("qos")) {
            error = ReadWhole(key, value, 0, 1, number);
            broker.qos = int(number);
        } else if (key == QLatin1String("protocol")) {
            const QByteArray version = value.trimmed();
            if (version == "3.1.1")
                broker.protocolVersion = 4;
            else if (version == "5")
                broker.protocolVersion = 5;
            else
                error = QStringLiteral("protocol must be 3.1.1 or 5");
        } else
            error = UnknownKey(key);
        if (!error.isEmpty())
            return afterPassword ? QStringLiteral("a parameter after password= is faulty (not "
                                                  "shown: it may be part of the password; a "
                                                  "password holding \" word=\" needs "
                                                  "passwordenv=)")
                                 : error;
        if (key == QLatin1String("password"))
            afterPassword = true;
    }
    if (broker.host.isEmpty())
        return QStringLiteral("a broker needs host=");
    if (broker.certFile.isEmpty() != broker.keyFile.isEmpty())
        return QStringLiteral("certfile= and keyfile= go together");
    if (!broker.certFile.isEmpty() && broker.caFile.isEmpty())
        return QStringLiteral("certfile= and keyfile= need cafile= (they are used over TLS)");
    return QString();
}

template <typename Enum, size_t N>
bool Lookup(const std::pair<const char*, Enum> (&names)[N], const QByteArray& value, Enum& out) {
    const QByteArray wanted = value.trimmed().toLower();
    for (const auto& [name, item] : names)
        if (wanted == name) {
            out = item;
            return true;
        }
    return false;
}

QString ReadDevice(ModbusDevice& device, const QByteArray& parameters) {
    static const std::pair<const char*, char> parities[] = {
        {"n", 'N'}, {"e", 'E'}, {"o", 'O'}, {"none", 'N'}, {"even", 'E'}, {"odd", 'O'}};
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    QString error;
    qint64 number = 0;
    QString hostKey;   // the key that only TCP takes, when given
    QString serialKey; // a key that only a serial line takes, when given
    for (const auto& [key, value] : pairs) {
        if (key == QLatin1String("host")) {
            hostKey = key;
            error = ReadPlainText(key, value, device.host);
        } else if (key == QLatin1String("port")) {
            // A number is a TCP port; anything else names a serial port.
            const QByteArray trimmed = value.trimmed();
            if (!trimmed.isEmpty() && std::all_of(trimmed.begin(), trimmed.end(),
                                                  [](char c) { return c >= '0' && c <= '9'; })) {
                error = ReadWhole(key, value, 1, 65535, number);
                device.port = quint16(number);
                device.serialPort.clear();
            } else {
                error = ReadPlainText(key, value, device.serialPort);
            }
        } else if (key == QLatin1String("baud")) {
            serialKey = key;
            error = ReadWhole(key, value, 50, 4000000, number);
            device.baudRate = int(number);
        } else if (key == QLatin1String("parity")) {
            serialKey = key;
            if (!Lookup(parities, value, device.parity))
                error = QStringLiteral("parity must be N, E or O (none, even, odd)");
        } else if (key == QLatin1String("databits")) {
            serialKey = key;
            error = ReadWhole(key, value, 5, 8, number);
            device.dataBits = int(number);
        } else if (key == QLatin1String("stopbits")) {
            serialKey = key;
            error = ReadWhole(key, value, 1, 2, number);
            device.stopBits = int(number);
        } else if (key == QLatin1String("unit")) {
            error = ReadWhole(key, value, 0, 255, number);
            device.unit = int(number);
        } else if (key == QLatin1String("poll")) {
            error = ReadSeconds(key, value, number);
            device.pollMs = int(number);
        } else if (key == QLatin1String("timeout")) {
            error = ReadSeconds(key, value, number);
            device.timeoutMs = int(number);
        } else if (key == QLatin1String("gap")) {
            error = ReadWhole(key, value, 0, 1999, number);
            device.maxGap = int(number);
        } else if (key == QLatin1String("statustag")) {
            device.statusTag = value.trimmed();
            if (device.statusTag.isEmpty())
                error = QStringLiteral("statustag= needs a tag name");
        } else if (key == QLatin1String("inflight")) {
            error = ReadWhole(key, value, 1, 16, number);
            device.inFlight = int(number);
        } else if (key == QLatin1String("pause")) {
            double seconds = 0;
            error = ReadBounded(key, value, 0, 10, "seconds from 0 to 10", seconds);
            device.pauseMs = int(std::llround(seconds * 1000));
        } else
            error = UnknownKey(key);
        if (!error.isEmpty())
            return error;
    }
    if (device.serialPort.isEmpty()) {
        if (!serialKey.isEmpty())
            return QStringLiteral("%1= belongs to a serial line: give its port= as a path "
                                  "(port=/dev/ttyUSB0)")
                .arg(serialKey);
        if (device.host.isEmpty())
            return QStringLiteral("a device needs host=");
    } else {
        if (!hostKey.isEmpty())
            return QStringLiteral("a device on serial port %1 takes no host=")
                .arg(device.serialPort);
        // One station talks on the line at a time: a second request would garble the first.
        if (device.inFlight > 1)
            return QStringLiteral("a serial line carries one request at a time: inflight=1");
    }
    return QString();
}

// Parameters every live tag may have: decimals, scale, offset and stale. True when `key`
// was one of them.
bool ReadCommon(const QString& key, const QByteArray& value, int& decimals, double& scale,
                double& offset, qint64& staleMs, QString& error) {
    qint64 number = 0;
    if (key == QLatin1String("decimals")) {
        error = ReadWhole(key, value, 0, 9, number);
        decimals = int(number);
    } else if (key == QLatin1String("scale")) {
        if (!ReadNumber(value, scale))
            error = NotANumber(key, value);
    } else if (key == QLatin1String("offset")) {
        if (!ReadNumber(value, offset))
            error = NotANumber(key, value);
    } else if (key == QLatin1String("stale")) {
        error = ReadSeconds(key, value, staleMs);
    } else
        return false;
    return true;
}

QString ReadMqttTag(MqttTag& tag, QString& broker, qint64& staleMs, const QByteArray& parameters) {
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    QString error;
    for (const auto& [key, value] : pairs) {
        if (key == QLatin1String("broker"))
            broker = QString::fromUtf8(value.trimmed());
        else if (key == QLatin1String("topic"))
            tag.topic = value.trimmed();
        else if (key == QLatin1String("json"))
            tag.jsonPath = QString::fromUtf8(value.trimmed());
        else if (key == QLatin1String("qos")) {
            qint64 number = 0;
            error = ReadWhole(key, value, 0, 1, number);
            tag.qos = int(number);
        } else if (!ReadCommon(key, value, tag.decimals, tag.scale, tag.offset, staleMs, error))
            error = UnknownKey(key);
        if (!error.isEmpty())
            return error;
    }
    if (broker.isEmpty())
        return QStringLiteral("an mqtt tag needs broker=");
    if (tag.topic.isEmpty())
        return QStringLiteral("an mqtt tag needs topic=");
    if (tag.topic.contains('+') || tag.topic.contains('#'))
        return QStringLiteral("a topic cannot hold the wildcards + or #");
    // What a broker takes: its length travels in two bytes, and NUL is never part of one.
    if (tag.topic.size() > MaxTopicBytes)
        return QStringLiteral("a topic must be at most %1 bytes long").arg(MaxTopicBytes);
    if (tag.topic.contains('\0') || !IsUtf8(tag.topic))
        return QStringLiteral("a topic must be UTF-8 text without NUL");
    if ((tag.scale != 1 || tag.offset != 0) && tag.decimals < 0)
        tag.decimals = 0;
    return QString();
}

// Why `filter` is no topic filter a broker takes; empty when it is one. "+" stands for one
// whole level, "#" for the whole rest of the topic.
QString FilterFault(const QByteArray& filter) {
    if (filter.isEmpty())
        return QStringLiteral("an mqtt-tree needs filter=");
    if (filter.size() > MaxTopicBytes)
        return QStringLiteral("a filter must be at most %1 bytes long").arg(MaxTopicBytes);
    if (filter.contains('\0') || !IsUtf8(filter))
        return QStringLiteral("a filter must be UTF-8 text without NUL");
    const QList<QByteArray> levels = filter.split('/');
    for (qsizetype i = 0; i < levels.size(); ++i) {
        const QByteArray& level = levels[i];
        if (level.contains('#') && (level != "#" || i != levels.size() - 1))
            return QStringLiteral("in a filter, # stands alone as its last level");
        if (level.contains('+') && level != "+")
            return QStringLiteral("in a filter, + stands alone as a level");
    }
    return QString();
}

QString ReadMqttTree(MqttTree& tree, QString& broker, const QByteArray& parameters) {
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    QString error;
    qint64 number = 0;
    for (const auto& [key, value] : pairs) {
        if (key == QLatin1String("broker"))
            broker = QString::fromUtf8(value.trimmed());
        else if (key == QLatin1String("filter"))
            tree.filter = value.trimmed();
        else if (key == QLatin1String("prefix")) {
            tree.prefix = value.trimmed();
            if (!IsCleanText(tree.prefix) || tree.prefix.contains(','))
                error = QStringLiteral("a prefix must be UTF-8 text without control characters "
                                       "or \",\"");
        } else if (key == QLatin1String("json"))
            tree.read.jsonPath = QString::fromUtf8(value.trimmed());
        else if (key == QLatin1String("max")) {
            error = ReadWhole(key, value, 1, 100000, number);
            tree.maxTags = int(number);
        } else if (key == QLatin1String("qos")) {
            error = ReadWhole(key, value, 0, 1, number);
            tree.read.qos = int(number);
        } else if (!ReadCommon(key, value, tree.read.decimals, tree.read.scale, tree.read.offset,
                               tree.staleMs, error))
            error = UnknownKey(key);
        if (!error.isEmpty())
            return error;
    }
    if (broker.isEmpty())
        return QStringLiteral("an mqtt-tree needs broker=");
    if (QString fault = FilterFault(tree.filter); !fault.isEmpty())
        return fault;
    if (tree.prefix.size() >= MaxTreeTagNameBytes)
        return QStringLiteral("a prefix must be shorter than %1 bytes").arg(MaxTreeTagNameBytes);
    if ((tree.read.scale != 1 || tree.read.offset != 0) && tree.read.decimals < 0)
        tree.read.decimals = 0;
    return QString();
}

// The table and 0-based address of a register in the old numbering: the first digit names the
// table (0 coils, 1 discrete inputs, 3 input registers, 4 holding registers), the other four
// (or five) the register counted from 1. An error text when `value` is not such a number.
QString ReadOldNumber(const QByteArray& value, ModbusTable& table, int& address) {
    const QByteArray digits = value.trimmed();
    const bool allDigits =
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    const qsizetype width = digits.size();
    const int number = allDigits && (width == 5 || width == 6) ? digits.mid(1).toInt() : 0;
    const int last = width == 5 ? 9999 : 65536;
    static const ModbusTable byDigit[] = {ModbusTable::Coil, ModbusTable::DiscreteInput,
                                          ModbusTable::HoldingRegister, ModbusTable::InputRegister,
                                          ModbusTable::HoldingRegister};
    const int first = allDigits && width > 0 ? digits[0] - '0' : -1;
    if (number < 1 || number > last || first < 0 || first == 2 || first > 4)
        return QStringLiteral("\"register=%1\" must be a register in the old numbering: 0, 1, 3 "
                              "or 4 and the register counted from 1, in five digits (40001 to "
                              "49999) or six (400001 to 465536)")
            .arg(QString::fromUtf8(value));
    table = byDigit[first];
    address = number - 1;
    return QString();
}

// The first digit of the old numbering for `table`.
char OldNumberDigit(ModbusTable table) {
    switch (table) {
    case ModbusTable::Coil:
        return '0';
    case ModbusTable::DiscreteInput:
        return '1';
    case ModbusTable::InputRegister:
        return '3';
    case ModbusTable::HoldingRegister:
        break;
    }
    return '4';
}

QString TableKey(ModbusTable table) {
    switch (table) {
    case ModbusTable::Coil:
        return QStringLiteral("coil");
    case ModbusTable::DiscreteInput:
        return QStringLiteral("discrete");
    case ModbusTable::InputRegister:
        return QStringLiteral("input");
    case ModbusTable::HoldingRegister:
        break;
    }
    return QStringLiteral("holding");
}

// `warning` is set for a line that reads well but probably means something else.
QString ReadModbusTag(ModbusTag& tag, QString& device, qint64& staleMs,
                      const QByteArray& parameters, QString& warning) {
    static const std::pair<const char*, ModbusTable> tables[] = {
        {"coil", ModbusTable::Coil},
        {"discrete", ModbusTable::DiscreteInput},
        {"input", ModbusTable::InputRegister},
        {"holding", ModbusTable::HoldingRegister}};
    static const std::pair<const char*, ModbusType> types[] = {
        {"bool", ModbusType::Bool},       {"int16", ModbusType::Int16},
        {"uint16", ModbusType::Uint16},   {"int32", ModbusType::Int32},
        {"uint32", ModbusType::Uint32},   {"float32", ModbusType::Float32},
        {"int64", ModbusType::Int64},     {"float64", ModbusType::Float64},
        {"float16", ModbusType::Float16}, {"bcd16", ModbusType::Bcd16},
        {"bcd32", ModbusType::Bcd32},     {"string", ModbusType::String}};
    static const std::pair<const char*, WordOrder> orders[] = {{"abcd", WordOrder::ABCD},
                                                               {"dcba", WordOrder::DCBA},
                                                               {"badc", WordOrder::BADC},
                                                               {"cdab", WordOrder::CDAB}};
    // A string's bytes run in text order; only the two bytes of a register may be swapped.
    static const std::pair<const char*, WordOrder> stringOrders[] = {{"ab", WordOrder::ABCD},
                                                                     {"ba", WordOrder::BADC}};
    Pairs pairs;
    if (QString error = ReadPairs(parameters, pairs); !error.isEmpty())
        return error;
    QString error;
    bool typeGiven = false;
    bool tableGiven = false;
    bool addressGiven = false;
    QByteArray orderText;
    QByteArray oldNumber;
    qint64 number = 0;
    for (const auto& [key, value] : pairs) {
        if (key == QLatin1String("device"))
            device = QString::fromUtf8(value.trimmed());
        else if (key == QLatin1String("table")) {
            tableGiven = true;
            if (!Lookup(tables, value, tag.table))
                error = QStringLiteral("table must be coil, discrete, input or holding");
        } else if (key == QLatin1String("address")) {
            addressGiven = true;
            error = ReadWhole(key, value, 0, 65535, number);
            tag.address = int(number);
        } else if (key == QLatin1String("register")) {
            oldNumber = value.trimmed();
        } else if (key == QLatin1String("unit")) {
            error = ReadWhole(key, value, 0, 255, number);
            tag.unit = int(number);
        } else if (key == QLatin1String("type")) {
            typeGiven = true;
            if (!Lookup(types, value, tag.type))
                error = QStringLiteral("type must be bool, int16, uint16, int32, uint32, "
                                       "float32, int64, float64, float16, bcd16, bcd32 or "
                                       "string");
        } else if (key == QLatin1String("order")) {
            orderText = value; // read once the type is known
        } else if (key == QLatin1String("bit")) {
            error = ReadWhole(key, value, 0, 15, number);
            tag.bit = int(number);
        } else if (key == QLatin1String("length")) {
            error = ReadWhole(key, value, 1, MaxModbusStringBytes, number);
            tag.length = int(number);
        } else if (!ReadCommon(key, value, tag.decimals, tag.scale, tag.offset, staleMs, error))
            error = UnknownKey(key);
        if (!error.isEmpty())
            return error;
    }
    if (device.isEmpty())
        return QStringLiteral("a modbus tag needs device=");
    if (!oldNumber.isEmpty()) {
        // register= says both table and address; given as well, they must say the same.
        ModbusTable table = tag.table;
        int address = tag.address;
        if (QString fault = ReadOldNumber(oldNumber, table, address); !fault.isEmpty())
            return fault;
        const QString said = QString::fromUtf8(oldNumber);
        if (tableGiven && table != tag.table)
            return QStringLiteral("register=%1 is in table %2, but table=%3: give one of them")
                .arg(said, TableKey(table), TableKey(tag.table));
        if (addressGiven && address != tag.address)
            return QStringLiteral("register=%1 is address=%2 (0-based), but address=%3: give "
                                  "one of them")
                .arg(said)
                .arg(address)
                .arg(tag.address);
        tag.table = table;
        tag.address = address;
    } else if (addressGiven && tag.address >= 10000 && tag.address <= 65536) {
        // address=40001 is most likely register 40001 of the old numbering, i.e. address 0.
        const QByteArray text = QByteArray::number(tag.address);
        const int counted = text.mid(1).toInt();
        const bool fits = text.size() >= 5 && text[0] == OldNumberDigit(tag.table) &&
                          counted >= 1 && (text.size() == 5 || counted <= 65536);
        if (fits)
            warning = QStringLiteral("address=%1 is 0-based, as sent in requests; if it is "
                                     "register %1 of the old numbering, write register=%1 "
                                     "instead (it is address=%2 of table %3)")
                          .arg(tag.address)
                          .arg(counted - 1)
                          .arg(TableKey(tag.table));
    }
    const bool bits = tag.table == ModbusTable::Coil || tag.table == ModbusTable::DiscreteInput;
    if (bits && !typeGiven)
        tag.type = ModbusType::Bool;
    if (bits != (tag.type == ModbusType::Bool))
        return bits ? QStringLiteral("coils and discrete inputs hold type bool")
                    : QStringLiteral("type bool belongs to coils and discrete inputs");
    const bool text = tag.type == ModbusType::String;
    if (!orderText.isEmpty() &&
        !(text ? Lookup(stringOrders, orderText, tag.order) : Lookup(orders, orderText, tag.order)))
        return text ? QStringLiteral("the order of a string is AB (first byte high) or BA")
                    : QStringLiteral("order must be ABCD, DCBA, BADC or CDAB");
    if (text != (tag.length > 0))
        return text ? QStringLiteral("a string needs length= (its bytes, 1 to %1)")
                          .arg(MaxModbusStringBytes)
                    : QStringLiteral("length= belongs to type string");
    if (tag.bit >= 0) {
        if (bits)
            return QStringLiteral("bit= picks a bit of a register, not of coils or discrete "
                                  "inputs");
        if (typeGiven && tag.type != ModbusType::Uint16 && tag.type != ModbusType::Int16)
            return QStringLiteral("bit= reads one register: leave type out (or uint16)");
        tag.type = ModbusType::Uint16;
    }
    if (tag.address + ModbusWidth(tag) > 65536)
        return QStringLiteral("the value runs past address 65535");
    return QString();
}

} // namespace

int ModbusWidth(ModbusType type) {
    switch (type) {
    case ModbusType::Bool:
    case ModbusType::Int16:
    case ModbusType::Uint16:
    case ModbusType::Float16:
    case ModbusType::Bcd16:
    case ModbusType::String:
        return 1;
    case ModbusType::Int32:
    case ModbusType::Uint32:
    case ModbusType::Float32:
    case ModbusType::Bcd32:
        return 2;
    case ModbusType::Int64:
    case ModbusType::Float64:
        return 4;
    }
    return 1;
}

QByteArray TreeTagName(const MqttTree& tree, QByteArrayView topic) {
    if (tree.prefix.size() + topic.size() > MaxTreeTagNameBytes)
        return QByteArray();
    QByteArray name = tree.prefix + topic.toByteArray().replace('/', '.');
    if (name.isEmpty() || name.contains(',') || !IsCleanText(name))
        return QByteArray();
    return name;
}

int ModbusWidth(const ModbusTag& tag) {
    return tag.type == ModbusType::String ? std::max(1, (tag.length + 1) / 2)
                                          : ModbusWidth(tag.type);
}

HubConfig ParseHubConfig(const QByteArray& text, QStringList* errors) {
    HubConfig config;
    const QList<QByteArray> lines = text.split('\n');
    // Faults by line; the names of sources are checked after the whole file is read.
    std::vector<std::pair<qsizetype, QString>> faults;
    auto fail = [&faults](qsizetype line, const QString& why) {
        faults.emplace_back(line, Printable(why));
    };
    QHash<QByteArray, qsizetype> tagLines;
    QHash<QString, int> brokers;
    QHash<QString, int> devices;
    QHash<QString, int> trees;
    // Live tags name their source by name; sources may come later in the file.
    struct SourceRef {
        qsizetype line;
        QString name;
        size_t index;    // into mqttTags or modbusTags
        QByteArray text; // the tag's line
    };
    std::vector<SourceRef> brokerRefs;
    std::vector<SourceRef> deviceRefs;
    // The text of each broker's and device's line, trimmed of its CR.
    std::vector<QByteArray> brokerLines;
    std::vector<QByteArray> deviceLines;
    // Why `name` cannot be a new tag's name; empty when it can.
    const auto tagNameFault = [&tagLines](const QByteArray& name) {
        if (name.contains(','))
            return QStringLiteral("a tag name cannot hold \",\"");
        if (!IsCleanText(name))
            return QStringLiteral("a tag name must be UTF-8 text without control characters");
        if (const auto first = tagLines.constFind(name); first != tagLines.cend())
            return QStringLiteral("duplicate tag name \"%1\" (first on line %2)")
                .arg(QString::fromUtf8(name))
                .arg(*first);
        return QString();
    };
    // A source's statustag=: a text tag at the source's line, in a slot of its own.
    const auto addStatusTag = [&](qsizetype line, const QByteArray& name, qsizetype& slot) {
        if (name.isEmpty())
            return;
        if (const QString error = tagNameFault(name); !error.isEmpty()) {
            fail(line, QStringLiteral("statustag=: ") + error);
            return;
        }
        TagDef tag;
        tag.name = name;
        tag.kind = TagDef::Kind::Live;
        tag.slot = slot = qsizetype(config.staleMs.size());
        config.staleMs.push_back(0);
        tagLines.insert(name, line);
        config.tags.push_back(std::move(tag));
    };
    std::vector<SourceRef> treeRefs; // index into mqttTrees

    for (qsizetype number = 1; number <= lines.size(); ++number) {
        QByteArray line = lines[number - 1];
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        // Every name and value comes from here, and most are published or logged.
        if (!IsUtf8(line)) {
            fail(number, QStringLiteral("the line is not UTF-8 text"));
            continue;
        }
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 2) {
            fail(number, QStringLiteral("expected name<TAB>kind<TAB>parameters"));
            continue;
        }
        if (fields.size() > 3) {
            fail(number, QStringLiteral("too many tabs"));
            continue;
        }
        const QByteArray kind = fields[1].trimmed().toLower();
        const QByteArray parameters = fields.size() > 2 ? fields[2] : QByteArray();
        const QString name = QString::fromUtf8(fields[0]);

        if (kind == "broker" || kind == "device" || kind == "mqtt-tree") {
            const bool isBroker = kind == "broker";
            const bool isTree = kind == "mqtt-tree";
            QHash<QString, int>& names = isBroker ? brokers : isTree ? trees : devices;
            const QString article = isTree ? QStringLiteral("an") : QStringLiteral("a");
            if (name.trimmed().isEmpty()) {
                fail(number,
                     QStringLiteral("%1 %2 needs a name").arg(article, QString::fromUtf8(kind)));
                continue;
            }
            // Source names appear in the log and, as "name,", could be mistaken for entries.
            if (!IsCleanText(fields[0]) || fields[0].contains(',')) {
                fail(number, QStringLiteral("%1 %2 name must be UTF-8 text without control "
                                            "characters or \",\"")
                                 .arg(article, QString::fromUtf8(kind)));
                continue;
            }
            if (names.contains(name)) {
                fail(number,
                     QStringLiteral("duplicate %1 name \"%2\"").arg(QString::fromUtf8(kind), name));
                continue;
            }
            QString error;
            if (isTree) {
                MqttTree tree;
                tree.name = name;
                QString source;
                error = ReadMqttTree(tree, source, parameters);
                if (error.isEmpty())
                    treeRefs.push_back({number, source, config.mqttTrees.size(), line});
                names.insert(name, int(config.mqttTrees.size()));
                config.mqttTrees.push_back(std::move(tree));
            } else if (isBroker) {
                MqttBroker broker;
                broker.name = name;
                error = ReadBroker(broker, parameters);
                if (error.isEmpty())
                    addStatusTag(number, broker.statusTag, broker.statusSlot);
                names.insert(name, int(config.brokers.size()));
                config.brokers.push_back(std::move(broker));
                brokerLines.push_back(line);
            } else {
                ModbusDevice device;
                device.name = name;
                error = ReadDevice(device, parameters);
                if (error.isEmpty())
                    addStatusTag(number, device.statusTag, device.statusSlot);
                names.insert(name, int(config.devices.size()));
                config.devices.push_back(std::move(device));
                deviceLines.push_back(line);
            }
            if (!error.isEmpty())
                fail(number, error);
            continue;
        }

        TagDef tag;
        tag.name = fields[0];
        if (const QString error = tagNameFault(tag.name); !error.isEmpty()) {
            fail(number, error);
            continue;
        }
        QString error;
        if (kind == "text") {
            tag.kind = TagDef::Kind::Text;
            tag.states = {parameters};
            error = CheckValue(parameters, "a text value");
        } else if (kind == "number" || kind == "counter" || kind == "state") {
            tag.kind = kind == "number"    ? TagDef::Kind::Number
                       : kind == "counter" ? TagDef::Kind::Counter
                                           : TagDef::Kind::State;
            error = ApplyParameters(tag, parameters);
        } else if (kind == "mqtt" || kind == "modbus") {
            tag.kind = TagDef::Kind::Live;
            tag.slot = qsizetype(config.staleMs.size());
            qint64 staleMs = 0;
            QString source;
            if (kind == "mqtt") {
                MqttTag live;
                live.slot = tag.slot;
                error = ReadMqttTag(live, source, staleMs, parameters);
                if (error.isEmpty()) {
                    brokerRefs.push_back({number, source, config.mqttTags.size(), line});
                    config.mqttTags.push_back(std::move(live));
                }
            } else {
                ModbusTag live;
                live.slot = tag.slot;
                QString warning;
                error = ReadModbusTag(live, source, staleMs, parameters, warning);
                if (!warning.isEmpty())
                    config.warnings.append(QStringLiteral("line %1: %2").arg(number).arg(warning));
                if (error.isEmpty()) {
                    deviceRefs.push_back({number, source, config.modbusTags.size(), line});
                    config.modbusTags.push_back(live);
                }
            }
            if (error.isEmpty())
                config.staleMs.push_back(staleMs);
        } else {
            error = QStringLiteral("unknown kind \"%1\"").arg(QString::fromUtf8(kind));
        }
        if (!error.isEmpty()) {
            fail(number, error);
            continue;
        }
        tagLines.insert(tag.name, number);
        config.tags.push_back(std::move(tag));
    }

    config.brokerText = std::move(brokerLines);
    config.deviceText = std::move(deviceLines);
    for (const SourceRef& ref : brokerRefs) {
        const int broker = brokers.value(ref.name, -1);
        if (broker < 0)
            fail(ref.line, QStringLiteral("unknown broker \"%1\"").arg(ref.name));
        else
            config.brokerText[size_t(broker)] += '\n' + ref.text;
        config.mqttTags[ref.index].broker = broker;
    }
    for (const SourceRef& ref : treeRefs) {
        const int broker = brokers.value(ref.name, -1);
        if (broker < 0)
            fail(ref.line, QStringLiteral("unknown broker \"%1\"").arg(ref.name));
        else
            config.brokerText[size_t(broker)] += '\n' + ref.text;
        config.mqttTrees[ref.index].broker = broker;
    }
    for (const SourceRef& ref : deviceRefs) {
        const int device = devices.value(ref.name, -1);
        if (device < 0)
            fail(ref.line, QStringLiteral("unknown device \"%1\"").arg(ref.name));
        else
            config.deviceText[size_t(device)] += '\n' + ref.text;
        config.modbusTags[ref.index].device = device;
    }
    std::stable_sort(faults.begin(), faults.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (errors)
        for (const auto& [line, why] : faults)
            errors->append(QStringLiteral("line %1: %2").arg(line).arg(why));
    return config;
}

std::vector<TagDef> ParseTagFile(const QByteArray& text, QStringList* warnings) {
    return ParseHubConfig(text, warnings).tags;
}

const QByteArray& BuiltInTagFile() {
    static const QByteArray text = QByteArrayLiteral(
        "# A small cement works with a boiler house, tanks and a packing line.\n"
        "Kiln Inlet Temperature\tnumber\tbase=1050 amplitude=35 period=90 decimals=1 "
        "noise=0.1\n"
        "Kiln Outlet Temperature\tnumber\tbase=420 amplitude=15 period=120 decimals=1\n"
        "Kiln Speed\tnumber\tbase=3.2 amplitude=0.4 period=45 decimals=2\n"
        "Kiln Main Drive\tstate\tstates=RUNNING|RUNNING|RUNNING|OFF period=40\n"
        "Kiln Feed Rate t/h\tnumber\tbase=210 amplitude=12 period=70 decimals=0 noise=0.2\n"
        "Boiler Feed Water Flow\tnumber\tbase=125 amplitude=20 period=75 decimals=2\n"
        "Boiler Drum Pressure\tnumber\tbase=42 amplitude=3 period=50 decimals=3\n"
        "Boiler Drum Level\tnumber\tbase=0 amplitude=35 period=40 decimals=1 noise=0.1\n"
        "Boiler Burner\tstate\tstates=OFF|RUNNING|RUNNING|FAULT period=20\n"
        "Boiler Steam Total\tcounter\tstart=982345 rate=12.5\n"
        "Tank1.Level\tnumber\tbase=62 amplitude=30 period=200 decimals=1\n"
        "Tank1.Temperature\tnumber\tbase=55 amplitude=4 period=150 decimals=1\n"
        "Tank2.Level\tnumber\tbase=40 amplitude=38 period=260 decimals=1\n"
        "Tank2.Valve\tstate\tstates=OPEN|CLOSED period=25\n"
        "Line3.Speed.PV\tnumber\tbase=120 amplitude=10 period=30 decimals=1 noise=0.05\n"
        "Line3.Speed.SP\tnumber\tbase=120 decimals=1\n"
        "Line3.Motor.Current\tnumber\tbase=48 amplitude=6 period=35 decimals=2\n"
        "Line3.State\tstate\tstates=OFF|RUNNING|RUNNING|RUNNING|FAULT period=30\n"
        "Line_3 Speed\tnumber\tbase=118 amplitude=8 period=33 decimals=0\n"
        "Line_3 Product Count\tcounter\tstart=1000 rate=2.5\n"
        "Packer Bag Count\tcounter\tstart=0 rate=1\n"
        "Packer State\tstate\tstates=OFF|RUNNING|FAULT period=15\n"
        "Compressor1.Discharge.Pressure\tnumber\tbase=7.5 amplitude=0.6 period=20 decimals=2\n"
        "Compressor1.Running Hours\tcounter\tstart=23456 rate=0.01\n"
        "Outdoor Temperature\tnumber\tbase=-4 amplitude=6 period=300 decimals=1\n"
        "Freezer Temperature\tnumber\tbase=-18 amplitude=1.5 period=80 decimals=2\n"
        "Cooling Water dP\tnumber\tbase=0.8 amplitude=0.3 period=60 decimals=3\n"
        "Stack O2\tnumber\tbase=3.5 amplitude=0.8 period=55 decimals=1\n"
        "Stack CO ppm\tnumber\tbase=45 amplitude=30 period=65 decimals=0 noise=0.3\n"
        "Mill Motor Power kW\tnumber\tbase=3150 amplitude=250 period=95 decimals=0\n"
        "Raw Mix LSF\tnumber\tbase=96.5 amplitude=1.2 period=400 decimals=2\n"
        "Cement Silo 2 Level\tnumber\tbase=71 amplitude=9 period=500 decimals=0\n"
        "Dust Filter DP mbar\tnumber\tbase=12 amplitude=2 period=45 decimals=1\n"
        "Lab Sample pH\tnumber\tbase=7.1 amplitude=0.3 period=120 decimals=2 empty=0.5\n"
        "Recipe\tstate\tstates=Standard|High Strength|Low Alkali period=60\n"
        "Batch Description\ttext\tBatch 17, grade A, silo 3\n"
        "Operator Note\ttext\tCheck filter, then restart\n"
        "Conveyor 7 Belt Alarm\tstate\tstates=OK|OK|OK|ALARM period=12\n"
        "Very Long Tag Name Used To Test The Heading Line Layout Of Columns\tnumber\t"
        "base=5 amplitude=5 period=30 decimals=1\n"
        "PV\tnumber\tbase=50 amplitude=50 period=10 decimals=0\n"
        "X1\tcounter\tstart=-100 rate=3\n");
    return text;
}

std::vector<TagDef> BuiltInTags() {
    return ParseTagFile(BuiltInTagFile());
}

std::vector<TagDef> SyntheticTags(qsizetype count) {
    std::vector<TagDef> tags;
    tags.reserve(size_t(std::max<qsizetype>(0, count)));
    static const QList<QByteArray> states = {"OFF", "RUNNING", "FAULT"};
    for (qsizetype i = 0; i < count; ++i) {
        TagDef tag;
        tag.name = "Area" + QByteArray::number(i / 1000 % 100).rightJustified(2, '0') + ".Tag" +
                   QByteArray::number(i + 1).rightJustified(6, '0');
        switch (i % 4) {
        case 0:
            tag.base = double(i % 500);
            tag.amplitude = 10 + double(i % 7);
            tag.period = 20 + double(i % 40);
            tag.decimals = 2;
            break;
        case 1:
            tag.kind = TagDef::Kind::Counter;
            tag.base = double(i);
            tag.rate = 1 + double(i % 5);
            break;
        case 2:
            tag.kind = TagDef::Kind::State;
            tag.states = states;
            tag.period = 5 + double(i % 20);
            break;
        default:
            tag.base = -50;
            tag.amplitude = 100;
            tag.period = 30 + double(i % 60);
            break;
        }
        tags.push_back(std::move(tag));
    }
    return tags;
}

} // namespace gateway
