// The hub as a gateway, against real servers nobody in this project wrote: the Mosquitto
// broker fed by mosquitto_pub, and a pymodbus Modbus TCP device. Each test starts its servers
// on free loopback ports, writes a tag file for them and reads the hub's answers over the
// wire like the wizard does.

#include "hub/Answers.h"
#include "hub/HubReader.h"
#include "support/HubProcess.h"
#include "support/TestServers.h"

#include <QRegularExpression>

using testservers::ModbusDevice;
using testservers::Mosquitto;

namespace {

using Map = QMap<QString, QString>;

// Long enough for a server or the hub to start or reconnect on a loaded machine.
constexpr int Wait = 20000;

// The hub on a tag file of its own, read over the wire as the wizard does.
class TagHub : public HubProcess {
public:
    // Starts the hub on `tags`; false when it did not start.
    bool StartOn(const QByteArray& tags) {
        const QString path = WriteTags(tags);
        if (path.isEmpty() || !Start({QStringLiteral("--tags"), path}))
            return false;
        reader_ = std::make_unique<SVComSrvClass>(name());
        return true;
    }

    // The GETVALUES answer as name -> value.
    Map Values() {
        Map values;
        const QString answer = reader_->ReadInputFile(QStringLiteral("HUB:GETVALUES"));
        for (const QString& entry : answer.split(QLatin1Char('\t'), Qt::SkipEmptyParts)) {
            const qsizetype comma = entry.indexOf(QLatin1Char(','));
            values.insert(entry.left(comma), entry.mid(comma + 1));
        }
        return values;
    }
    QString Value(const char* tag) { return Values().value(QLatin1String(tag)); }
    // The GETTAGS answer, in order.
    QStringList Tags() {
        return reader_->ReadInputFile(QStringLiteral("HUB:GETTAGS"))
            .split(QLatin1Char(','), Qt::SkipEmptyParts);
    }

    // The GETSTATUS answer as name -> quality code.
    Map Status() {
        Map status;
        const QString answer = reader_->ReadInputFile(QStringLiteral("HUB:GETSTATUS"));
        for (const answers::StatusEntry& entry : answers::SplitStatus(answer))
            status.insert(entry.name.toString(), entry.code.toString());
        return status;
    }

private:
    std::unique_ptr<SVComSrvClass> reader_;
};

} // namespace

class TestGatewaySources : public QObject {
    Q_OBJECT

private slots:
    void mqttTagsFollowTheBroker();
    void mqttCredentialsAndTls();
    void mqttClientCertificates();
    void mqttValuesAreCleanAndBounded();
    void mqttSilentBrokersAreLogged();
    void mqttRefusedSubscriptionIsLogged();
    void mqttSubscribesWithTheQosAsked();
    void mqttSpeaksVersion5WhenAsked();
    void mqttTreeMakesTagsAsTopicsArrive();
    void mqttTreeAloneIsAFileToReload();
    void modbusDecodesEveryTypeAndOrder();
    void deadDeviceGoesEmptyOthersKeepUpdating();
    void modbusFaultsEmptyTheirTagsAndSayWhy();
    void reloadReplacesSources();
    void mqttFaultsHaveTheirCodes();
    void modbusFaultsHaveTheirCodes();
    void modbusMalformedAnswerIsInvalid();
    void reloadKeepsUnchangedSources();
};

namespace {

// "unreachable since hh:mm:ss", as a status tag says it.
bool IsUnreachableSince(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^unreachable since [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$"));
    return form.match(text).hasMatch();
}

} // namespace

void TestGatewaySources::mqttTagsFollowTheBroker() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start());
    // Retained values are there before the hub subscribes: they give the first values.
    QVERIFY(broker.Publish(QStringLiteral("site/boiler"), R"({"data": {"temp": 71.26}})", true));
    QVERIFY(broker.Publish(QStringLiteral("site/state"), "RUNNING, line 3", true));

    TagHub hub;
    QVERIFY(hub.StartOn("plant\tbroker\thost=127.0.0.1 port=" + QByteArray::number(broker.port()) +
                        " keepalive=5\n"
                        "Boiler Temp\tmqtt\tbroker=plant topic=site/boiler "
                        "json=data.temp decimals=1\n"
                        "Boiler Temp F\tmqtt\tbroker=plant topic=site/boiler "
                        "json=data.temp decimals=0 scale=1.8 offset=32\n"
                        "Line State\tmqtt\tbroker=plant topic=site/state\n"
                        "Bags\tmqtt\tbroker=plant topic=site/bags decimals=0 stale=2\n"
                        "Sim\ttext\tsimulated\n"));
    Map expected{{"Boiler Temp", "71.3"},
                 {"Boiler Temp F", "160"},
                 {"Line State", "RUNNING, line 3"},
                 {"Bags", ""},
                 {"Sim", "simulated"}};
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);
    // Two tags read one topic; the hub subscribes to it once.
    QCOMPARE(broker.Log().count(QStringLiteral(" 0 site/boiler\n")), 1);
    QVERIFY(broker.Publish(QStringLiteral("site/bags"), "41.6"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Bags"), QStringLiteral("42"), Wait);
    // Not updated for longer than its 2 s staleness time: empty, while the others stay.
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);

    // The broker goes away: its tags go empty, the hub keeps answering.
    broker.Stop();
    for (const char* tag : {"Boiler Temp", "Boiler Temp F", "Line State"})
        expected[QLatin1String(tag)].clear();
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);
    // ... and comes back on the same port: the hub reconnects and subscribes again.
    QVERIFY(broker.Start());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral(" is back")), 2 * Wait);
    QVERIFY(broker.Publish(QStringLiteral("site/boiler"), R"({"data": {"temp": -3}})", true));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Boiler Temp"), QStringLiteral("-3.0"), Wait);

    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QCOMPARE(log.count(QStringLiteral(" went away")), 1);
    QCOMPARE(log.count(QStringLiteral(" is back")), 1);
}

