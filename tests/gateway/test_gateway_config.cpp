// The hub's live-tag logic without servers: reading a tag file with brokers and devices, how
// Modbus reads are grouped into requests, how registers decode, and how MQTT payloads become
// values.

#include "gateway/ModbusPlan.h"
#include "gateway/MqttPayload.h"
#include "gateway/TagFile.h"
#include "gateway/WireText.h"

#include <QFile>
#include <QTest>

using namespace gateway;

class TestGatewayConfig : public QObject {
    Q_OBJECT

private slots:
    void readsEverySource();
    void exampleFileReads();
    void refusesFaults_data();
    void refusesFaults();
    void groupsReads_data();
    void groupsReads();
    void decodesRegisters_data();
    void decodesRegisters();
    void takesMqttValues_data();
    void takesMqttValues();
    void readsEveryTagOfATopic();
};

void TestGatewayConfig::readsEverySource() {
    qputenv("SVC_TEST_MQTT_PASSWORD", "s3cret word");
    QStringList errors;
    const HubConfig config = ParseHubConfig(
        "Sim\tnumber\tbase=3\n"
        // tags may name sources that come later in the file
        "Boiler Temp\tmqtt\tbroker=plant topic=site/boiler json=data.temp decimals=1 stale=30\n"
        "Kiln Speed\tmodbus\tdevice=plc table=input address=7 type=float32 order=CDAB "
        "scale=0.5 offset=-1 decimals=2\n"
        "Pump Run\tmodbus\tdevice=plc table=coil address=3\n"
        "plant\tbroker\thost=localhost port=8883 clientid=hub1 user=ops "
        "passwordenv=SVC_TEST_MQTT_PASSWORD cafile=/etc/ca.pem keepalive=20\n"
        "plc\tdevice\thost=10.0.0.5 port=1502 unit=3 poll=0.25 timeout=2 gap=4\n",
        &errors);
    QCOMPARE(errors, QStringList());
    QCOMPARE((std::vector<size_t>{config.tags.size(), config.brokers.size(), config.devices.size(),
                                  config.mqttTags.size(), config.modbusTags.size()}),
             (std::vector<size_t>{4, 1, 1, 1, 2}));
    QCOMPARE(config.tags[1].kind, TagDef::Kind::Live);
    QCOMPARE(config.staleMs, (std::vector<qint64>{30000, 0, 0}));

    const MqttBroker& b = config.brokers[0];
    QCOMPARE(std::tie(b.host, b.port, b.clientId, b.user, b.password, b.caFile, b.keepAliveSeconds),
             std::tuple(QString("localhost"), quint16(8883), QString("hub1"), QString("ops"),
                        QString("s3cret word"), QString("/etc/ca.pem"), 20));
    const MqttTag& m = config.mqttTags[0];
    QCOMPARE(
        std::tie(m.broker, m.slot, m.topic, m.jsonPath, m.decimals),
        std::tuple(0, config.tags[1].slot, QByteArray("site/boiler"), QString("data.temp"), 1));

    const ModbusDevice& d = config.devices[0];
    QCOMPARE(std::tie(d.host, d.port, d.unit, d.pollMs, d.timeoutMs, d.maxGap),
             std::tuple(QString("10.0.0.5"), quint16(1502), 3, 250, 2000, 4));
    const ModbusTag& speed = config.modbusTags[0];
    QCOMPARE(std::tie(speed.device, speed.table, speed.address, speed.type, speed.order,
                      speed.scale, speed.offset, speed.decimals),
             std::tuple(0, ModbusTable::InputRegister, 7, ModbusType::Float32, WordOrder::CDAB, 0.5,
                        -1.0, 2));
    QCOMPARE(config.modbusTags[1].type, ModbusType::Bool); // a coil is a bit by default
}

