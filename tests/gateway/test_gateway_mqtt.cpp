// The MQTT source in-process against a real Mosquitto broker, where each tag's quality can be
// seen: what the network loop must go on doing besides reading messages once the broker has
// accepted it (acknowledging QoS 1 messages, keeping the connection alive, saying goodbye), over
// plain TCP and over TLS.

#include "gateway/MqttSource.h"
#include "support/SourceRun.h"
#include "support/TestServers.h"

#include <QTest>

using namespace gateway;
using testservers::Mosquitto;

namespace {

// Long enough for a server to start or a source to reconnect on a loaded machine.
constexpr int Wait = 20000;

// One broker's tags from a tag file, read by an MqttSource on this thread.
class Source : public SourceRun<MqttSource> {
public:
    explicit Source(const QByteArray& tagFile)
        : SourceRun(tagFile, [](const HubConfig& config, LiveValues& values) {
              if (config.brokers.size() != 1)
                  qFatal("the tag file names %d brokers, not one", int(config.brokers.size()));
              std::vector<QByteArray> names;
              for (const MqttTag& tag : config.mqttTags)
                  for (const TagDef& def : config.tags)
                      if (def.slot == tag.slot)
                          names.push_back(def.name);
              return std::make_unique<MqttSource>(config.brokers[0], config.mqttTags,
                                                  std::move(names), config.mqttTrees, nullptr,
                                                  values);
          }) {}
};

// A broker that serves plain MQTT or TLS as the test's "tls" column asks, and the broker line of
// a tag file that reaches it.
struct Broker {
    Mosquitto server;
    QByteArray line;

    bool Start(bool tls, const QByteArray& options) {
        if (tls && !server.MakeTls())
            return false;
        line = "site\tbroker\tport=" + QByteArray::number(server.port()) + ' ' + options;
        if (tls)
            line += " cafile=" + QFile::encodeName(server.CaFile());
        line += '\n';
        return server.Start();
    }
};

void AddTransportRows() {
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain") << false;
    QTest::newRow("tls") << true;
}

} // namespace

class TestGatewayMqtt : public QObject {
    Q_OBJECT

private slots:
    void qos1MessagesAreAcknowledged_data() { AddTransportRows(); }
    void qos1MessagesAreAcknowledged();
    void silentConnectedBrokerIsLeft_data() { AddTransportRows(); }
    void silentConnectedBrokerIsLeft();
    void stopSaysGoodbye_data() { AddTransportRows(); }
    void stopSaysGoodbye();
};

// The broker holds back QoS 1 messages past the 20 it has sent and not had acknowledged: a
// source that does not send its acknowledgements while it reads stops getting values there.
void TestGatewayMqtt::qos1MessagesAreAcknowledged() {
    QFETCH(bool, tls);
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Broker broker;
    QVERIFY(broker.Start(tls, "qos=1"));
    QVERIFY(broker.server.Publish(QStringLiteral("count"), "0", true));
    Source source(broker.line + "Count\tmqtt\tbroker=site topic=count\n");
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Count"), QStringLiteral("good 0"), Wait);
    constexpr int Messages = 30;
    for (int i = 1; i <= Messages; ++i)
        QVERIFY(broker.server.Publish(QStringLiteral("count"), QByteArray::number(i), false,
                                      {QStringLiteral("-q"), QStringLiteral("1")}));
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Count"), QStringLiteral("good %1").arg(Messages), Wait);
}

// A broker that stops answering once connected (frozen, its socket still open) is found out by
// the keep-alive: the tags go offline, the log says so once, and the source comes back when the
// broker does.
void TestGatewayMqtt::silentConnectedBrokerIsLeft() {
    QFETCH(bool, tls);
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Broker broker;
    QVERIFY(broker.Start(tls, "keepalive=5"));
    QVERIFY(broker.server.Publish(QStringLiteral("level"), "7", true));
    Source source(broker.line + "Level\tmqtt\tbroker=site topic=level\n");
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Level"), QStringLiteral("good 7"), Wait);
    broker.server.Freeze();
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Level"), QStringLiteral("offline"), 3 * Wait);
    broker.server.Thaw();
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Level"), QStringLiteral("good 7"), 3 * Wait);
    QCOMPARE(source.LogText().count(QStringLiteral(" went away; reconnecting")), 1);
    QCOMPARE(source.LogText().count(QStringLiteral(" is back")), 1);
}

// A source that ends while connected sends DISCONNECT: the broker logs a client that left, not
// one whose connection dropped (after which it would publish the client's will).
void TestGatewayMqtt::stopSaysGoodbye() {
    QFETCH(bool, tls);
    REQUIRE_PROGRAM(!Mosquitto::Binary().isEmpty(), "mosquitto");
    Broker broker;
    QVERIFY(broker.Start(tls, "clientid=hub-leaving"));
    QVERIFY(broker.server.Publish(QStringLiteral("level"), "7", true));
    Source source(broker.line + "Level\tmqtt\tbroker=site topic=level\n");
    QTRY_COMPARE_WITH_TIMEOUT(source.State("Level"), QStringLiteral("good 7"), Wait);
    source.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(
        broker.server.Log().contains(QStringLiteral("Client hub-leaving disconnected.")), Wait);
    QVERIFY2(!broker.server.Log().contains(QStringLiteral("hub-leaving closed its connection")),
             qPrintable(broker.server.Log()));
}

QTEST_GUILESS_MAIN(TestGatewayMqtt)
#include "test_gateway_mqtt.moc"