// One broker that takes TLS only and one user with a password. Reached with the right CA and
// password the tags fill; a wrong password, trusting another CA only, or no TLS at all
// (each with the right password) leave them empty, and the log says why without the password.
void TestGatewaySources::mqttCredentialsAndTls() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    REQUIRE_PROGRAM(!testservers::Program(QStringLiteral("openssl")).isEmpty(), "openssl");
    Mosquitto broker;
    QVERIFY(broker.MakeTls());
    const auto startBroker = [&broker] {
        return broker.Start(QStringLiteral("plant"), QStringLiteral("Right-Horse-7")) &&
               broker.Publish(QStringLiteral("t"), "7.5", true,
                              {QStringLiteral("-u"), QStringLiteral("plant"), QStringLiteral("-P"),
                               QStringLiteral("Right-Horse-7")});
    };
    // At first the broker speaks plain MQTT, so every TLS client fails in the handshake.
    broker.ServeTls(false);
    QVERIFY(startBroker());

    TagHub hub;
    const QByteArray at = " port=" + QByteArray::number(broker.port()) + " user=plant ";
    const QByteArray ca = "cafile=" + QFile::encodeName(broker.CaFile());
    const QByteArray right = " passwordenv=SVC_TEST_BROKER_PASSWORD\n";
    qputenv("SVC_TEST_BROKER_PASSWORD", "Right-Horse-7");
    QVERIFY(hub.StartOn("right\tbroker\t" + at + ca + right + "wrong\tbroker\t" + at + ca +
                        " password=Xyzzy-42\n"
                        "wrongca\tbroker\t" +
                        at + "cafile=" + QFile::encodeName(broker.OtherCaFile()) + right +
                        "plain\tbroker\t" + at + right +
                        "Accepted\tmqtt\tbroker=right topic=t decimals=1\n"
                        "Refused\tmqtt\tbroker=wrong topic=t\n"
                        "Untrusted\tmqtt\tbroker=wrongca topic=t\n"
                        "Plain\tmqtt\tbroker=plain topic=t\n"));
    qunsetenv("SVC_TEST_BROKER_PASSWORD");
    const QString where = QStringLiteral("broker %2 (127.0.0.1:%1)").arg(broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(
        hub.Log().contains(where.arg(QStringLiteral("right")) + QStringLiteral(": OpenSSL Error")),
        Wait);
    QTRY_COMPARE_WITH_TIMEOUT(
        hub.Values(), (Map{{"Accepted", ""}, {"Refused", ""}, {"Untrusted", ""}, {"Plain", "7.5"}}),
        Wait);

    // Then it speaks TLS on the same port: the hub tries again after a failed handshake too.
    broker.Stop();
    broker.ServeTls(true);
    QVERIFY(startBroker());
    const QString refused =
        where.arg(QStringLiteral("wrong")) + QStringLiteral(" refused the connection: "
                                                            "Connection Refused: not authorised.");
    const QString untrusted = where.arg(QStringLiteral("wrongca")) +
                              QStringLiteral(": OpenSSL Error[0]: error:0A000086:SSL "
                                             "routines::certificate verify failed");
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(refused) && hub.Log().contains(untrusted), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(
        hub.Values(), (Map{{"Accepted", "7.5"}, {"Refused", ""}, {"Untrusted", ""}, {"Plain", ""}}),
        Wait);
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QVERIFY2(!log.contains(QStringLiteral("Xyzzy")) && !log.contains(QStringLiteral("Horse")),
             qPrintable(log));
}

// A broker that takes only clients with a certificate its CA signed: the hub's certificate
// gets the values; without one the connection is refused, logged once however often the hub
// tries again.
void TestGatewaySources::mqttClientCertificates() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    REQUIRE_PROGRAM(!testservers::Program(QStringLiteral("openssl")).isEmpty(), "openssl");
    Mosquitto broker;
    QVERIFY(broker.MakeTls());
    broker.RequireCertificate(true);
    QVERIFY(broker.Start());
    QVERIFY(broker.Publish(QStringLiteral("t"), "12.5", true));

    TagHub hub;
    const QByteArray tls = " port=" + QByteArray::number(broker.port()) +
                           " cafile=" + QFile::encodeName(broker.CaFile());
    QVERIFY(hub.StartOn("signed\tbroker\t" + tls +
                        " certfile=" + QFile::encodeName(broker.ClientCertFile()) +
                        " keyfile=" + QFile::encodeName(broker.ClientKeyFile()) +
                        "\n"
                        "unsigned\tbroker\t" +
                        tls +
                        "\n"
                        "Signed\tmqtt\tbroker=signed topic=t\n"
                        "Unsigned\tmqtt\tbroker=unsigned topic=t\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"Signed", "12.5"}, {"Unsigned", ""}}), Wait);
    // Three attempts without a certificate, each refused by the broker.
    const QString noCertificate = QStringLiteral("peer did not return a certificate");
    QTRY_VERIFY_WITH_TIMEOUT(broker.Log().count(noCertificate) >= 3, 2 * Wait);
    QCOMPARE(hub.Value("Unsigned"), QString());
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    const QString unsignedWhere =
        QStringLiteral("broker unsigned (127.0.0.1:%1)").arg(broker.port());
    QVERIFY2(log.count(unsignedWhere) == 1, qPrintable(log));
    QVERIFY2(
        log.contains(QStringLiteral("broker signed (127.0.0.1:%1) connected").arg(broker.port())),
        qPrintable(log));
}

// No message can blind the clients: a value longer than 1024 bytes publishes empty while the
// other tags go on, and every value is clean text, whatever bytes or JSON escapes it came with.
// A tag that starts or stops being too long is logged once per change, not once per message.
void TestGatewaySources::mqttValuesAreCleanAndBounded() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start());
    const QByteArray big(2 * 1024 * 1024, 'x');
    QVERIFY(broker.Publish(QStringLiteral("site/big"), big, true));
    QVERIFY(
        broker.Publish(QStringLiteral("site/json"), R"({"s": "a\u0000b\u001Bc", "n": 5})", true));
    QVERIFY(broker.Publish(QStringLiteral("site/raw"), "ok\t\x01\xFF|", true));
    QVERIFY(broker.Publish(QStringLiteral("site/small"), "42.5", true));

    TagHub hub;
    QVERIFY(hub.StartOn("site\tbroker\tport=" + QByteArray::number(broker.port()) +
                        "\n"
                        "Big\tmqtt\tbroker=site topic=site/big\n"
                        "Json Text\tmqtt\tbroker=site topic=site/json json=s\n"
                        "Json Number\tmqtt\tbroker=site topic=site/json json=n decimals=1\n"
                        "Raw\tmqtt\tbroker=site topic=site/raw\n"
                        "Small\tmqtt\tbroker=site topic=site/small\n"));
    Map expected{{"Big", ""},
                 {"Json Text", "a b c"},
                 {"Json Number", "5.0"},
                 {"Raw", QStringLiteral("ok  \uFFFD|")},
                 {"Small", "42.5"}};
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);
    const QString tooLong =
        QStringLiteral(": tag \"Big\" (topic \"site/big\"): its value of %1 bytes is longer than "
                       "1024 bytes; publishing it empty")
            .arg(big.size());
    QTRY_COMPARE_WITH_TIMEOUT(hub.Log().count(tooLong), 1, Wait);

    // It fits again, then is too long in two messages in a row: one line per change.
    QVERIFY(broker.Publish(QStringLiteral("site/big"), "fits"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Big"), QStringLiteral("fits"), Wait);
    QVERIFY(broker.Publish(QStringLiteral("site/big"), big));
    QVERIFY(broker.Publish(QStringLiteral("site/big"), QByteArray(5000, 'y')));
    QVERIFY(broker.Publish(QStringLiteral("site/small"), "43"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Small"), QStringLiteral("43"), Wait);
    QCOMPARE(hub.Value("Big"), QString());
    QCOMPARE(hub.Stop(), 0);
    // Only the latest value of a tag counts, so the second line gives the length of either.
    const QString log = hub.Log();
    QCOMPARE(log.count(QStringLiteral(": tag \"Big\" (topic \"site/big\"): its value of ")), 2);
    QCOMPARE(log.count(QStringLiteral("longer than 1024 bytes")), 2);
    QCOMPARE(log.count(QStringLiteral(": tag \"Big\" (topic \"site/big\"): its value fits again")),
             1);
}

// A broker that cannot be reached (nothing listens on its port) and one that takes the
// connection and never answers: each is logged once, however often the hub tries again, and
// once more when it connects.
void TestGatewaySources::mqttSilentBrokersAreLogged() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto closed; // not started yet: its port is closed
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    std::vector<std::unique_ptr<QTcpSocket>> connections;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = silent.nextPendingConnection())
            connections.emplace_back(socket);
    });

    TagHub hub;
    QVERIFY(hub.StartOn("closed\tbroker\tport=" + QByteArray::number(closed.port()) +
                        "\n"
                        "silent\tbroker\tport=" +
                        QByteArray::number(silent.serverPort()) +
                        " keepalive=5\n"
                        "A\tmqtt\tbroker=closed topic=a\n"
                        "B\tmqtt\tbroker=silent topic=b\n"));
    // The third connection comes after two attempts that got no answer, by which time the
    // closed broker has been tried more than twice as well.
    QTRY_VERIFY_WITH_TIMEOUT(connections.size() >= 3, 3 * Wait);
    const QString unreachable =
        QStringLiteral("broker closed (127.0.0.1:%1) is unreachable: Connection refused")
            .arg(closed.port());
    const QString noAnswer = QStringLiteral("broker silent (127.0.0.1:%1) does not answer (no "
                                            "reply to CONNECT within 5 s)")
                                 .arg(silent.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(noAnswer), Wait);
    QCOMPARE(hub.Log().count(unreachable), 1);
    QCOMPARE(hub.Log().count(noAnswer), 1);
    QCOMPARE(hub.Values(), (Map{{"A", ""}, {"B", ""}}));

    // The closed broker starts: the hub connects on its next attempt, and says so.
    QVERIFY(closed.Start());
    QVERIFY(closed.Publish(QStringLiteral("a"), "1", true));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("A"), QStringLiteral("1"), 2 * Wait);
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QCOMPARE(log.count(unreachable), 1);
    QCOMPARE(log.count(noAnswer), 1);
    QCOMPARE(log.count(QStringLiteral("broker closed (127.0.0.1:%1) is back").arg(closed.port())),
             1);
    QCOMPARE(log.count(QStringLiteral("broker closed")), 2);
    QCOMPARE(log.count(QStringLiteral("broker silent")), 1);
}

