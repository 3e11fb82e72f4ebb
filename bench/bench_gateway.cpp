// Gateway benchmark, against real servers on free loopback ports:
//   MQTT: a local Mosquitto broker, 10,000 topics each published 10 times a second by a
//   libmosquitto client in this process; the svcorblex-hub executable subscribes to all of
//   them. Prints the GETVALUES round trip over TCP and the hub's processor use.
//   Modbus: a pymodbus device with 2,000 holding registers, read by the hub's own Modbus
//   source in this process every 100 ms. Prints the requests per poll and the poll time, and
//   how long the source takes to empty the tags of the device once it hangs.

#include "ChildProcess.h"
#include "base/Log.h"
#include "gateway/LiveSources.h"
#include "gateway/ModbusSource.h"
#include "gateway/TagFile.h"
#include "hub/HubReader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

using bench::FreePort;
using bench::ProcessCpuSeconds;
using bench::StopProcess;
using bench::WaitForPort;
using bench::WriteFile;

constexpr int MqttTags = 10000;
constexpr int UpdatesPerSecond = 10;
constexpr int ModbusRegisters = 2000;

void Report(const char* name, double value, const char* unit) {
    std::printf("%s %.2f %s\n", name, value, unit);
    std::fflush(stdout);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Publishes every topic UpdatesPerSecond times a second from its own thread until stopped.
class Publisher {
public:
    explicit Publisher(quint16 port) {
        // Several connections, as many devices would publish: one connection's network thread
        // alone does not keep up with 100,000 messages a second.
        ok_ = true;
        for (auto*& mosq : mosq_) {
            mosq = mosquitto_new(nullptr, true, nullptr);
            ok_ = ok_ && mosq &&
                  mosquitto_connect(mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
                  mosquitto_loop_start(mosq) == MOSQ_ERR_SUCCESS;
        }
        if (ok_)
            thread_ = std::thread([this] { Run(); });
    }
    ~Publisher() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (mosquitto* mosq : mosq_)
            if (mosq) {
                mosquitto_disconnect(mosq);
                mosquitto_loop_stop(mosq, false);
                mosquitto_destroy(mosq);
            }
    }
    bool ok() const { return ok_; }
    quint64 published() const { return published_; }
    // The round being published: every topic carries the number of its last round.
    qint64 round() const { return round_; }

private:
    void Run() {
        std::vector<QByteArray> topics;
        for (int i = 0; i < MqttTags; ++i)
            topics.push_back("bench/t/" + QByteArray::number(i));
        QElapsedTimer clock;
        clock.start();
        for (qint64 round = 0; !stop_; ++round) {
            for (int i = 0; i < MqttTags && !stop_; ++i) {
                const QByteArray payload = QByteArray::number(round);
                mosquitto_publish(mosq_[size_t(i) % mosq_.size()], nullptr,
                                  topics[size_t(i)].constData(), int(payload.size()),
                                  payload.constData(), 0, false);
                ++published_;
            }
            round_ = round;
            const qint64 next = (round + 1) * 1000 / UpdatesPerSecond;
            while (!stop_ && clock.elapsed() < next)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::array<mosquitto*, 4> mosq_{};
    bool ok_ = false;
    std::atomic<bool> stop_ = false;
    std::atomic<quint64> published_ = 0;
    std::atomic<qint64> round_ = 0;
    std::thread thread_;
};

bool MqttBench(const QTemporaryDir& dir) {
    const QString broker = QStandardPaths::findExecutable(
        QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
    if (broker.isEmpty()) {
        std::fprintf(stderr, "bench_gateway: mosquitto is not installed (scripts/deps.sh)\n");
        return false;
    }
    const quint16 brokerPort = FreePort();
    QByteArray config = "listener " + QByteArray::number(brokerPort) +
                        " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                        "max_queued_messages 100000\n";
    if (::geteuid() == 0)
        config += "user root\n";
    const QString configPath = dir.filePath(QStringLiteral("mosquitto.conf"));
    QProcess mosquitto;
    if (!WriteFile(configPath, config))
        return false;
    mosquitto.start(broker, {QStringLiteral("-c"), configPath});
    if (!WaitForPort(brokerPort, mosquitto)) {
        std::fprintf(stderr, "bench_gateway: mosquitto did not start\n");
        return false;
    }

    QByteArray tags = "site\tbroker\tport=" + QByteArray::number(brokerPort) + "\n";
    for (int i = 0; i < MqttTags; ++i)
        tags += "Area" + QByteArray::number(i / 1000) + ".Tag" + QByteArray::number(i) +
                "\tmqtt\tbroker=site topic=bench/t/" + QByteArray::number(i) + " decimals=2\n";
    const QString tagPath = dir.filePath(QStringLiteral("mqtt.tags"));
    if (!WriteFile(tagPath, tags))
        return false;
    const QString name =
        QStringLiteral("svc-bench-gateway-%1").arg(QCoreApplication::applicationPid());
    QProcess hub;
    hub.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    hub.start(QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub"),
              {QStringLiteral("--tags"), tagPath, QStringLiteral("--port"), QStringLiteral("0"),
               QStringLiteral("--name"), name, QStringLiteral("--quiet")});
    QByteArray out;
    const QDeadlineTimer deadline(30000);
    while (!out.contains('\n') && !deadline.hasExpired() &&
           hub.waitForReadyRead(int(deadline.remainingTime())))
        out += hub.readAllStandardOutput();
    static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
    const auto match = where.match(QString::fromLocal8Bit(out));
    if (!match.hasMatch()) {
        std::fprintf(stderr, "bench_gateway: the hub did not start\n");
        StopProcess(mosquitto);
        return false;
    }
    const QString request = QStringLiteral("TCP:127.0.0.1:%1!GETVALUES").arg(match.captured(1));

    bool ok = true;
    {
        Publisher publisher(brokerPort);
        ok = publisher.ok();
        SVComSrvClass reader(name);
        reader.SetSilent(false);
        // Until every tag has a value.
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const QString answer = reader.ReadInputFile(request);
            const qsizetype empty =
                answer.count(QStringLiteral(",\t")) + (answer.endsWith(QLatin1Char(',')) ? 1 : 0);
            if ((empty == 0 && !answer.isEmpty()) || clock.elapsed() > 60000 || !ok)
                break;
            QThread::msleep(100);
        }
        const double cpuStart = ProcessCpuSeconds(hub.processId());
        const quint64 publishedStart = publisher.published();
        clock.restart();
        std::vector<double> ms;
        qsizetype filled = 0;
        double firstRound = 0;
        double lastRound = 0;
        double lagMs = 0;
        for (int i = 0; i < 50; ++i) {
            QElapsedTimer trip;
            trip.start();
            const QString answer = reader.ReadInputFile(request);
            ms.push_back(double(trip.nsecsElapsed()) / 1e6);
            filled = MqttTags - answer.count(QStringLiteral(",\t"));
            // Every topic's payload is the publisher's round; the first tag's value tells how
            // far the hub has got.
            const qsizetype comma = answer.indexOf(QLatin1Char(','));
            const qsizetype tab = answer.indexOf(QLatin1Char('\t'));
            const double round = QStringView(answer).sliced(comma + 1, tab - comma - 1).toDouble();
            if (i == 0)
                firstRound = round;
            lastRound = round;
            lagMs = double(publisher.round() - qint64(round)) * 1000 / UpdatesPerSecond;
            QThread::msleep(100);
        }
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const double cpu = ProcessCpuSeconds(hub.processId()) - cpuStart;
        Report("gateway_mqtt_publish_rate",
               double(publisher.published() - publishedStart) / seconds, "msg/s");
        Report("gateway_mqtt_getvalues_10000_median", Median(ms), "ms");
        Report("gateway_mqtt_getvalues_10000_worst", *std::max_element(ms.begin(), ms.end()), "ms");
        Report("gateway_mqtt_hub_cpu", 100 * cpu / seconds, "%");
        Report("gateway_mqtt_tags_with_value", double(filled), "tags");
        Report("gateway_mqtt_delivered_rate", (lastRound - firstRound) * MqttTags / (seconds - 0.1),
               "msg/s");
        Report("gateway_mqtt_lag_at_end", lagMs, "ms");
    }
    StopProcess(hub);
    StopProcess(mosquitto);
    return ok;
}

bool ModbusBench(const QTemporaryDir& dir) {
    const quint16 port = FreePort();
    QVariantList entries;
    const auto text = [](const char* latin1) { return QString::fromLatin1(latin1); };
    entries << QVariantMap{{text("table"), text("holding")},
                           {text("address"), 0},
                           {text("type"), text("uint16")},
                           {text("value"), 1},
                           {text("words"), QVariantList(ModbusRegisters, 7)}};
    const QByteArray contents =
        QJsonDocument::fromVariant(QVariantMap{{text("units"), QVariantMap{{text("1"), entries}}}})
            .toJson();
    const QString contentsPath = dir.filePath(QStringLiteral("device.json"));
    if (!WriteFile(contentsPath, contents))
        return false;
    QProcess device;
    device.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(SVC_SOURCE_DIR "/tests/gateway/servers/modbus_server.py"),
                  QString::number(port), contentsPath});
    if (!WaitForPort(port, device)) {
        std::fprintf(stderr, "bench_gateway: the pymodbus device did not start "
                             "(python3-pymodbus, scripts/deps.sh)\n");
        return false;
    }
    QByteArray tags = "plc\tdevice\tport=" + QByteArray::number(port) + " poll=0.1 timeout=2\n";
    for (int i = 0; i < ModbusRegisters; ++i)
        tags += "R" + QByteArray::number(i) +
                "\tmodbus\tdevice=plc address=" + QByteArray::number(i) + "\n";
    QStringList errors;
    const gateway::HubConfig config = gateway::ParseHubConfig(tags, &errors);
    logging::SetProgram(QStringLiteral("bench_gateway"));
    gateway::LiveSources sources;
    sources.Apply(config);
    gateway::ModbusSource* source = sources.Devices().at(0);
    std::vector<double> polls;
    QElapsedTimer clock;
    const QMetaObject::Connection counting =
        QObject::connect(source, &gateway::ModbusSource::PollDone, [&](qint64 ns) {
            if (!clock.isValid())
                clock.start();
            polls.push_back(double(ns) / 1e6);
            if (polls.size() == 101)
                QCoreApplication::quit();
        });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, &QCoreApplication::quit);
    guard.start(60000);
    QCoreApplication::exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    QObject::disconnect(counting);
    if (polls.size() < 2) {
        StopProcess(device);
        std::fprintf(stderr, "bench_gateway: the device was not polled\n");
        return false;
    }
    // The device hangs (stopped; its connection stays open): the time until the source gives
    // it up and empties its tags, against its time-out of 2 s.
    QElapsedTimer hung;
    bool givenUp = false;
    logging::SetSink([&](logging::Level, const QString& line) {
        if (hung.isValid() && line.contains(QStringLiteral("is unreachable"))) {
            givenUp = true;
            QCoreApplication::quit();
        }
    });
    ::kill(pid_t(device.processId()), SIGSTOP);
    hung.start();
    guard.start(30000);
    QCoreApplication::exec();
    const qint64 hungMs = hung.elapsed();
    logging::SetSink({});
    ::kill(pid_t(device.processId()), SIGCONT);
    StopProcess(device);
    if (!givenUp) {
        std::fprintf(stderr, "bench_gateway: the hung device was not given up\n");
        return false;
    }
    polls.erase(polls.begin()); // the first poll also waits for the connection
    Report("gateway_modbus_2000_requests_per_poll", double(source->RequestsPerPoll()), "requests");
    Report("gateway_modbus_2000_poll_median", Median(polls), "ms");
    Report("gateway_modbus_2000_poll_worst", *std::max_element(polls.begin(), polls.end()), "ms");
    Report("gateway_modbus_2000_polls_per_second", double(polls.size()) / seconds, "polls/s");
    Report("gateway_modbus_hung_device_empty", double(hungMs), "ms");
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    mosquitto_lib_init();
    QTemporaryDir dir;
    bool ok = MqttBench(dir);
    ok = ModbusBench(dir) && ok;
    mosquitto_lib_cleanup();
    return ok ? 0 : 1;
}