void TestGatewayConfig::exampleFileReads() {
    QFile file(QStringLiteral(SVC_SOURCE_DIR "/data/plant-gateway.tags"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList errors;
    const HubConfig config = ParseHubConfig(file.readAll(), &errors);
    QCOMPARE(errors, QStringList());
    QVERIFY(config.brokers.size() == 1 && config.devices.size() == 1 && !config.mqttTags.empty() &&
            !config.modbusTags.empty());
}

void TestGatewayConfig::refusesFaults_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    // Each faulty line comes after a comment, a good broker and a good device.
    const auto row = [](const char* name, const char* lines, const char* error) {
        QTest::newRow(name) << "# plant\nb\tbroker\thost=127.0.0.1\nd\tdevice\thost=127.0.0.1\n" +
                                   QByteArray(lines)
                            << QString::fromUtf8(error);
    };
    row("unknown kind", "A\tanalog\tbase=1", "line 4: unknown kind");
    row("no kind", "Just a name", "line 4: expected name<TAB>kind<TAB>parameters");
    row("tab in text", "A\ttext\tone\ttwo", "line 4: too many tabs");
    row("unknown key of a number", "A\tnumber\tbsae=1", "line 4: unknown parameter \"bsae\"");
    row("not a number", "A\tnumber\tbase=lots", "line 4: \"base=lots\" is not a number");
    row("state without states", "A\tstate\tperiod=3", "line 4: a state tag needs states=A|B|...");
    row("too many decimals", "A\tnumber\tdecimals=12", "line 4: decimals must be 0 to 9");
    row("unknown key", "A\tmqtt\tbroker=b topic=t qos=1", "line 4: unknown parameter \"qos\"");
    row("bad number", "A\tmodbus\tdevice=d address=ten",
        "line 4: \"address=ten\" must be a whole number");
    row("duplicate tag", "A\tnumber\nB\tnumber\nA\ttext\tx",
        "line 6: duplicate tag name \"A\" (first on line 4)");
    row("comma in name", "A,B\tmqtt\tbroker=b topic=t", "line 4: a tag name cannot hold \",\"");
    row("unknown device", "A\tmodbus\tdevice=plc9 address=1", "line 4: unknown device \"plc9\"");
    row("unknown broker", "A\tmqtt\tbroker=nowhere topic=t", "line 4: unknown broker \"nowhere\"");
    row("port out of range", "c\tbroker\tport=70000", "line 4: \"port=70000\"");
    row("poll of zero", "e\tdevice\tpoll=0", "line 4: \"poll=0\" must be seconds");
    row("wildcard topic", "A\tmqtt\tbroker=b topic=site/+/temp",
        "line 4: a topic cannot hold the wildcards");
    row("bool in a register", "A\tmodbus\tdevice=d type=bool",
        "line 4: type bool belongs to coils");
    row("unknown order", "A\tmodbus\tdevice=d order=ABDC",
        "line 4: order must be ABCD, DCBA, BADC or CDAB");
    row("past the last address", "A\tmodbus\tdevice=d address=65535 type=float32",
        "line 4: the value runs past address 65535");
    row("unset password variable", "c\tbroker\tpasswordenv=SVC_TEST_UNSET_VARIABLE",
        "line 4: environment variable SVC_TEST_UNSET_VARIABLE is not set");
    // Whatever goes wrong on a broker line, the password stays out of the message.
    row("password and a bad port", "c\tbroker\tpassword=Hunter2 port=x",
        "line 4: \"port=x\" must be a whole number");
    row("password and an unknown key", "c\tbroker\tpassword=Hunter2 bogus=1",
        "line 4: unknown parameter \"bogus\"");
    row("password and a loose word", "c\tbroker\tloose password=Hunter2",
        "line 4: parameters must be key=value pairs");
}

void TestGatewayConfig::refusesFaults() {
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    QStringList errors;
    ParseHubConfig(text, &errors);
    QVERIFY2(!errors.isEmpty(), "accepted");
    QVERIFY2(errors.front().startsWith(error) &&
                 !errors.front().contains(QStringLiteral("Hunter2")),
             qPrintable(errors.join(QLatin1Char('\n'))));
}

void TestGatewayConfig::groupsReads_data() {
    // Tags as "table:address:type ..."; requests as "table:start+count ...".
    QTest::addColumn<QString>("tags");
    QTest::addColumn<int>("maxGap");
    QTest::addColumn<QString>("requests");

    QTest::newRow("neighbours share one request")
        << "holding:3:uint16 holding:0:float32 holding:2:int16" << 0 << "holding:0+4";
    QTest::newRow("overlapping values") << "input:10:float64 input:12:uint16" << 0 << "input:10+4";
    QTest::newRow("gap within limit")
        << "holding:0:uint16 holding:10:uint16" << 9 << "holding:0+11";
    QTest::newRow("gap beyond limit")
        << "holding:0:uint16 holding:10:uint16" << 8 << "holding:0+1 holding:10+1";
    QTest::newRow("tables never mix")
        << "holding:0:uint16 input:1:uint16 coil:2:bool" << 100 << "coil:2+1 input:1+1 holding:0+1";
    QTest::newRow("125 registers at most")
        << "holding:0:uint16 holding:123:float32 holding:124:uint16 holding:125:uint16" << 200
        << "holding:0+125 holding:125+1";
    QTest::newRow("a value never split")
        << "holding:0:uint16 holding:124:float32" << 200 << "holding:0+1 holding:124+2";
    QTest::newRow("2000 bits at most")
        << "coil:0:bool coil:1999:bool coil:2000:bool" << 2000 << "coil:0+2000 coil:2000+1";
}

void TestGatewayConfig::groupsReads() {
    QFETCH(QString, tags);
    QFETCH(int, maxGap);
    QFETCH(QString, requests);
    static const QStringList tables{"coil", "discrete", "input", "holding"};
    static const QStringList types{"bool",   "int16",   "uint16", "int32",
                                   "uint32", "float32", "int64",  "float64"};
    std::vector<ModbusTag> list;
    for (const QString& item : tags.split(QLatin1Char(' '))) {
        const QStringList parts = item.split(QLatin1Char(':'));
        list.push_back({.table = ModbusTable(tables.indexOf(parts[0])),
                        .address = parts[1].toInt(),
                        .type = ModbusType(types.indexOf(parts[2]))});
    }
    QStringList got;
    std::vector<int> served(list.size(), 0);
    for (const ModbusRead& read : PlanModbusReads(list, maxGap)) {
        got << QStringLiteral("%1:%2+%3")
                   .arg(tables[int(read.table)])
                   .arg(read.start)
                   .arg(read.count);
        for (size_t t : read.tags) {
            ++served[t];
            QVERIFY(list[t].address >= read.start);
            QVERIFY(list[t].address + ModbusWidth(list[t].type) <= read.start + read.count);
        }
    }
    QCOMPARE(got.join(QLatin1Char(' ')), requests);
    QCOMPARE(served, std::vector<int>(list.size(), 1));
}

// Every type in every word order is decoded against a real device in test_hub_sources; these
// rows are the cases a device there does not give: NaN, rounding, a value past 2^53.
void TestGatewayConfig::decodesRegisters_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("order");
    QTest::addColumn<QList<quint16>>("words");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<QByteArray>("text");

    using T = ModbusType;
    using O = WordOrder;
    auto row = [](const char* name, T type, O order, QList<quint16> words, int decimals,
                  const char* text) {
        QTest::newRow(name) << int(type) << int(order) << words << decimals << QByteArray(text);
    };
    row("int32 DCBA", T::Int32, O::DCBA, {0xEB32, 0xA4F8}, 0, "-123456789");
    row("float32 CDAB", T::Float32, O::CDAB, {0x0000, 0xC148}, 1, "-12.5");
    row("int64 past 2^53 ABCD", T::Int64, O::ABCD, {0xFFDF, 0xFFFF, 0xFFFF, 0xFFFF}, 0,
        "-9007199254740993");
    row("float64 DCBA", T::Float64, O::DCBA, {0, 0, 0, 0xF83F}, 0, "2"); // 1.5 rounds up
    row("float32 NaN is empty", T::Float32, O::ABCD, {0x7FC0, 0x0000}, 1, "");
    row("bool", T::Bool, O::ABCD, {1}, 0, "1");
}