// A topic the broker refuses to subscribe to (its access rules forbid it) is logged, once per
// change: the broker refusing it again after a reconnection is no news. The other topics of the
// broker are served.
void TestGatewaySources::mqttRefusedSubscriptionIsLogged() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    REQUIRE_PROGRAM(!Mosquitto::DynamicSecurityPlugin().isEmpty(), "mosquitto's dynamic security");
    Mosquitto broker;
    broker.DenySubscriptions({QStringLiteral("secret/x")});
    QVERIFY(broker.Start());
    QVERIFY(broker.Publish(QStringLiteral("site/ok"), "1", true));
    QVERIFY(broker.Publish(QStringLiteral("secret/x"), "2", true));
    TagHub hub;
    QVERIFY(hub.StartOn("site\tbroker\tport=" + QByteArray::number(broker.port()) +
                        "\n"
                        "Secret\tmqtt\tbroker=site topic=secret/x\n"
                        "Ok\tmqtt\tbroker=site topic=site/ok\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"Ok", "1"}, {"Secret", ""}}), Wait);
    const QString refused =
        QStringLiteral("broker site (127.0.0.1:%1): the broker refused the subscription to topic "
                       "\"secret/x\"; its tags stay empty")
            .arg(broker.port());
    QTRY_COMPARE_WITH_TIMEOUT(hub.Log().count(refused), 1, Wait);

    broker.Stop();
    QVERIFY(broker.Start());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral(" is back")), 2 * Wait);
    QVERIFY(broker.Publish(QStringLiteral("site/ok"), "3", true));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"Ok", "3"}, {"Secret", ""}}), Wait);
    QCOMPARE(hub.Stop(), 0);
    QCOMPARE(hub.Log().count(refused), 1);
    QCOMPARE(hub.Log().count(QStringLiteral("refused the subscription")), 1);
}

// QoS 1 on a broker line holds for its tags, a tag's own qos= overrides it either way, and a
// topic read by several tags is subscribed to with the highest they ask for. The broker's log
// says what was asked for each topic ("CLIENT QOS TOPIC").
void TestGatewaySources::mqttSubscribesWithTheQosAsked() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start());
    for (const char* topic : {"q/a", "q/b", "q/c", "q/d"})
        QVERIFY(broker.Publish(QLatin1String(topic), topic, true));
    TagHub hub;
    const QByteArray port = QByteArray::number(broker.port());
    QVERIFY(hub.StartOn("sure\tbroker\tport=" + port + " qos=1\n" + "plain\tbroker\tport=" + port +
                        "\n" +
                        "A\tmqtt\tbroker=sure topic=q/a\n"
                        "B\tmqtt\tbroker=sure topic=q/b qos=0\n"
                        "C\tmqtt\tbroker=plain topic=q/c qos=1\n"
                        "D0\tmqtt\tbroker=plain topic=q/d\n"
                        "D1\tmqtt\tbroker=plain topic=q/d qos=1\n"
                        "E\tmqtt\tbroker=plain topic=q/a\n"));
    QTRY_COMPARE_WITH_TIMEOUT(
        hub.Values(),
        (Map{{"A", "q/a"}, {"B", "q/b"}, {"C", "q/c"}, {"D0", "q/d"}, {"D1", "q/d"}, {"E", "q/a"}}),
        Wait);
    const QString log = broker.Log();
    for (const char* line : {" 1 q/a\n", " 0 q/b\n", " 1 q/c\n", " 1 q/d\n", " 0 q/a\n"})
        QVERIFY2(log.count(QLatin1String(line)) == 1, qPrintable(line + log));
    QCOMPARE(hub.Stop(), 0);
}

