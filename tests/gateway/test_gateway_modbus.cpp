// The Modbus source in-process against a real pymodbus device, where each tag's quality can be
// seen: exceptions and the reads split around a missing address, several unit ids over one
// connection, how many requests are on their way at once, and Modbus RTU over a serial line
// (a socat pseudo-terminal pair).

#include "gateway/ModbusSource.h"
#include "support/SourceRun.h"
#include "support/TestServers.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace gateway;
using Device = testservers::ModbusDevice;
using testservers::SerialLine;

namespace {

// Long enough for a server to start or a source to reconnect on a loaded machine.
constexpr int Wait = 20000;

// One device's tags from a tag file, read by a ModbusSource on this thread.
class Source : public SourceRun<ModbusSource> {
public:
    explicit Source(const QByteArray& tagFile)
        : SourceRun(tagFile, [](const HubConfig& config, LiveValues& values) {
              if (config.devices.size() != 1)
                  qFatal("the tag file names %d devices, not one", int(config.devices.size()));
              return std::make_unique<ModbusSource>(config.devices[0], config.modbusTags, values);
          }) {}
};

QVariantMap Holding(int address, const QVariantList& words) {
    return {{"table", "holding"}, {"address", address}, {"words", words}};
}

} // namespace

class TestGatewayModbus : public QObject {
    Q_OBJECT

private slots:
    void qualitiesSayWhyAValueIsEmpty();
    void unitsShareOneConnection();
    void requestsInFlightAreBounded_data();
    void requestsInFlightAreBounded();
    void requestsKeepTheirPause();
    void rtuOverASerialLine();
    void stoppingWithRequestsOnTheirWayIsNoFault();
};

// A hole in the holding registers, an address the device fails on, a unit that does not
// answer and registers that hold no value: each tag says why it is empty, the neighbours of the
// hole keep their values, and each exception is logged once with its code and name.
void TestGatewayModbus::qualitiesSayWhyAValueIsEmpty() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    Device device;
    QVERIFY(device.Start(
        {{"1", QVariantList{QVariantMap{{"table", "holding"}, {"address", 5}, {"missing", 3}},
                            QVariantMap{{"table", "holding"}, {"address", 40}, {"fail", true}},
                            Holding(0, {10}), Holding(9, {0x12A4, 0x7E00, 0x1234})}}}));
    // One request at a time: the test device drops whatever follows a request to a unit it
    // does not hold in the same packet.
    Source run("plc\tdevice\tport=" + QByteArray::number(device.port()) +
               " poll=0.1 timeout=1 inflight=1\n"
               "Before\tmodbus\tdevice=plc address=0\n"
               "Hole\tmodbus\tdevice=plc address=6\n"
               // overlaps Hole: the two are asked for together, in the smallest request
               "Wide Hole\tmodbus\tdevice=plc address=5 type=uint32\n"
               "After\tmodbus\tdevice=plc address=11 type=bcd16\n"
               "Bad BCD\tmodbus\tdevice=plc address=9 type=bcd16\n"
               "NaN\tmodbus\tdevice=plc address=10 type=float16\n"
               "Failing\tmodbus\tdevice=plc address=40\n"
               "No Unit\tmodbus\tdevice=plc address=0 unit=9\n");
    const QMap<QString, QString> expected{{"Before", "good 10"},    {"Hole", "refused"},
                                          {"Wide Hole", "refused"}, {"After", "good 1234"},
                                          {"Bad BCD", "invalid"},   {"NaN", "invalid"},
                                          {"Failing", "refused"},   {"No Unit", "offline"}};
    QTRY_COMPARE_WITH_TIMEOUT(run.States(), expected, Wait);
    // More polls: nothing changes, nothing is logged again.
    QSignalSpy polls(&run.source(), &ModbusSource::PollDone);
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 3, Wait);
    QCOMPARE(run.States(), expected);
    const QStringList lines{
        "device plc: holding registers 0 to 11 of unit 1 refused as one request (exception 02, "
        "illegal data address); reading its 6 tags in 5 requests from now on",
        "device plc: cannot read holding registers 5 to 6 of unit 1: exception 02, illegal data "
        "address",
        "device plc: cannot read holding registers 40 to 40 of unit 1: exception 04, server "
        "device failure",
        QStringLiteral("device plc (127.0.0.1:%1) unit 9 is unreachable: ").arg(device.port())};
    const QString log = run.LogText();
    for (const QString& line : lines)
        QVERIFY2(log.count(line) == 1, qPrintable(line + QStringLiteral("\n---\n") + log));
    QCOMPARE(log.count(QStringLiteral("refused as one request")), 1);
    QVERIFY2(!log.contains(QStringLiteral("unit 1 is unreachable")), qPrintable(log));
}

