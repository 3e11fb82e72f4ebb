// The hub's live-tag logic without servers: reading a tag file with brokers and devices, how
// Modbus reads are grouped into requests, how registers decode, and how MQTT payloads become
// values.

#include "ModbusPlan.h"
#include "MqttSource.h"
#include "TagFile.h"

#include <QFile>
#include <QTest>

using namespace demohub;

class TestHubConfig : public QObject {
    Q_OBJECT

private slots:
    void readsEverySource();
    void exampleFileReads();
    void refusesFaults_data();
    void refusesFaults();
    void passwordNeverInErrors();
    void groupsReads_data();
    void groupsReads();
    void decodesRegisters_data();
    void decodesRegisters();
    void takesMqttValues_data();
    void takesMqttValues();
};

void TestHubConfig::readsEverySource() {
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
    QCOMPARE(config.tags.size(), size_t(4));
    QCOMPARE(config.tags[1].kind, TagDef::Kind::Live);
    QCOMPARE(config.staleMs, (std::vector<qint64>{30000, 0, 0}));

    QCOMPARE(config.brokers.size(), size_t(1));
    const MqttBroker& broker = config.brokers[0];
    QCOMPARE(broker.port, 8883);
    QCOMPARE(broker.password, QStringLiteral("s3cret word"));
    QCOMPARE(broker.caFile, QStringLiteral("/etc/ca.pem"));
    QCOMPARE(broker.keepAliveSeconds, 20);
    const MqttTag& mqtt = config.mqttTags.at(0);
    QCOMPARE(mqtt.broker, 0);
    QCOMPARE(mqtt.slot, config.tags[1].slot);
    QCOMPARE(mqtt.topic, QByteArray("site/boiler"));
    QCOMPARE(mqtt.jsonPath, QStringLiteral("data.temp"));

    const ModbusDevice& device = config.devices.at(0);
    QCOMPARE(device.unit, 3);
    QCOMPARE(device.pollMs, 250);
    QCOMPARE(device.timeoutMs, 2000);
    const ModbusTag& speed = config.modbusTags.at(0);
    QCOMPARE(speed.table, ModbusTable::InputRegister);
    QCOMPARE(speed.type, ModbusType::Float32);
    QCOMPARE(speed.order, WordOrder::CDAB);
    QCOMPARE(speed.scale, 0.5);
    QCOMPARE(speed.offset, -1.0);
    QCOMPARE(config.modbusTags.at(1).type, ModbusType::Bool); // a coil is a bit by default
}