// protocol=5 connects with MQTT 5 (the broker logs each client's protocol: "p5" for MQTT 5, "p2"
// for 3.1.1) and its values arrive; a refusal is told in MQTT 5's own words.
void TestGatewaySources::mqttSpeaksVersion5WhenAsked() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start(QStringLiteral("plant"), QStringLiteral("Right-7")));
    QVERIFY(broker.Publish(QStringLiteral("site/temp"), R"({"v": 21.25})", true,
                           {QStringLiteral("-u"), QStringLiteral("plant"), QStringLiteral("-P"),
                            QStringLiteral("Right-7")}));
    TagHub hub;
    const QByteArray at = "\tbroker\tport=" + QByteArray::number(broker.port()) + " user=plant";
    QVERIFY(hub.StartOn("five" + at + " clientid=hub-five protocol=5 qos=1 password=Right-7\n" +
                        "four" + at + " clientid=hub-four protocol=3.1.1 password=Right-7\n" +
                        "wrong" + at + " protocol=5 password=Wrong-7\n" +
                        "Five\tmqtt\tbroker=five topic=site/temp json=v decimals=1\n"
                        "Four\tmqtt\tbroker=four topic=site/temp json=v\n"
                        "Wrong\tmqtt\tbroker=wrong topic=site/temp\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(),
                              (Map{{"Five", "21.3"}, {"Four", "21.25"}, {"Wrong", ""}}), Wait);
    const QString refused =
        QStringLiteral("broker wrong (127.0.0.1:%1) refused the connection: Not authorized")
            .arg(broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(refused), Wait);
    const QString log = broker.Log();
    QVERIFY2(log.contains(QStringLiteral(" as hub-five (p5, ")) &&
                 log.contains(QStringLiteral(" as hub-four (p2, ")) &&
                 log.contains(QStringLiteral("hub-five 1 site/temp\n")),
             qPrintable(log));
    // Values published after the hub subscribed arrive over MQTT 5 as well.
    QVERIFY(broker.Publish(QStringLiteral("site/temp"), R"({"v": -4})", false,
                           {QStringLiteral("-u"), QStringLiteral("plant"), QStringLiteral("-P"),
                            QStringLiteral("Right-7")}));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Five"), QStringLiteral("-4.0"), Wait);
    QCOMPARE(hub.Stop(), 0);
}

// A tree makes a tag of each topic under its filter at the topic's first message, after the
// tags of the file and in the order the topics first came, up to its max=. A topic that makes a
// name already published or no tag name at all is skipped, and each of these is logged once.
void TestGatewaySources::mqttTreeMakesTagsAsTopicsArrive() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start());
    TagHub hub;
    QVERIFY(hub.StartOn("site\tbroker\tport=" + QByteArray::number(broker.port()) +
                        "\n"
                        "Sim\ttext\tsimulated\n"
                        "P.plant.clash\ttext\ttaken\n"
                        "all\tmqtt-tree\tbroker=site filter=plant/# prefix=P. json=v decimals=1 "
                        "max=4\n"));
    QTRY_VERIFY_WITH_TIMEOUT(broker.Log().contains(QStringLiteral(" 0 plant/#\n")), Wait);
    QCOMPARE(hub.Tags(), (QStringList{"Sim", "P.plant.clash"}));

    QStringList tags{"Sim", "P.plant.clash"};
    const auto arrive = [&](const char* topic, const QByteArray& payload, const char* tag) {
        if (!broker.Publish(QLatin1String(topic), payload))
            return false;
        if (tag)
            tags << QLatin1String(tag);
        return true;
    };
    // Not in the order of their names: in the order they came.
    QVERIFY(arrive("plant/b/x", R"({"v": 1.25})", "P.plant.b.x"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Tags(), tags, Wait);
    QVERIFY(arrive("plant/a/y", R"({"v": -2})", "P.plant.a.y"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Tags(), tags, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(),
                              (Map{{"Sim", "simulated"},
                                   {"P.plant.clash", "taken"},
                                   {"P.plant.b.x", "1.3"},
                                   {"P.plant.a.y", "-2.0"}}),
                              Wait);
    QVERIFY(arrive("plant/b/x", R"({"v": 7})", nullptr));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("P.plant.b.x"), QStringLiteral("7.0"), Wait);

    // "P.plant.clash" is a tag of the file, "plant/b.x" makes the name "plant/b/x" made, and
    // "plant/a,b" makes a name holding ",". All are skipped, and logged once however often
    // they come.
    const QString where =
        QStringLiteral("broker site (127.0.0.1:%1): tree \"all\": topic ").arg(broker.port());
    const QString clash =
        where + QStringLiteral("\"plant/clash\" makes tag \"P.plant.clash\", a name the hub "
                               "publishes already; skipped");
    const QString comma = where + QStringLiteral("\"plant/a,b\" makes no tag name");
    const QString twice =
        where + QStringLiteral("\"plant/b.x\" makes the name \"P.plant.b.x\" of a tag made "
                               "already; skipped");
    for (int i = 0; i < 2; ++i) {
        QVERIFY(arrive("plant/clash", R"({"v": 1})", nullptr));
        QVERIFY(arrive("plant/a,b", R"({"v": 1})", nullptr));
        QVERIFY(arrive("plant/b.x", R"({"v": 1})", nullptr));
    }
    // Not under the filter: no tag, no line.
    QVERIFY(arrive("other/x", R"({"v": 1})", nullptr));
    QVERIFY(arrive("plant/c", R"({"v": 3})", "P.plant.c"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Tags(), tags, Wait);
    QTRY_VERIFY_WITH_TIMEOUT(
        hub.Log().contains(clash) && hub.Log().contains(comma) && hub.Log().contains(twice), Wait);
    QCOMPARE(hub.Value("P.plant.b.x"), QStringLiteral("7.0"));

    // Four topics made a tag ("plant/clash" among them, not "plant/b.x"): the fifth and later
    // make none.
    QVERIFY(arrive("plant/d", R"({"v": 4})", nullptr));
    QVERIFY(arrive("plant/e", R"({"v": 5})", nullptr));
    const QString full = QStringLiteral("broker site (127.0.0.1:%1): tree \"all\" made the 4 "
                                        "tags it may (max=)")
                             .arg(broker.port());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(full), Wait);
    QVERIFY(arrive("plant/c", R"({"v": 3.5})", nullptr));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("P.plant.c"), QStringLiteral("3.5"), Wait);
    QCOMPARE(hub.Tags(), tags);

    // The broker goes away: the tags a tree made go empty with the others.
    broker.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(),
                              (Map{{"Sim", "simulated"},
                                   {"P.plant.clash", "taken"},
                                   {"P.plant.b.x", ""},
                                   {"P.plant.a.y", ""},
                                   {"P.plant.c", ""}}),
                              Wait);
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QCOMPARE(log.count(clash), 1);
    QCOMPARE(log.count(comma), 1);
    QCOMPARE(log.count(twice), 1);
    QCOMPARE(log.count(full), 1);
    QCOMPARE(log.count(QStringLiteral("tree \"all\"")), 4);
}

// A file of a broker and a tree holds no tag of its own: it is still a good file to reload
// (it is no file emptied by mistake), and the tree's tags come back under the new prefix.
void TestGatewaySources::mqttTreeAloneIsAFileToReload() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    QVERIFY(broker.Start());
    QVERIFY(broker.Publish(QStringLiteral("plant/x"), "5", true));
    const QByteArray site = "site\tbroker\tport=" + QByteArray::number(broker.port()) + "\n";
    TagHub hub;
    QVERIFY(hub.StartOn(site + "all\tmqtt-tree\tbroker=site filter=plant/# prefix=P.\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"P.plant.x", "5"}}), Wait);
    QVERIFY(
        !hub.WriteTags(site + "all\tmqtt-tree\tbroker=site filter=plant/# prefix=Q.\n").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"Q.plant.x", "5"}}), Wait);
    QCOMPARE(hub.Stop(), 0);
    QVERIFY2(!hub.Log().contains(QStringLiteral("holds no tags")), qPrintable(hub.Log()));
}

