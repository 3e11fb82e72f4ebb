// The MQTT source in-process against a real Mosquitto broker, where each tag's quality can be
// seen: what the network loop must go on doing besides reading messages once the broker has
// accepted it (acknowledging QoS 1 messages, keeping the connection alive, saying goodbye), over
// plain TCP and over TLS.

#include "base/Log.h"
#include "gateway/LiveValues.h"
#include "gateway/MqttSource.h"
#include "gateway/TagFile.h"
#include "support/TestServers.h"

#include <QTest>

using namespace gateway;
using testservers::Mosquitto;

namespace {

// Long enough for a server to start or a source to reconnect on a loaded machine.
constexpr int Wait = 20000;

#define REQUIRE_PROGRAM(found, what)                                                               \
    if (!(found))                                                                                  \
    QSKIP(what " is not installed (scripts/deps.sh installs it)")

// One broker's tags from a tag file, read by an MqttSource on this thread; what it logs is kept.
class Source {
public:
    explicit Source(const QByteArray& tagFile) {
        logging::SetSink([this](logging::Level, const QString& line) { log_ << line; });
        QStringList errors;
        config_ = ParseHubConfig(tagFile, &errors);
        if (!errors.isEmpty() || config_.brokers.size() != 1)
            qFatal("bad tag file: %s", qPrintable(errors.join(QLatin1Char('\n'))));
        values_.Reset(config_.staleMs);
        std::vector<QByteArray> names;
        for (const MqttTag& tag : config_.mqttTags)
            for (const TagDef& def : config_.tags)
                if (def.slot == tag.slot)
                    names.push_back(def.name);
        source_ =
            std::make_unique<MqttSource>(config_.brokers[0], config_.mqttTags, std::move(names),
                                         config_.mqttTrees, nullptr, values_);
        source_->Start();
    }
    ~Source() {
        source_.reset();
        logging::SetSink({});
    }

    // "good 12", "offline", ...: the tag's quality and value.
    QString State(const char* name) const {
        for (const TagDef& tag : config_.tags)
            if (tag.name == name) {
                const Quality quality = values_.QualityOf(tag.slot);
                const QString word = QualityWord(quality);
                return quality == Quality::Good
                           ? word + QLatin1Char(' ') + QString::fromUtf8(values_.Current(tag.slot))
                           : word;
            }
        return QStringLiteral("no tag %1").arg(QLatin1String(name));
    }
    QString Log() const { return log_.join(QLatin1Char('\n')); }
    // Ends the source as a reload or the hub's stop does.
    void Stop() { source_.reset(); }

private:
    HubConfig config_;
    LiveValues values_;
    std::unique_ptr<MqttSource> source_;
    QStringList log_;
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
    QCOMPARE(source.Log().count(QStringLiteral(" went away; reconnecting")), 1);
    QCOMPARE(source.Log().count(QStringLiteral(" is back")), 1);
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