void TestGatewayConfig::decodesRegisters() {
    QFETCH(int, type);
    QFETCH(int, order);
    QFETCH(QList<quint16>, words);
    QFETCH(int, decimals);
    QFETCH(QByteArray, text);
    const ModbusTag tag{.type = ModbusType(type), .order = WordOrder(order), .decimals = decimals};
    QCOMPARE(ModbusValueText(tag, DecodeRegisters(words.constData(), tag.type, tag.order)), text);
}

void TestGatewayConfig::takesMqttValues_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<qsizetype>("tooLong");
    const auto row = [](const char* name, const char* json, int decimals, double scale,
                        const QByteArray& payload, const QByteArray& value, qsizetype tooLong = 0) {
        QTest::newRow(name) << QString::fromUtf8(json) << decimals << scale << payload << value
                            << tooLong;
    };
    row("text as it came", "", -1, 1, "RUNNING, line 3", "RUNNING, line 3");
    row("tabs and line breaks become blanks", "", -1, 1, "a\tb\r\nc", "a b  c");
    row("number with decimals", "", 2, 1, " 21.456 ", "21.46");
    row("scaled", "", 1, 0.1, "1234", "123.4");
    row("not a number is empty", "", 1, 1, "n/a", "");
    row("json field", "value", -1, 1, R"({"value": 21.5})", "21.5");
    row("nested json field", "data.temp", 1, 1, R"({"data": {"temp": 7, "rh": 40}})", "7.0");
    row("json array element", "data.1", -1, 1, R"({"data": [5, 6]})", "6");
    row("array at the top", "1.v", -1, 1, R"([{"v": 1}, {"v": true}])", "1");
    row("missing field is empty", "data.hum", -1, 1, R"({"data": {"temp": 7}})", "");
    row("position in an object is a key", "data.0", -1, 1, R"({"data": {"0": "zero"}})", "zero");
    row("key in an array is nothing", "data.x", -1, 1, R"({"data": [1]})", "");
    row("not json is empty", "value", -1, 1, "21.5", "");
    row("broken after the field is empty", "value", -1, 1, R"({"value": 1, "x": [})", "");
    row("too deep is empty", "a", -1, 1,
        R"({"a": 1, "b": )" + QByteArray(1024, '[') + QByteArray(1024, ']') + "}", "");
    row("deep enough", "a", -1, 1,
        R"({"a": 1, "b": )" + QByteArray(1023, '[') + QByteArray(1023, ']') + "}", "1");
    row("byte order mark", "a", -1, 1, "\xEF\xBB\xBF{\"a\": 2}", "2");
    row("last of a repeated key", "a.b", -1, 1, R"({"a": {"b": 1}, "a": {"c": 2}})", "");
    row("last of a repeated key inside", "a.b", -1, 1, R"({"a": {"b": 1, "b": "two"}})", "two");
    row("escaped key", "café", -1, 1, R"({"caf\u00e9": "ok"})", "ok");
    row("exponent", "n", -1, 1, R"({"n": 25e-1})", "2.5");
    row("minus zero", "n", -1, 1, R"({"n": -0.0})", "0");
    row("true and false", "b.1", -1, 1, R"({"b": [true, false]})", "0");
    row("null is empty", "n", 2, 1, R"({"n": null})", "");
    row("number text with decimals", "n", 1, 1, R"({"n": " 3.26"})", "3.3");
    // Every value is clean text: control characters become blanks, invalid UTF-8 U+FFFD,
    // also when they come as escapes in a JSON string.
    row("NUL and controls in a payload", "", -1, 1, QByteArray("a\0b\x01\x7F", 5), "a b  ");
    row("C1 control", "", -1, 1, "x\xC2\x85y", "x y");
    row("invalid UTF-8", "", -1, 1, "\xFF\xC3(ok", "\xEF\xBF\xBD\xEF\xBF\xBD(ok");
    row("NUL escape in JSON", "s", -1, 1, R"({"s": "a\u0000b\tc\n"})", "a b c ");
    row("escapes in JSON", "s", -1, 1, R"({"s": "\u00e9\ud83d\ude00 \/\""})",
        "\xC3\xA9\xF0\x9F\x98\x80 /\"");
    row("lone surrogate in JSON", "s", -1, 1, R"({"s": "\ud800!"})", "?!");
    // Values longer than MaxValueBytes are published empty.
    row("longest value", "", -1, 1, QByteArray(MaxValueBytes, 'x'), QByteArray(MaxValueBytes, 'x'));
    row("value too long", "", -1, 1, QByteArray(MaxValueBytes + 1, 'x'), "", MaxValueBytes + 1);
    row("too long once cleaned", "", -1, 1, QByteArray(400, '\xFF'), "", 1200);
    row("fits once cleaned", "", -1, 1, QByteArray(1022, 'x') + "\xC2\x85\xC2\x85",
        QByteArray(1022, 'x') + "  ");
    row("far too long to clean", "", -1, 1, QByteArray(2049, 'x'), "", 2049);
    row("json field too long", "s", -1, 1, R"({"n": 1, "s": ")" + QByteArray(2000, 'y') + "\"}", "",
        2000);
    row("escaped json field that fits", "s", -1, 1,
        R"({"s": ")" + QByteArray("\\u0041").repeated(1024) + "\"}", QByteArray(1024, 'A'));
    row("escaped json field too long", "s", -1, 1,
        R"({"s": ")" + QByteArray("\\u0041").repeated(1000) + QByteArray(25, 'A') + "\"}", "",
        1025);
    // Not decoded at all: its length is given as written.
    row("far too long escaped json field", "s", -1, 1,
        R"({"s": ")" + QByteArray("\\u0041").repeated(1025) + "\"}", "", 6150);
    row("number text too long", "", 2, 1, "1" + QByteArray(1100, '0'), "", 1101);
    row("short field of a long payload", "n", 0, 1,
        R"({"big": ")" + QByteArray(100000, 'z') + R"(", "n": 4})", "4");
}