void TestGatewaySources::modbusDecodesEveryTypeAndOrder() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    struct Kind {
        const char* type;
        QVariant value;
        int decimals;
        const char* text;
    };
    const Kind kinds[] = {
        {"int16", -1234, 0, "-1234"},
        {"uint16", 54321, 0, "54321"},
        {"int32", -123456789, 0, "-123456789"},
        {"uint32", 4000000000LL, 0, "4000000000"},
        {"float32", -12.5, 2, "-12.50"},
        {"int64", -9007199254740993LL, 0, "-9007199254740993"},
        {"float64", 1234.5678, 3, "1234.568"},
    };
    // Scaling, a coil, a coil never written and a discrete input; BCD, half precision,
    // strings and bits of a register placed as raw registers; then every type in every word
    // order, alternating the two register tables so that both are read.
    const auto words = [](int address, QVariantList registers) {
        return QVariantMap{{"table", "holding"}, {"address", address}, {"words", registers}};
    };
    QVariantList entries{
        QVariantMap{{"table", "holding"}, {"address", 500}, {"type", "uint16"}, {"value", 1000}},
        QVariantMap{{"table", "coil"}, {"address", 7}, {"value", true}},
        QVariantMap{{"table", "discrete"}, {"address", 9}, {"value", true}},
        words(600, {0x1234, 0x0012, 0x3456, 0x3C00, 0x4142, 0x4344, 0x4500, 0, 0x4241, 0x0005})};
    ModbusDevice device;
    QByteArray file = "plc\tdevice\tport=" + QByteArray::number(device.port()) +
                      " unit=3 poll=0.2 timeout=2\n"
                      "Scaled\tmodbus\tdevice=plc address=500 scale=0.1 offset=-5 decimals=1\n"
                      "Coil 7\tmodbus\tdevice=plc table=coil address=7\n"
                      "Coil 8\tmodbus\tdevice=plc table=coil address=8\n"
                      "Input 9\tmodbus\tdevice=plc table=discrete address=9\n"
                      "BCD 16\tmodbus\tdevice=plc address=600 type=bcd16\n"
                      "BCD 32\tmodbus\tdevice=plc address=601 type=bcd32\n"
                      "Half\tmodbus\tdevice=plc address=603 type=float16 decimals=1\n"
                      "Text\tmodbus\tdevice=plc address=604 type=string length=8\n"
                      "Text BA\tmodbus\tdevice=plc address=608 type=string length=2 order=BA\n"
                      "Bit 2\tmodbus\tdevice=plc address=609 bit=2\n"
                      "Bit 1\tmodbus\tdevice=plc address=609 bit=1\n";
    Map expected{{"Scaled", "95.0"}, {"Coil 7", "1"},      {"Coil 8", "0"}, {"Input 9", "1"},
                 {"BCD 16", "1234"}, {"BCD 32", "123456"}, {"Half", "1.0"}, {"Text", "ABCDE"},
                 {"Text BA", "AB"},  {"Bit 2", "1"},       {"Bit 1", "0"}};
    int address = 0;
    for (const Kind& kind : kinds)
        for (const char* order : {"ABCD", "DCBA", "BADC", "CDAB"}) {
            const QByteArray table = address % 8 ? "holding" : "input";
            entries << QVariantMap{{"table", table},
                                   {"address", address},
                                   {"type", kind.type},
                                   {"order", order},
                                   {"value", kind.value}};
            const QByteArray name = kind.type + QByteArray(" ") + order;
            file += name + "\tmodbus\tdevice=plc table=" + table +
                    " address=" + QByteArray::number(address) + " type=" + kind.type +
                    " order=" + order + " decimals=" + QByteArray::number(kind.decimals) + '\n';
            expected.insert(QString::fromLatin1(name), QString::fromLatin1(kind.text));
            address += 4;
        }

    QVERIFY(device.Start({{QStringLiteral("3"), entries}}));
    TagHub hub;
    QVERIFY(hub.StartOn(file));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);
    QCOMPARE(hub.Stop(), 0);
    QVERIFY2(!hub.Log().contains(QStringLiteral("cannot read")), qPrintable(hub.Log()));
}

void TestGatewaySources::deadDeviceGoesEmptyOthersKeepUpdating() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    const QVariantMap units{
        {QStringLiteral("1"),
         QVariantList{QVariantMap{
             {"table", "holding"}, {"address", 0}, {"type", "uint16"}, {"value", 11}}}}};
    ModbusDevice dying;
    ModbusDevice living;
    QVERIFY(dying.Start(units));
    QVERIFY(living.Start(units));
    TagHub hub;
    QVERIFY(hub.StartOn("dying\tdevice\tport=" + QByteArray::number(dying.port()) +
                        " poll=0.1 timeout=1.5\n"
                        "living\tdevice\tport=" +
                        QByteArray::number(living.port()) +
                        // a long time-out: a busy machine must not make it look dead
                        " poll=0.1 timeout=10\n"
                        "Dying Value\tmodbus\tdevice=dying address=0\n"
                        "Dying Tick\tmodbus\tdevice=dying address=9000\n"
                        "Living Value\tmodbus\tdevice=living address=0\n"
                        "Living Tick\tmodbus\tdevice=living address=9000\n"));
    QTRY_VERIFY_WITH_TIMEOUT(
        !hub.Value("Dying Tick").isEmpty() && !hub.Value("Living Tick").isEmpty(), Wait);

    // A hung device: the connection stays, the answers stop. Its tags go empty because its
    // requests time out (the log says so), while the other device's go on: its tick moves
    // on while the hung one's requests wait. How long the emptying takes is measured by
    // bench_gateway (gateway_modbus_hung_device_empty).
    const QString dyingAt = QStringLiteral("device dying (127.0.0.1:%1) ").arg(dying.port());
    const QString livingTick = hub.Value("Living Tick");
    dying.Freeze();
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Dying Value"), QString(), Wait);
    QCOMPARE(hub.Value("Dying Tick"), QString());
    QTRY_VERIFY_WITH_TIMEOUT(
        hub.Log().contains(dyingAt + QStringLiteral("is unreachable: Request timeout.")), Wait);
    QVERIFY(hub.Value("Living Tick") != livingTick);
    const QString tick = hub.Value("Living Tick");
    QTRY_VERIFY(hub.Value("Living Tick") != tick);
    QCOMPARE(hub.Value("Living Value"), QStringLiteral("11"));
    dying.Thaw();
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Dying Value"), QStringLiteral("11"), 30000);

    // A device that dies closes its connection; its tags go empty as well.
    dying.Stop(true);
    QTRY_COMPARE(hub.Value("Dying Value"), QString());
    // The device comes back on its port: its tags fill again, one line each way.
    QVERIFY(dying.Start(units));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Dying Value"), QStringLiteral("11"), 30000);
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QCOMPARE(log.count(dyingAt + QStringLiteral("is unreachable")), 2);
    QCOMPARE(log.count(dyingAt + QStringLiteral("is back")), 2);
    // The living device only ever connected.
    QVERIFY2(log.count(QStringLiteral("device living")) == 1, qPrintable(log));
    QVERIFY2(
        log.contains(QStringLiteral("device living (127.0.0.1:%1) connected").arg(living.port())),
        qPrintable(log));
}