// Three units behind one gateway, on one device line: one TCP connection carries them all.
void TestGatewayModbus::unitsShareOneConnection() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    Device plant;
    QVERIFY(plant.StartRecorded({{"1", QVariantList{Holding(0, {101})}},
                                 {"2", QVariantList{Holding(0, {202})}},
                                 {"3", QVariantList{Holding(0, {303})}}},
                                0));
    Source run("gw\tdevice\tport=" + QByteArray::number(plant.port()) +
               " unit=2 poll=0.1 timeout=5\n"
               "One\tmodbus\tdevice=gw address=0 unit=1\n"
               "Two\tmodbus\tdevice=gw address=0\n"
               "Three\tmodbus\tdevice=gw address=0 unit=3\n");
    const QMap<QString, QString> expected{
        {"One", "good 101"}, {"Two", "good 202"}, {"Three", "good 303"}};
    QTRY_COMPARE_WITH_TIMEOUT(run.States(), expected, Wait);
    QSignalSpy polls(&run.source(), &ModbusSource::PollDone);
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 3, Wait);
    const QVariantMap stats = plant.Stats();
    QCOMPARE(stats.value("connections").toInt(), 1);
    QVariantList units = stats.value("units").toList();
    std::sort(units.begin(), units.end(),
              [](const QVariant& a, const QVariant& b) { return a.toInt() < b.toInt(); });
    QCOMPARE(units, (QVariantList{1, 2, 3}));
    // The units answer: the log names each as it first answers, and nothing else.
    QCOMPARE(run.Log().filter(QStringLiteral("connected")).size(), 3);
    QVERIFY2(run.Log().filter(QStringLiteral("unreachable")).isEmpty(), qPrintable(run.LogText()));
}

void TestGatewayModbus::requestsInFlightAreBounded_data() {
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<int>("most");
    QTest::newRow("one at a time") << QByteArray("inflight=1") << 1;
    QTest::newRow("three") << QByteArray("inflight=3") << 3;
    QTest::newRow("the default over TCP") << QByteArray() << DefaultTcpInFlight;
}

// Ten requests a poll against a device that takes 50 ms for each answer: the recorder in front
// of it sees at most `most` requests waiting for their answers on the connection, and that many
// at some point.
void TestGatewayModbus::requestsInFlightAreBounded() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    QFETCH(QByteArray, keys);
    QFETCH(int, most);
    Device device;
    QVERIFY(device.StartRecorded({{"1", QVariantList{}}}, 0.05));
    QByteArray file = "plc\tdevice\tport=" + QByteArray::number(device.port()) +
                      " gap=0 poll=0.1 timeout=10 " + keys + '\n';
    for (int i = 0; i < 10; ++i)
        file += "T" + QByteArray::number(i) +
                "\tmodbus\tdevice=plc address=" + QByteArray::number(i * 10) + '\n';
    Source run(file);
    QCOMPARE(run.source().RequestsPerPoll(), 10);
    QSignalSpy polls(&run.source(), &ModbusSource::PollDone);
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 3, Wait);
    QCOMPARE(run.State("T9"), QStringLiteral("good 0"));
    QCOMPARE(device.Stats().value("max_outstanding").toInt(), most);
}