void TestGatewayConfig::takesMqttValues() {
    QFETCH(QString, json);
    QFETCH(int, decimals);
    QFETCH(double, scale);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, value);
    QFETCH(qsizetype, tooLong);
    MqttTag tag;
    tag.jsonPath = json;
    tag.decimals = decimals;
    tag.scale = scale;
    const MqttValue read = MqttTagValue(tag, payload);
    QCOMPARE(read.text, value);
    QCOMPARE(read.tooLong, tooLong);
}

// The tags of one topic are read together, in one pass over a JSON payload; each gets what it
// would get alone, whatever paths the others follow.
void TestGatewayConfig::readsEveryTagOfATopic() {
    const QByteArray payload = R"({"a": {"b": [10, {"c": "x"}], "a": 1}, "a2": 2, "": {"": 3}})";
    std::vector<MqttTag> tags;
    for (const char* path : {"a.b.1.c", "a.b.0", "a.a", "a", "a.b.1.c", "", ".", "a2", "a.b.2"}) {
        MqttTag tag;
        tag.jsonPath = QString::fromUtf8(path);
        tags.push_back(tag);
    }
    tags.back().decimals = 1;
    std::vector<MqttValue> values;
    MqttTopicReader(tags).Read(payload, values);
    QStringList got;
    for (const MqttValue& value : values)
        got << QString::fromUtf8(value.text);
    QCOMPARE(got, (QStringList{"x", "10", "1", "", "x", QString::fromUtf8(payload), "3", "2", ""}));
}

QTEST_GUILESS_MAIN(TestGatewayConfig)
#include "test_gateway_config.moc"