// A real device that lacks some addresses and answers some requests short: each fault empties
// only the tags it touches and is logged once, saying what went wrong and what helps.
void TestGatewaySources::modbusFaultsEmptyTheirTagsAndSayWhy() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    const auto entry = [](const char* table, int address, const char* key, const QVariant& v) {
        return QVariantMap{{"table", table}, {"address", address}, {key, v}};
    };
    const auto holding = [](int address, const char* type, const QVariant& v) {
        return QVariantMap{
            {"table", "holding"}, {"address", address}, {"type", type}, {"value", v}};
    };
    const QVariantList entries{entry("holding", 5, "missing", 5),
                               entry("holding", 40, "missing", 1),
                               entry("holding", 103, "short", true),
                               entry("holding", 200, "short", true),
                               entry("coil", 8, "short", true),
                               holding(0, "uint16", 10),
                               holding(12, "uint16", 12),
                               holding(100, "uint16", 100),
                               holding(101, "uint16", 101),
                               holding(102, "uint32", 102),
                               entry("coil", 0, "value", true),
                               entry("coil", 9, "value", true)};
    ModbusDevice device;
    QVERIFY(device.Start({{QStringLiteral("1"), entries}}));
    const QByteArray plc = "plc\tdevice\tport=" + QByteArray::number(device.port()) + " poll=0.1";
    const QByteArray tags = "\n"
                            // one request over the missing 5 to 9 (gap 16); 40 on its own
                            "Before Hole\tmodbus\tdevice=plc address=0\n"
                            "After Hole\tmodbus\tdevice=plc address=12\n"
                            "In Hole\tmodbus\tdevice=plc address=40\n"
                            // 100 to 103 answered up to 102; 200 answered with nothing
                            "Short 100\tmodbus\tdevice=plc address=100\n"
                            "Short 101\tmodbus\tdevice=plc address=101\n"
                            "Short 102\tmodbus\tdevice=plc address=102 type=uint32\n"
                            "Cut At 200\tmodbus\tdevice=plc address=200\n"
                            // coils 0 to 9 answered with one byte: bits 0 to 7
                            "Coil 0\tmodbus\tdevice=plc table=coil address=0\n"
                            "Coil 9\tmodbus\tdevice=plc table=coil address=9\n"
                            "Tick\tmodbus\tdevice=plc address=9000\n";
    TagHub hub;
    QVERIFY(hub.StartOn(plc + tags));
    const auto withoutTick = [&hub] {
        Map values = hub.Values();
        values.remove(QStringLiteral("Tick"));
        return values;
    };
    // The request over the hole is refused; its tags are then read on their own, so only the
    // tag on a missing address stays empty.
    const Map expected{{"Before Hole", "10"}, {"After Hole", "12"}, {"In Hole", ""},
                       {"Short 100", "100"},  {"Short 101", "101"}, {"Short 102", ""},
                       {"Cut At 200", ""},    {"Coil 0", "1"},      {"Coil 9", ""}};
    QTRY_COMPARE_WITH_TIMEOUT(withoutTick(), expected, Wait);
    // Two more polls at least: the faults persist, their lines do not repeat.
    for (int poll = 0; poll < 2; ++poll) {
        const QString tick = hub.Value("Tick");
        QTRY_VERIFY_WITH_TIMEOUT(hub.Value("Tick") != tick, Wait);
    }
    QCOMPARE(withoutTick(), expected);
    QCOMPARE(hub.Stop(), 0);

    const QString log = hub.Log();
    const QStringList lines{
        QStringLiteral("device plc: holding registers 0 to 12 refused as one request (exception "
                       "02, illegal data address); reading its 2 tags in 2 requests from now on"),
        QStringLiteral("device plc: cannot read holding registers 40 to 40: exception 02, "
                       "illegal data address\n"),
        QStringLiteral("device plc: short answer for holding registers 100 to 103: 3 of 4 "
                       "registers came back (100 to 102); tags reaching past 102 answer empty "
                       "values"),
        QStringLiteral("device plc: short answer for holding registers 200 to 200: 0 of 1 "
                       "registers came back; its tags answer empty values"),
        QStringLiteral("device plc: short answer for coils 0 to 9: 8 of 10 bits came back (0 "
                       "to 7); tags reaching past 7 answer empty values")};
    for (const QString& line : lines)
        QVERIFY2(log.count(line) == 1, qPrintable(line + QStringLiteral("\n---\n") + log));
    QVERIFY2(!log.contains(QStringLiteral("cannot read holding registers 0 to")) &&
                 !log.contains(QStringLiteral("cannot read holding registers 12 to")),
             qPrintable(log));
    // The device answered throughout: it is connected once and never unreachable.
    QCOMPARE(log.count(QStringLiteral("device plc (127.0.0.1:%1) connected").arg(device.port())),
             1);
    const QStringList unreachable =
        log.split(QLatin1Char('\n')).filter(QStringLiteral("unreachable"));
    QVERIFY2(unreachable.isEmpty(), qPrintable(unreachable.join(QLatin1Char('\n'))));
}

void TestGatewaySources::reloadReplacesSources() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    Mosquitto broker;
    QVERIFY(broker.Start());
    QVERIFY(broker.Publish(QStringLiteral("a"), "1", true));
    QVERIFY(broker.Publish(QStringLiteral("b"), "2", true));
    ModbusDevice device;
    QVERIFY(device.Start(
        {{QStringLiteral("1"),
          QVariantList{QVariantMap{
              {"table", "holding"}, {"address", 0}, {"type", "int16"}, {"value", -7}}}}}));
    const QByteArray sources = "site\tbroker\tport=" + QByteArray::number(broker.port()) +
                               "\nplc\tdevice\tport=" + QByteArray::number(device.port()) +
                               " poll=0.1\n";

    TagHub hub;
    QVERIFY(hub.StartOn(sources + "A\tmqtt\tbroker=site topic=a\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"A", "1"}}), Wait);

    // The running sources are stopped and the new file's started.
    const QByteArray b = sources + "B\tmqtt\tbroker=site topic=b\n";
    QVERIFY(!hub.WriteTags(b + "P\tmodbus\tdevice=plc address=0 type=int16\n").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"B", "2"}, {"P", "-7"}}), Wait);

    // A faulty file changes nothing: the sources keep feeding the last good tags.
    const QString tags = hub.WriteTags(b + "P\tmodbus\tdevice=plc9\n");
    QVERIFY(!tags.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral("refused; keeping the tags")), Wait);
    QVERIFY(broker.Publish(QStringLiteral("b"), "3", true));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), (Map{{"B", "3"}, {"P", "-7"}}), Wait);
    QCOMPARE(hub.Stop(), 0);
    QVERIFY2(hub.Log().contains(tags + QStringLiteral(": line 4: unknown device \"plc9\"")),
             qPrintable(hub.Log()));
}