void TestHubConfig::exampleFileReads() {
    QFile file(QStringLiteral(SVC_SOURCE_DIR "/data/plant-gateway.tags"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QStringList errors;
    const HubConfig config = ParseHubConfig(file.readAll(), &errors);
    QCOMPARE(errors, QStringList());
    QCOMPARE(config.brokers.size(), size_t(1));
    QCOMPARE(config.devices.size(), size_t(1));
    QVERIFY(!config.mqttTags.empty() && !config.modbusTags.empty());
}

void TestHubConfig::refusesFaults_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    const QByteArray sources = "b\tbroker\thost=127.0.0.1\nd\tdevice\thost=127.0.0.1\n";
    QTest::newRow("unknown kind") << sources + "A\tanalog\tbase=1"
                                  << "line 3: unknown kind";
    QTest::newRow("unknown key") << sources + "A\tmqtt\tbroker=b topic=t qos=1"
                                 << "line 3: unknown parameter \"qos\"";
    QTest::newRow("bad number") << sources + "A\tmodbus\tdevice=d address=ten"
                                << "line 3: \"address=ten\" must be a whole number";
    QTest::newRow("duplicate tag") << sources + "A\tnumber\nB\tnumber\nA\ttext\tx"
                                   << "line 5: duplicate tag name \"A\" (first on line 3)";
    QTest::newRow("comma in name") << sources + "A,B\tmqtt\tbroker=b topic=t"
                                   << "line 3: a tag name cannot hold \",\"";
    QTest::newRow("unknown device") << sources + "A\tmodbus\tdevice=plc9 address=1"
                                    << "line 3: unknown device \"plc9\"";
    QTest::newRow("unknown broker")
        << QByteArray("A\tmqtt\tbroker=nowhere topic=t") << "line 1: unknown broker \"nowhere\"";
    QTest::newRow("port out of range")
        << QByteArray("b\tbroker\tport=70000") << "line 1: \"port=70000\"";
    QTest::newRow("poll of zero") << QByteArray("d\tdevice\tpoll=0")
                                  << "line 1: \"poll=0\" must be seconds";
    QTest::newRow("wildcard topic") << sources + "A\tmqtt\tbroker=b topic=site/+/temp"
                                    << "line 3: a topic cannot hold the wildcards";
    QTest::newRow("bool in a register") << sources + "A\tmodbus\tdevice=d type=bool"
                                        << "line 3: type bool belongs to coils";
    QTest::newRow("unknown order") << sources + "A\tmodbus\tdevice=d order=ABDC"
                                   << "line 3: order must be ABCD, DCBA, BADC or CDAB";
    QTest::newRow("past the last address")
        << sources + "A\tmodbus\tdevice=d address=65535 type=float32"
        << "line 3: the value runs past address 65535";
    QTest::newRow("unset password variable")
        << QByteArray("b\tbroker\tpasswordenv=SVC_TEST_UNSET_VARIABLE")
        << "line 1: environment variable SVC_TEST_UNSET_VARIABLE is not set";
}

void TestHubConfig::refusesFaults() {
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    QStringList errors;
    ParseHubConfig(text, &errors);
    QVERIFY2(!errors.isEmpty(), "accepted");
    QVERIFY2(errors.front().startsWith(error), qPrintable(errors.join(QLatin1Char('\n'))));
}

void TestHubConfig::passwordNeverInErrors() {
    // Whatever goes wrong on a broker line, the password stays out of the message.
    QStringList errors;
    ParseHubConfig("b\tbroker\tpassword=Hunter2 port=x\n"
                   "c\tbroker\tpassword=Hunter2 bogus=1\n"
                   "d\tbroker\tloose password=Hunter2\n",
                   &errors);
    QCOMPARE(errors.size(), 3);
    for (const QString& error : errors)
        QVERIFY2(!error.contains(QStringLiteral("Hunter2")), qPrintable(error));
}

void TestHubConfig::groupsReads_data() {
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

void TestHubConfig::groupsReads() {
    QFETCH(QString, tags);
    QFETCH(int, maxGap);
    QFETCH(QString, requests);
    static const QStringList tables{"coil", "discrete", "input", "holding"};
    static const QStringList types{"bool",   "int16",   "uint16", "int32",
                                   "uint32", "float32", "int64",  "float64"};
    std::vector<ModbusTag> list;
    for (const QString& item : tags.split(QLatin1Char(' '))) {
        const QStringList parts = item.split(QLatin1Char(':'));
        ModbusTag tag;
        tag.table = ModbusTable(tables.indexOf(parts[0]));
        tag.address = parts[1].toInt();
        tag.type = ModbusType(types.indexOf(parts[2]));
        list.push_back(tag);
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
void TestHubConfig::decodesRegisters_data() {
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

void TestHubConfig::decodesRegisters() {
    QFETCH(int, type);
    QFETCH(int, order);
    QFETCH(QList<quint16>, words);
    QFETCH(int, decimals);
    QFETCH(QByteArray, text);
    ModbusTag tag;
    tag.type = ModbusType(type);
    tag.order = WordOrder(order);
    tag.decimals = decimals;
    QCOMPARE(ModbusValueText(tag, DecodeRegisters(words.constData(), tag.type, tag.order)), text);
}

void TestHubConfig::takesMqttValues_data() {
    QTest::addColumn<QString>("json");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("text as it came")
        << "" << -1 << 1.0 << QByteArray("RUNNING, line 3") << QByteArray("RUNNING, line 3");
    QTest::newRow("tabs and line breaks become blanks")
        << "" << -1 << 1.0 << QByteArray("a\tb\r\nc") << QByteArray("a b  c");
    QTest::newRow("number with decimals")
        << "" << 2 << 1.0 << QByteArray(" 21.456 ") << QByteArray("21.46");
    QTest::newRow("scaled") << "" << 1 << 0.1 << QByteArray("1234") << QByteArray("123.4");
    QTest::newRow("not a number is empty") << "" << 1 << 1.0 << QByteArray("n/a") << QByteArray();
    QTest::newRow("json field") << "value" << -1 << 1.0 << QByteArray(R"({"value": 21.5})")
                                << QByteArray("21.5");
    QTest::newRow("nested json field")
        << "data.temp" << 1 << 1.0 << QByteArray(R"({"data": {"temp": 7, "rh": 40}})")
        << QByteArray("7.0");
    QTest::newRow("json array element")
        << "data.1" << -1 << 1.0 << QByteArray(R"({"data": [5, 6]})") << QByteArray("6");
    QTest::newRow("missing field is empty")
        << "data.hum" << -1 << 1.0 << QByteArray(R"({"data": {"temp": 7}})") << QByteArray();
    QTest::newRow("not json is empty")
        << "value" << -1 << 1.0 << QByteArray("21.5") << QByteArray();
}

void TestHubConfig::takesMqttValues() {
    QFETCH(QString, json);
    QFETCH(int, decimals);
    QFETCH(double, scale);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, value);
    MqttTag tag;
    tag.jsonPath = json;
    tag.decimals = decimals;
    tag.scale = scale;
    QCOMPARE(MqttValueText(tag, payload), value);
}

QTEST_GUILESS_MAIN(TestHubConfig)
#include "test_hub_config.moc"