// pause= keeps requests apart even when several may be on their way.
void TestGatewayModbus::requestsKeepTheirPause() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    Device device;
    QVERIFY(device.StartRecorded({{"1", QVariantList{}}}, 0));
    QByteArray file = "plc\tdevice\tport=" + QByteArray::number(device.port()) +
                      " gap=0 poll=0.1 inflight=4 pause=0.08\n";
    for (int i = 0; i < 5; ++i)
        file += "T" + QByteArray::number(i) +
                "\tmodbus\tdevice=plc address=" + QByteArray::number(i * 10) + '\n';
    Source run(file);
    QSignalSpy polls(&run.source(), &ModbusSource::PollDone);
    QTRY_VERIFY_WITH_TIMEOUT(polls.count() >= 2, Wait);
    const QVariantMap stats = device.Stats();
    QVERIFY(stats.value("requests").toInt() >= 10);
    // Measured where the requests arrive, so a little earlier than sent is possible.
    QVERIFY2(stats.value("min_spacing").toDouble() >= 0.07,
             qPrintable(stats.value("min_spacing").toString()));
}

// Modbus RTU: two units on one serial line, read through a socat pty pair from a pymodbus
// serial device. When the device stops answering its tags go offline; they come back with it.
void TestGatewayModbus::rtuOverASerialLine() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    REQUIRE_PROGRAM(!SerialLine::Binary().isEmpty(), "socat");
    REQUIRE_PROGRAM(
        testservers::RunTool(testservers::Python,
                             {QStringLiteral("-c"), QStringLiteral("import serial_asyncio")}),
        "python3-serial-asyncio");
    SerialLine line;
    QVERIFY(line.Start());
    const QVariantMap units{{"1", QVariantList{Holding(0, {0x4142, 0x4300}), Holding(2, {7})}},
                            {"2", QVariantList{Holding(0, {0x0042})}}};
    const QVariantMap serial{
        {"serial", line.DeviceEnd()}, {"baudrate", 19200}, {"bytesize", 8}, {"stopbits", 1}};
    Device device;
    QVERIFY(device.Start(units, serial));
    Source run("bus\tdevice\tport=" + line.HubEnd().toUtf8() +
               " baud=19200 parity=E databits=8 stopbits=1 poll=0.1 timeout=1\n"
               "Name\tmodbus\tdevice=bus address=0 type=string length=4\n"
               "Count\tmodbus\tdevice=bus address=2\n"
               "Flag\tmodbus\tdevice=bus address=0 unit=2 bit=6\n");
    const QMap<QString, QString> expected{
        {"Name", "good ABC"}, {"Count", "good 7"}, {"Flag", "good 1"}};
    QTRY_COMPARE_WITH_TIMEOUT(run.States(), expected, Wait);

    device.Stop();
    const QMap<QString, QString> away{
        {"Name", "offline"}, {"Count", "offline"}, {"Flag", "offline"}};
    QTRY_COMPARE_WITH_TIMEOUT(run.States(), away, Wait);
    QVERIFY(device.Start(units, serial));
    QTRY_COMPARE_WITH_TIMEOUT(run.States(), expected, Wait);
    const QString where = QStringLiteral("device bus (%1) unit ").arg(line.HubEnd());
    for (const char* unit : {"1", "2"}) {
        QCOMPARE(run.Log().count(where + QLatin1String(unit) + QStringLiteral(" connected")), 1);
        QCOMPARE(run.Log()
                     .filter(where + QLatin1String(unit) + QStringLiteral(" is unreachable"))
                     .size(),
                 1);
        QCOMPARE(run.Log().count(where + QLatin1String(unit) + QStringLiteral(" is back")), 1);
    }
}

QTEST_GUILESS_MAIN(TestGatewayModbus)
#include "test_gateway_modbus.moc"

// A source that ends while its requests are on their way (a reload, the hub stopping) aborts
// them; that is no fault of the device, which must not be logged as unreachable.
void TestGatewayModbus::stoppingWithRequestsOnTheirWayIsNoFault() {
    // A device that takes requests and never answers them, so some are always on their way.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QByteArray received;
    QObject::connect(&silent, &QTcpServer::newConnection, &silent, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection())
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [&received, socket] { received += socket->readAll(); });
    });
    Source run("plc\tdevice\tport=" + QByteArray::number(silent.serverPort()) +
               " poll=0.1 timeout=30 inflight=4\n"
               "A\tmodbus\tdevice=plc address=0\n"
               "B\tmodbus\tdevice=plc address=100\n");
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= 24, Wait); // both requests sent
    run.Stop();
    QVERIFY2(run.Log().filter(QStringLiteral("unreachable")).isEmpty(), qPrintable(run.LogText()));
}