// Every way an MQTT value can be missing has its quality code, next to the value that GETVALUES
// gives empty; a status tag tells the broker's state.
void TestGatewaySources::mqttFaultsHaveTheirCodes() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Mosquitto broker;
    Mosquitto away; // never started: nothing listens on its port
    QVERIFY(broker.Start());
    struct Case {
        const char* tag;
        const char* parameters; // after "broker=site "
        const char* topic;
        QByteArray payload; // retained before the hub starts; empty: none
        const char* code;
    };
    const Case cases[] = {
        {"Good", "decimals=1", "q/good", "7.25", "good"},
        {"Empty Text", "", "q/empty-text", "", "waiting"},
        {"Not Json", "json=v", "q/text", "hello", "invalid"},
        {"Missing Field", "json=data.temp", "q/json", R"({"data": {"rh": 40}})", "invalid"},
        {"Object Field", "json=data", "q/json", R"({"data": {"rh": 40}})", "invalid"},
        {"Not A Number", "decimals=0", "q/word", "n/a", "invalid"},
        {"Too Long", "", "q/long", QByteArray(2000, 'x'), "invalid"},
        {"Never Sent", "", "q/never", "", "waiting"},
        {"Stale", "stale=0.5", "q/stale", "1", "stale"},
    };
    QByteArray file = "site\tbroker\tport=" + QByteArray::number(broker.port()) +
                      " statustag=Site Link\n"
                      "away\tbroker\tport=" +
                      QByteArray::number(away.port()) +
                      " statustag=Away Link\n"
                      "Away Tag\tmqtt\tbroker=away topic=x\n"
                      // a CA file that is not there: the broker is never even tried
                      "noca\tbroker\tport=" +
                      QByteArray::number(broker.port()) +
                      " cafile=/nonexistent/ca.pem\n"
                      "No CA Tag\tmqtt\tbroker=noca topic=q/good\n"
                      "Simulated\tnumber\tbase=1 empty=1\n";
    Map codes{{"Site Link", "good"},
              {"Away Link", "good"},
              {"Away Tag", "offline"},
              {"No CA Tag", "offline"},
              {"Simulated", "good"}};
    for (const Case& c : cases) {
        file +=
            QByteArray(c.tag) + "\tmqtt\tbroker=site " + c.parameters + " topic=" + c.topic + '\n';
        codes.insert(QLatin1String(c.tag), QLatin1String(c.code));
        if (!c.payload.isEmpty())
            QVERIFY(broker.Publish(QLatin1String(c.topic), c.payload, true));
    }
    TagHub hub;
    QVERIFY(hub.StartOn(file));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status(), codes, Wait);
    // Only a good value is published; every other one is empty.
    const Map values = hub.Values();
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        if (it.value() != QLatin1String("good"))
            QVERIFY2(values.value(it.key()).isEmpty(), qPrintable(it.key()));
    QCOMPARE(values.value(QStringLiteral("Good")), QStringLiteral("7.3"));
    QCOMPARE(values.value(QStringLiteral("Site Link")), QStringLiteral("connected"));
    QVERIFY2(IsUnreachableSince(values.value(QStringLiteral("Away Link"))),
             qPrintable(values.value(QStringLiteral("Away Link"))));
    // GETSTATUS lists the tags in the order of GETTAGS, one per line.
    SVComSrvClass reader(hub.name());
    const QStringList tags = reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")).split(u',');
    QStringList order;
    const QString answer = reader.ReadInputFile(QStringLiteral("HUB:GETSTATUS"));
    for (const answers::StatusEntry& entry : answers::SplitStatus(answer))
        order << entry.name.toString();
    QCOMPARE(order, tags);
    QCOMPARE(tags.first(), QStringLiteral("Site Link"));

    // An empty text that arrives is a good value; a usable one after a fault is good again.
    QVERIFY(broker.Publish(QStringLiteral("q/empty-text"), ""));
    QVERIFY(broker.Publish(QStringLiteral("q/json"), R"({"data": {"temp": 3}})"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Missing Field")),
                              QStringLiteral("good"), Wait);
    QCOMPARE(hub.Status().value(QStringLiteral("Object Field")), QStringLiteral("invalid"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Empty Text")),
                              QStringLiteral("good"), Wait);

    // The broker goes away: each of its tags is offline, its status tag says since when.
    broker.Stop();
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Good")), QStringLiteral("offline"),
                              Wait);
    const Map status = hub.Status();
    for (const Case& c : cases)
        QCOMPARE(status.value(QLatin1String(c.tag)), QStringLiteral("offline"));
    QVERIFY(IsUnreachableSince(hub.Value("Site Link")));
    // Back: the status tag says so, and a tag waits for its next message.
    QVERIFY(broker.Start());
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Site Link"), QStringLiteral("connected"), 2 * Wait);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Never Sent")),
                              QStringLiteral("waiting"), Wait);
    QCOMPARE(hub.Stop(), 0);
    // Each fault is logged once, with its reason; the status tags log nothing of their own.
    const QString log = hub.Log();
    for (const char* line : {": tag \"Not Json\" (topic \"q/text\"): the payload is not JSON; "
                             "publishing it empty",
                             ": tag \"Missing Field\" (topic \"q/json\"): the JSON payload has "
                             "no such field; publishing it empty",
                             ": tag \"Missing Field\" (topic \"q/json\"): its value is usable "
                             "again",
                             ": tag \"Not A Number\" (topic \"q/word\"): the value is not a "
                             "number, or one too large to publish; publishing it empty"})
        QVERIFY2(log.count(QLatin1String(line)) == 1,
                 qPrintable(QLatin1String(line) + u'\n' + log));
}

// Every way a Modbus value can be missing has its quality code; status tags tell whether each
// device answers.
void TestGatewaySources::modbusFaultsHaveTheirCodes() {
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    struct Case {
        const char* tag;
        const char* parameters; // after "device=plc "
        const char* code;
    };
    const Case cases[] = {
        {"Value", "address=0", "good"},
        {"Refused", "address=40", "refused"},            // an address the device lacks
        {"Short", "address=103 type=uint32", "invalid"}, // answered with one register of two
        {"Tick", "address=9000", "good"},
    };
    const QVariantList entries{
        QVariantMap{{"table", "holding"}, {"address", 0}, {"type", "uint16"}, {"value", 11}},
        QVariantMap{{"table", "holding"}, {"address", 40}, {"missing", 1}},
        QVariantMap{{"table", "holding"}, {"address", 104}, {"short", true}}};
    ModbusDevice device;
    ModbusDevice away; // never started
    QVERIFY(device.Start({{QStringLiteral("1"), entries}}));
    QByteArray file = "plc\tdevice\tport=" + QByteArray::number(device.port()) +
                      " poll=0.1 gap=0 statustag=PLC Status\n"
                      "away\tdevice\tport=" +
                      QByteArray::number(away.port()) +
                      " poll=0.1 timeout=0.5 statustag=Away Status\n"
                      "Away Value\tmodbus\tdevice=away address=0\n";
    Map codes{{"PLC Status", "good"}, {"Away Status", "good"}, {"Away Value", "offline"}};
    for (const Case& c : cases) {
        file += QByteArray(c.tag) + "\tmodbus\tdevice=plc " + c.parameters + '\n';
        codes.insert(QLatin1String(c.tag), QLatin1String(c.code));
    }
    TagHub hub;
    QVERIFY(hub.StartOn(file));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status(), codes, Wait);
    QCOMPARE(hub.Value("PLC Status"), QStringLiteral("connected"));
    QVERIFY2(IsUnreachableSince(hub.Value("Away Status")), qPrintable(hub.Value("Away Status")));
    QCOMPARE(hub.Value("Refused"), QString());
    QCOMPARE(hub.Value("Short"), QString());

    // The device dies: every tag of it is offline, its status tag says since when, and the
    // time stays while it stays away.
    device.Stop(true);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Value")),
                              QStringLiteral("offline"), Wait);
    for (const Case& c : cases)
        QCOMPARE(hub.Status().value(QLatin1String(c.tag)), QStringLiteral("offline"));
    const QString since = hub.Value("PLC Status");
    QVERIFY2(IsUnreachableSince(since), qPrintable(since));
    QCOMPARE(hub.Stop(), 0);
}

// A device that answers every read with a byte count that no register read can have (three
// bytes): its tag is invalid, yet the device counts as connected, since it answers.
void TestGatewaySources::modbusMalformedAnswerIsInvalid() {
    QTcpServer device;
    QVERIFY(device.listen(QHostAddress::LocalHost));
    std::vector<std::unique_ptr<QTcpSocket>> connections;
    QObject::connect(&device, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = device.nextPendingConnection()) {
            connections.emplace_back(socket);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer] {
                buffer->append(socket->readAll());
                // MBAP header: transaction (2), protocol (2), length (2), unit (1); then the PDU.
                while (buffer->size() >= 8) {
                    const int length = (quint8(buffer->at(4)) << 8) | quint8(buffer->at(5));
                    if (buffer->size() < 6 + length)
                        break;
                    QByteArray answer = buffer->first(4);
                    answer += QByteArray("\x00\x06", 2) + buffer->at(6) + buffer->at(7) +
                              QByteArray("\x03\x00\x0B\x00", 4);
                    socket->write(answer);
                    buffer->remove(0, 6 + length);
                }
            });
        }
    });
    TagHub hub;
    QVERIFY(hub.StartOn("fake\tdevice\tport=" + QByteArray::number(device.serverPort()) +
                        " poll=0.2 statustag=Fake Status\n"
                        "Broken\tmodbus\tdevice=fake address=0\n"
                        // no tags, only a status tag: connected all the same
                        "idle\tdevice\tport=" +
                        QByteArray::number(device.serverPort()) +
                        " poll=0.2 statustag=Idle Status\n"));
    QTRY_COMPARE_WITH_TIMEOUT(
        hub.Status(),
        (Map{{"Fake Status", "good"}, {"Broken", "invalid"}, {"Idle Status", "good"}}), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(
        hub.Values(),
        (Map{{"Fake Status", "connected"}, {"Broken", ""}, {"Idle Status", "connected"}}), Wait);
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral(
                                 "device fake: cannot read holding registers 0 to 0: the answer "
                                 "is malformed")),
                             Wait);
    QCOMPARE(hub.Stop(), 0);
}

// A reload that changes one source restarts only that one: an untouched broker keeps its
// connection and its values, even of a topic without a retained message, while tags move.
void TestGatewaySources::reloadKeepsUnchangedSources() {
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    REQUIRE_PROGRAM(testservers::HasPymodbus(), "python3-pymodbus");
    Mosquitto broker;
    QVERIFY(broker.Start());
    ModbusDevice device;
    QVERIFY(device.Start(
        {{QStringLiteral("1"),
          QVariantList{QVariantMap{
              {"table", "holding"}, {"address", 0}, {"type", "int16"}, {"value", -7}}}}}));
    const QByteArray site = "site\tbroker\tport=" + QByteArray::number(broker.port()) +
                            " statustag=Site Link\n"
                            "Live\tmqtt\tbroker=site topic=live\n"
                            "Json\tmqtt\tbroker=site topic=j json=v\n";
    const QByteArray plc = "plc\tdevice\tport=" + QByteArray::number(device.port());
    const QByteArray plcTags = "P\tmodbus\tdevice=plc address=0 type=int16\n";
    TagHub hub;
    QVERIFY(hub.StartOn("Sim\tnumber\tbase=1\n" + site + plc + " poll=0.1\n" + plcTags));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Site Link"), QStringLiteral("connected"), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("P"), QStringLiteral("-7"), Wait);
    // Not retained: only this connection ever sees it.
    QVERIFY(broker.Publish(QStringLiteral("live"), "41"));
    QVERIFY(broker.Publish(QStringLiteral("j"), "not json"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Value("Live"), QStringLiteral("41"), Wait);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Json")), QStringLiteral("invalid"),
                              Wait);
    const auto hubConnections = [&broker] {
        return broker.Log().count(QRegularExpression(
            QStringLiteral("New client connected from [^\n]* as svcorblex-hub-")));
    };
    QCOMPARE(hubConnections(), 1);

    // The device's line and a simulated line change, and a new live tag comes first: every
    // slot of the broker moves.
    QVERIFY(!hub.WriteTags("New\tmodbus\tdevice=plc address=0\nSim\tnumber\tbase=2\n" + site + plc +
                           " poll=0.2\n" + plcTags)
                 .isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral("reloaded ")), Wait);
    const Map expected{{"New", "65529"}, {"Sim", "2"}, {"Site Link", "connected"},
                       {"Live", "41"},   {"Json", ""}, {"P", "-7"}};
    QTRY_COMPARE_WITH_TIMEOUT(hub.Values(), expected, Wait);
    QCOMPARE(hub.Status().value(QStringLiteral("Json")), QStringLiteral("invalid"));
    QCOMPARE(hub.Status().value(QStringLiteral("Live")), QStringLiteral("good"));
    QCOMPARE(hubConnections(), 1);

    // The broker's own line changes: it alone restarts, and the message it had is gone.
    QVERIFY(!hub.WriteTags("New\tmodbus\tdevice=plc address=0\nSim\tnumber\tbase=2\n" +
                           QByteArray(site).replace(" statustag", " keepalive=20 statustag") + plc +
                           " poll=0.2\n" + plcTags)
                 .isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(hubConnections(), 2, Wait);
    QTRY_COMPARE_WITH_TIMEOUT(hub.Status().value(QStringLiteral("Live")), QStringLiteral("waiting"),
                              Wait);
    QCOMPARE(hub.Value("P"), QStringLiteral("-7"));
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    // The device started twice (at start and when its line changed), the broker twice.
    const QString plcAt = QStringLiteral("device plc (127.0.0.1:%1) connected").arg(device.port());
    QVERIFY2(log.count(plcAt) == 2, qPrintable(log));
    QCOMPARE(log.count(QStringLiteral("broker site (127.0.0.1:%1) connected").arg(broker.port())),
             2);
}

QTEST_GUILESS_MAIN(TestGatewaySources)
#include "test_gateway_sources.moc"
