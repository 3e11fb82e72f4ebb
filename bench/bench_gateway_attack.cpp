// The hub under attack: how a well-behaved client fares while the hub is attacked, measured
// only over the wire against the svcorblex-hub executable, by default the one beside this
// benchmark; SVC_BENCH_HUB=/path/to/svcorblex-hub measures another build (an older one, to
// compare). Four phases, each with a fresh hub (and Mosquitto broker) on free loopback ports;
// naming phases on the command line (slowloris, retained, burst, descriptors) runs only those.
// A failed request counts in the round-trip figures with the time it took to fail.
//
// Slowloris at the client cap: the hub runs the built-in plant with --max-clients 64
// --idle-timeout 3. 70 attacker connections each send one byte a second of a request line that
// never ends and reopen as soon as the hub closes them. Meanwhile a client asks GETVALUES every
// 100 ms for 20 s, each time on a new connection.
//   gateway_attack_slowloris_getvalues_p50, _p99   round trip, ms
//   gateway_attack_slowloris_requests              requests made
//   gateway_attack_slowloris_served                % of requests answered (answer not empty)
//   gateway_attack_slowloris_attackers_closed      attacker connections the hub closed while
//                                                  the client was measured
//   gateway_attack_slowloris_closed_rate           the same per second: clients that come
//                                                  straight back at the cap take turns, they
//                                                  are not closed as fast as they come
//   gateway_attack_slowloris_hub_cpu               the hub's processor use meanwhile, % of
//                                                  one core: it does not spin
//
// A 65 MiB retained MQTT message: before the hub starts, a retained 65 MiB text payload on one
// topic and a small retained value on another; the hub reads both topics (no decimals) and a
// simulated number. The client asks GETVALUES 100 times, 100 ms apart, on one reader (fewer
// when they do not fit in 30 s).
//   gateway_attack_retained_getvalues_p50, _p99    round trip, ms
//   gateway_attack_retained_requests, _served      requests made, and the % of answers that
//                                                  hold the small value
//
// MQTT bursts: 10 topics, each read by three tags through json= paths. 3,000 JSON messages of
// about 260 KB (a few small fields and a big array of samples), QoS 0, spread over the topics
// and published as fast as one client of this process can, while the client asks GETVALUES
// every 50 ms until the hub shows the last message of every topic (at most 30 s after the
// last one was sent).
//   gateway_attack_burst_getvalues_p50, _p99       round trip, ms
//   gateway_attack_burst_requests, _served         requests made, and the % answered (answer
//                                                  not empty)
//   gateway_attack_burst_published, _publish_time  messages sent, and how long that took
//   gateway_attack_burst_catch_up                  s from the first message until the hub
//                                                  showed the last one of every topic
//   gateway_attack_burst_rss_before                the hub's resident memory (MiB) once every
//                                                  tag had its first value
//   gateway_attack_burst_rss_peak                  its highest resident memory up to the end
//                                                  of the burst
//   gateway_attack_burst_rss_after, _growth        once stable after the burst (at most 15 s),
//                                                  and after minus before
//
// Descriptors run out: the hub's limit of open files is what its clients need and less.
// Few from the start: the hub starts with a limit of 64 files (so it lowers its client cap) and
// 100 clients connect at once. Starved later: a hub with --max-clients 200 has its limit
// lowered to 48 while it runs, 60 clients connect and it cannot accept more; then the limit is
// raised again.
//   gateway_attack_few_descriptors_hub_cpu         the hub's processor use, % of one core, over
//                                                  3 s after the clients connected: it does
//                                                  not spin on the clients it cannot hold
//   gateway_attack_starved_hub_cpu                 the same while it cannot accept: it retries
//                                                  now and then, it does not spin
//   gateway_attack_starved_recovery                ms from raising the limit until a request
//                                                  of a new client is answered

#include "ChildProcess.h"
#include "hub/HubReader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using bench::Broker;
using bench::Child;
using bench::ProcessCpuSeconds;
using bench::ProcessMib;
using bench::WriteFile;

constexpr int SlowlorisClientCap = 64;
constexpr int SlowlorisAttackers = 70;
constexpr int SlowlorisMeasureMs = 20000;
constexpr int SlowlorisIntervalMs = 100;

constexpr qsizetype RetainedBytes = qsizetype(65) * 1024 * 1024;
constexpr int RetainedRequests = 100;
constexpr int RetainedIntervalMs = 100;
// A hub that makes every request wait for its time-out gets fewer requests, not a longer run.
constexpr int RetainedLimitMs = 30000;
const QString SmallTag = QStringLiteral("Small Value");
const QByteArray SmallValue = "42.5";

constexpr int BurstTopics = 10;
constexpr int BurstMessages = 3000;
constexpr qsizetype BurstMessageBytes = 260 * 1000;
constexpr int BurstIntervalMs = 50;
// Messages handed to the client library and not yet written to the broker: enough to keep the
// connection busy, without this process holding the whole burst in memory.
constexpr quint64 BurstWindow = 16;
constexpr int BurstPublishLimitMs = 45000;
constexpr int BurstCatchUpLimitMs = 30000;
constexpr int SettleLimitMs = 15000;

// How long the hub may take to give every tag its first value from the broker.
constexpr int FirstValuesLimitMs = 20000;

void Report(const QString& name, double value, const char* unit) {
    std::printf("%s %.2f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

// What the benchmark's broker adds to its configuration. It takes messages up to the
// protocol's own limit of 256 MiB (its default), and queues enough messages for the hub that a
// burst reaches the hub whole instead of being thinned out by the broker.
const QByteArray BrokerConfig = "max_queued_messages 100000\n";

void Complain(const QString& text) {
    std::fprintf(stderr, "bench_gateway_attack: %s\n", qPrintable(text));
    std::fflush(stderr);
}

// The value below which a fraction `p` of the figures lie (nearest rank).
double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(p * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// The round trips of one phase's client and how many of them were served.
struct Trips {
    std::vector<double> ms;
    int served = 0;

    void Add(double tripMs, bool ok) {
        ms.push_back(tripMs);
        served += ok ? 1 : 0;
    }
};

void ReportTrips(const QString& phase, const Trips& trips) {
    const QString prefix = QStringLiteral("gateway_attack_") + phase;
    Report(prefix + QStringLiteral("_getvalues_p50"), Percentile(trips.ms, 0.50), "ms");
    Report(prefix + QStringLiteral("_getvalues_p99"), Percentile(trips.ms, 0.99), "ms");
    Report(prefix + QStringLiteral("_requests"), double(trips.ms.size()), "requests");
    Report(prefix + QStringLiteral("_served"),
           trips.ms.empty() ? 0 : 100.0 * trips.served / double(trips.ms.size()), "%");
}

// One request: the answer and the time it took, in ms.
QString TimedRequest(SVComSrvClass& reader, const QString& request, double* ms) {
    QElapsedTimer clock;
    clock.start();
    QString answer = reader.ReadInputFile(request);
    *ms = double(clock.nsecsElapsed()) / 1e6;
    return answer;
}

// The value of each tag in a GETVALUES answer.
QHash<QString, QString> SplitValues(const QString& answer) {
    QHash<QString, QString> values;
    for (const QString& entry : answer.split(QLatin1Char('\t'))) {
        const qsizetype comma = entry.indexOf(QLatin1Char(','));
        if (comma >= 0)
            values.insert(entry.left(comma), entry.mid(comma + 1));
    }
    return values;
}

// True when every entry of a GETVALUES answer has a value.
bool AllHaveValues(const QString& answer) {
    if (answer.isEmpty())
        return false;
    const QHash<QString, QString> values = SplitValues(answer);
    return std::all_of(values.cbegin(), values.cend(),
                       [](const QString& v) { return !v.isEmpty(); });
}

// Waits until `ms` after `clock` started, so requests keep their rhythm.
void SleepUntil(const QElapsedTimer& clock, qint64 ms) {
    const qint64 left = ms - clock.elapsed();
    if (left > 0)
        QThread::msleep(quint64(left));
}

// The hub under test, started with `arguments` on a free port and a local endpoint of its own.
// Its log goes to standard error; with --quiet that is only the lines about brokers.
class Hub : public Child {
public:
    bool Start(const QString& phase, QStringList arguments) {
        QString program = qEnvironmentVariable("SVC_BENCH_HUB");
        if (program.isEmpty())
            program = QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub");
        arguments << QStringLiteral("--port") << QStringLiteral("0") << QStringLiteral("--name")
                  << QStringLiteral("svc-bench-attack-%1-%2")
                         .arg(QCoreApplication::applicationPid())
                         .arg(phase)
                  << QStringLiteral("--quiet");
        process().start(program, arguments);
        QByteArray out;
        const QDeadlineTimer deadline(30000);
        while (!out.contains('\n') && !deadline.hasExpired() &&
               process().waitForReadyRead(int(deadline.remainingTime())))
            out += process().readAllStandardOutput();
        static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
        const auto match = where.match(QString::fromLocal8Bit(out));
        if (!match.hasMatch()) {
            Complain(QStringLiteral("the hub %1 did not start").arg(program));
            return false;
        }
        request_ = QStringLiteral("TCP:127.0.0.1:%1!GETVALUES").arg(match.captured(1));
        port_ = quint16(match.captured(1).toUInt());
        return true;
    }
    // "TCP:127.0.0.1:PORT!GETVALUES"
    const QString& request() const { return request_; }
    quint16 port() const { return port_; }
    double RssMib() const { return ProcessMib(pid(), "VmRSS"); }
    double PeakRssMib() const { return ProcessMib(pid(), "VmHWM"); }

    // Asks GETVALUES until `ready` accepts the answer; false when `ms` passed first.
    bool WaitForValues(int ms, const std::function<bool(const QString&)>& ready) {
        SVComSrvClass reader;
        reader.SetSilent(true);
        const QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired() && Running()) {
            if (ready(reader.ReadInputFile(request_)))
                return true;
            QThread::msleep(200);
        }
        return false;
    }

private:
    QString request_;
    quint16 port_ = 0;
};

// A libmosquitto client of this process with its own network thread. Counts the messages the
// library has written to the broker (QoS 0) or the broker has acknowledged (QoS 1).
class MqttClient {
public:
    explicit MqttClient(quint16 port) {
        mosq_ = mosquitto_new(nullptr, true, this);
        if (!mosq_)
            return;
        mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int code) {
            static_cast<MqttClient*>(self)->Signal(
                [&](MqttClient& c) { c.connected_ = code == 0; });
        });
        mosquitto_publish_callback_set(mosq_, [](mosquitto*, void* self, int) {
            static_cast<MqttClient*>(self)->Signal([](MqttClient& c) { ++c.sent_; });
        });
        ok_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
              mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
        ok_ = ok_ && Wait(10000, [this] { return connected_; });
    }
    ~MqttClient() {
        if (!mosq_)
            return;
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    bool ok() const { return ok_; }

    bool Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain) {
        if (!ok_)
            return false;
        {
            std::lock_guard lock(mutex_);
            ++queued_;
        }
        if (mosquitto_publish(mosq_, nullptr, topic.constData(), int(payload.size()),
                              payload.constData(), qos, retain) == MOSQ_ERR_SUCCESS)
            return true;
        std::lock_guard lock(mutex_);
        --queued_;
        return false;
    }

    // Waits until at most `outstanding` published messages are still on their way; false when
    // that took longer than `ms`.
    bool WaitSent(quint64 outstanding, qint64 ms) {
        return Wait(ms, [this, outstanding] { return queued_ - sent_ <= outstanding; });
    }

private:
    template <typename Change> void Signal(Change change) {
        {
            std::lock_guard lock(mutex_);
            change(*this);
        }
        wake_.notify_all();
    }
    template <typename Done> bool Wait(qint64 ms, Done done) {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(0, ms)), done);
    }

    mosquitto* mosq_ = nullptr;
    bool ok_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool connected_ = false;
    quint64 queued_ = 0;
    quint64 sent_ = 0;
};

// Slow attackers: each connection sends one byte a second of a request line whose end never
// comes, so the hub keeps waiting for the rest. A connection the hub closes is opened again at
// once, as attack tools do. Runs on a thread of its own with non-blocking sockets, so the
// measuring client on the main thread is never held up by it.
class Slowloris {
public:
    Slowloris(quint16 port, int connections) : port_(port), attackers_(size_t(connections)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Slowloris() {
        stop_ = true;
        thread_.join();
        for (Attacker& attacker : attackers_)
            Close(attacker);
    }
    Slowloris(const Slowloris&) = delete;
    Slowloris& operator=(const Slowloris&) = delete;

    // Seconds the attack has been sending bytes.
    int Seconds() const { return ticks_; }
    // Attacker connections the hub has closed (each one was opened again).
    quint64 Closed() const { return closed_; }

private:
    struct Attacker {
        int fd = -1;
        bool connected = false;
        quint64 sent = 0;
    };

    void Open(Attacker& attacker) {
        attacker.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        attacker.connected = false;
        if (attacker.fd < 0)
            return; // tried again on the next second
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = qToBigEndian(port_);
        address.sin_addr.s_addr = qToBigEndian(quint32(INADDR_LOOPBACK));
        // Even a connection made at once is taken up when poll reports it writable, so a hub
        // that keeps closing connections never makes this recurse.
        const int rc =
            ::connect(attacker.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (rc != 0 && errno != EINPROGRESS)
            Close(attacker);
    }

    void Close(Attacker& attacker) {
        if (attacker.fd >= 0)
            ::close(attacker.fd);
        attacker.fd = -1;
        attacker.connected = false;
    }

    void Reopen(Attacker& attacker) {
        if (attacker.connected)
            ++closed_;
        Close(attacker);
        Open(attacker);
    }

    void Connected(Attacker& attacker) {
        attacker.connected = true;
        SendByte(attacker);
    }

    // The next byte of "GETVALUES", over and over, never the LF that would end the line.
    void SendByte(Attacker& attacker) {
        static constexpr char Line[] = "GETVALUES";
        const char byte = Line[attacker.sent % (sizeof Line - 1)];
        if (::send(attacker.fd, &byte, 1, MSG_NOSIGNAL) == 1)
            ++attacker.sent;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            Reopen(attacker);
    }

    void Run() {
        for (Attacker& attacker : attackers_)
            Open(attacker);
        QElapsedTimer clock;
        clock.start();
        std::vector<pollfd> fds;
        std::vector<Attacker*> polled;
        while (!stop_) {
            fds.clear();
            polled.clear();
            for (Attacker& attacker : attackers_)
                if (attacker.fd >= 0) {
                    fds.push_back({attacker.fd, short(attacker.connected ? POLLIN : POLLOUT), 0});
                    polled.push_back(&attacker);
                }
            const qint64 nextTick = qint64(ticks_ + 1) * 1000;
            // At most 100 ms, so a stop is seen in time.
            const int wait = int(std::clamp<qint64>(nextTick - clock.elapsed(), 0, 100));
            if (::poll(fds.data(), nfds_t(fds.size()), wait) > 0) {
                for (size_t i = 0; i < fds.size(); ++i) {
                    Attacker& attacker = *polled[i];
                    if (fds[i].revents == 0)
                        continue;
                    if (!attacker.connected) {
                        int error = 0;
                        socklen_t size = sizeof error;
                        ::getsockopt(attacker.fd, SOL_SOCKET, SO_ERROR, &error, &size);
                        if (error == 0 && (fds[i].revents & POLLOUT))
                            Connected(attacker);
                        else
                            Reopen(attacker);
                        continue;
                    }
                    // The hub sends nothing to a line that has not ended: anything readable is
                    // the end of the connection.
                    char buffer[256];
                    const ssize_t got = ::recv(attacker.fd, buffer, sizeof buffer, 0);
                    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                        Reopen(attacker);
                }
            }
            if (clock.elapsed() >= nextTick) {
                ++ticks_;
                for (Attacker& attacker : attackers_) {
                    if (attacker.fd < 0)
                        Open(attacker);
                    else if (attacker.connected)
                        SendByte(attacker);
                }
            }
        }
    }

    quint16 port_;
    std::vector<Attacker> attackers_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::atomic<int> ticks_ = 0;
    std::atomic<quint64> closed_ = 0;
};

bool SlowlorisPhase() {
    Hub hub;
    if (!hub.Start(QStringLiteral("slowloris"),
                   {QStringLiteral("--max-clients"), QString::number(SlowlorisClientCap),
                    QStringLiteral("--idle-timeout"), QStringLiteral("3")}))
        return false;
    Slowloris attack(hub.port(), SlowlorisAttackers);
    // The client starts once every attacker has had time to connect and send a few bytes.
    const QDeadlineTimer settle(5000);
    while (attack.Seconds() < 2 && !settle.hasExpired())
        QThread::msleep(20);
    const quint64 closedBefore = attack.Closed();
    const double cpuBefore = ProcessCpuSeconds(hub.pid());
    Trips trips;
    QElapsedTimer clock;
    clock.start();
    // A request every 100 ms for 20 s, fewer when requests take longer than that.
    for (int i = 0; qint64(i) * SlowlorisIntervalMs < SlowlorisMeasureMs &&
                    clock.elapsed() < SlowlorisMeasureMs;
         ++i) {
        SleepUntil(clock, qint64(i) * SlowlorisIntervalMs);
        SVComSrvClass reader;
        reader.SetSilent(true);
        double ms = 0;
        const QString answer = TimedRequest(reader, hub.request(), &ms);
        trips.Add(ms, !answer.isEmpty());
    }
    const quint64 closed = attack.Closed() - closedBefore;
    const double cpu = ProcessCpuSeconds(hub.pid()) - cpuBefore;
    const double seconds = double(clock.elapsed()) / 1000.0;
    ReportTrips(QStringLiteral("slowloris"), trips);
    Report(QStringLiteral("gateway_attack_slowloris_attackers_closed"), double(closed),
           "connections");
    Report(QStringLiteral("gateway_attack_slowloris_closed_rate"), double(closed) / seconds,
           "connections/s");
    Report(QStringLiteral("gateway_attack_slowloris_hub_cpu"), 100 * cpu / seconds, "%");
    if (!hub.Running()) {
        Complain(QStringLiteral("the hub ended during the slow attack"));
        return false;
    }
    return true;
}

bool RetainedPhase(const QTemporaryDir& dir) {
    Broker broker;
    QString why;
    if (!broker.Start(dir, BrokerConfig, &why)) {
        Complain(why);
        return false;
    }
    {
        // Plain text, no line breaks or TABs: the hub publishes it as it came.
        static constexpr char Pattern[] = "retained payload 0123456789 abcdefghijklmnopqrstuvwxyz ";
        QByteArray big(RetainedBytes, Qt::Uninitialized);
        for (qsizetype i = 0; i < big.size(); ++i)
            big[i] = Pattern[size_t(i) % (sizeof Pattern - 1)];
        MqttClient client(broker.port());
        // QoS 1, so the broker holds both before the hub starts.
        if (!client.Publish("bench/attack/big", big, 1, true) ||
            !client.Publish("bench/attack/small", SmallValue, 1, true) ||
            !client.WaitSent(0, 60000)) {
            Complain(QStringLiteral("could not publish the retained messages"));
            return false;
        }
    }
    const QByteArray tags = "site\tbroker\tport=" + QByteArray::number(broker.port()) +
                            "\n"
                            "Big Payload\tmqtt\tbroker=site topic=bench/attack/big\n" +
                            SmallTag.toUtf8() +
                            "\tmqtt\tbroker=site topic=bench/attack/small\n"
                            "Simulated\tnumber\tbase=50 amplitude=10 period=30 decimals=1\n";
    const QString tagPath = dir.filePath(QStringLiteral("retained.tags"));
    Hub hub;
    if (!WriteFile(tagPath, tags) ||
        !hub.Start(QStringLiteral("retained"), {QStringLiteral("--tags"), tagPath}))
        return false;
    const QString smallEntry = SmallTag + QLatin1Char(',') + QString::fromUtf8(SmallValue);
    const auto holdsSmall = [&smallEntry](const QString& answer) {
        return answer.startsWith(smallEntry + QLatin1Char('\t')) ||
               answer.contains(QLatin1Char('\t') + smallEntry + QLatin1Char('\t')) ||
               answer.endsWith(QLatin1Char('\t') + smallEntry);
    };
    if (!hub.WaitForValues(FirstValuesLimitMs, holdsSmall))
        Complain(QStringLiteral("the small tag had no value within %1 s; measuring all the same")
                     .arg(FirstValuesLimitMs / 1000));
    SVComSrvClass reader;
    reader.SetSilent(true);
    Trips trips;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < RetainedRequests && clock.elapsed() < RetainedLimitMs; ++i) {
        SleepUntil(clock, qint64(i) * RetainedIntervalMs);
        double ms = 0;
        const QString answer = TimedRequest(reader, hub.request(), &ms);
        trips.Add(ms, !answer.isEmpty() && holdsSmall(answer));
    }
    ReportTrips(QStringLiteral("retained"), trips);
    if (!hub.Running()) {
        Complain(QStringLiteral("the hub ended during the retained message"));
        return false;
    }
    return true;
}

// True when the last three memory readings lie within 1 MiB of each other.
bool Settled(const std::vector<double>& rss) {
    if (rss.size() < 3)
        return false;
    const auto [low, high] = std::minmax_element(rss.end() - 3, rss.end());
    return *high - *low < 1.0;
}

QByteArray BurstTopic(int topic) {
    return "bench/attack/unit" + QByteArray::number(topic);
}

// One message of a device: a few readings, then a big array of samples (a waveform).
QByteArray BurstPayload(int seq, const QByteArray& samples) {
    return "{\"seq\":" + QByteArray::number(seq) + ",\"state\":\"" +
           (seq % 7 == 0 ? "STOP" : "RUN") +
           "\",\"data\":{\"temp\":" + QByteArray::number(20.0 + (seq % 100) / 10.0, 'f', 1) +
           "},\"samples\":[" + samples + "]}";
}

// Message `seq` (1 to BurstMessages) goes to topic (seq - 1) % BurstTopics.
int LastSeqOfTopic(int topic) {
    return (BurstMessages - 1 - topic) / BurstTopics * BurstTopics + topic + 1;
}

bool BurstPhase(const QTemporaryDir& dir) {
    Broker broker;
    QString why;
    if (!broker.Start(dir, BrokerConfig, &why)) {
        Complain(why);
        return false;
    }
    QByteArray tags = "site\tbroker\tport=" + QByteArray::number(broker.port()) + "\n";
    for (int t = 0; t < BurstTopics; ++t) {
        const QByteArray unit = "Unit" + QByteArray::number(t);
        const QByteArray source = "\tmqtt\tbroker=site topic=" + BurstTopic(t);
        tags += unit + ".Seq" + source + " json=seq\n";
        tags += unit + ".Temp" + source + " json=data.temp decimals=1\n";
        tags += unit + ".State" + source + " json=state\n";
    }
    {
        // First values, retained, so every tag has one as soon as the hub subscribes.
        MqttClient client(broker.port());
        bool ok = client.ok();
        for (int t = 0; t < BurstTopics && ok; ++t)
            ok = client.Publish(BurstTopic(t), BurstPayload(0, QByteArray()), 1, true);
        if (!ok || !client.WaitSent(0, 10000)) {
            Complain(QStringLiteral("could not publish the first values"));
            return false;
        }
    }
    const QString tagPath = dir.filePath(QStringLiteral("burst.tags"));
    Hub hub;
    if (!WriteFile(tagPath, tags) ||
        !hub.Start(QStringLiteral("burst"), {QStringLiteral("--tags"), tagPath}))
        return false;
    if (!hub.WaitForValues(FirstValuesLimitMs, AllHaveValues))
        Complain(QStringLiteral("not every tag had a value within %1 s; measuring all the same")
                     .arg(FirstValuesLimitMs / 1000));
    const double rssBefore = hub.RssMib();

    QByteArray samples;
    for (int i = 0; samples.size() < BurstMessageBytes - 100; ++i)
        samples += QByteArray::number(100.0 + 50.0 * std::sin(i / 40.0), 'f', 3) + ',';
    samples.chop(1);

    MqttClient client(broker.port());
    if (!client.ok()) {
        Complain(QStringLiteral("the publishing client did not connect"));
        return false;
    }
    std::atomic<int> published = 0;
    std::atomic<bool> publishing = true;
    std::atomic<qint64> publishMs = 0;
    QElapsedTimer clock;
    clock.start();
    std::thread publisher([&] {
        for (int seq = 1; seq <= BurstMessages && clock.elapsed() < BurstPublishLimitMs; ++seq) {
            if (!client.WaitSent(BurstWindow - 1, BurstPublishLimitMs - clock.elapsed()) ||
                !client.Publish(BurstTopic((seq - 1) % BurstTopics), BurstPayload(seq, samples), 0,
                                false))
                break;
            ++published;
        }
        client.WaitSent(0, BurstPublishLimitMs - clock.elapsed());
        publishMs = clock.elapsed();
        publishing = false;
    });

    SVComSrvClass reader;
    reader.SetSilent(true);
    Trips trips;
    double catchUpMs = -1;
    for (int i = 0; hub.Running(); ++i) {
        SleepUntil(clock, qint64(i) * BurstIntervalMs);
        double ms = 0;
        const QString answer = TimedRequest(reader, hub.request(), &ms);
        trips.Add(ms, !answer.isEmpty());
        if (publishing)
            continue;
        const QHash<QString, QString> values = SplitValues(answer);
        bool current = true;
        for (int t = 0; t < BurstTopics && current; ++t)
            current = values.value(QStringLiteral("Unit%1.Seq").arg(t)) ==
                      QString::number(LastSeqOfTopic(t));
        if (current && published == BurstMessages) {
            catchUpMs = double(clock.elapsed());
            break;
        }
        if (clock.elapsed() - publishMs > BurstCatchUpLimitMs) {
            Complain(QStringLiteral("the hub did not show the last message of every topic "
                                    "within %1 s of the burst's end")
                         .arg(BurstCatchUpLimitMs / 1000));
            break;
        }
    }
    publisher.join();
    const double rssPeak = hub.PeakRssMib();

    // The memory the burst left behind, once the hub has settled.
    std::vector<double> rss;
    const QDeadlineTimer settle(SettleLimitMs);
    while (hub.Running() && !settle.hasExpired()) {
        rss.push_back(hub.RssMib());
        if (Settled(rss))
            break;
        QThread::msleep(1000);
    }
    ReportTrips(QStringLiteral("burst"), trips);
    Report(QStringLiteral("gateway_attack_burst_published"), double(published.load()), "messages");
    Report(QStringLiteral("gateway_attack_burst_publish_time"), double(publishMs) / 1000.0, "s");
    if (catchUpMs >= 0)
        Report(QStringLiteral("gateway_attack_burst_catch_up"), catchUpMs / 1000.0, "s");
    if (!hub.Running() || rss.empty()) {
        Complain(QStringLiteral("the hub ended during the burst"));
        return false;
    }
    Report(QStringLiteral("gateway_attack_burst_rss_before"), rssBefore, "MiB");
    Report(QStringLiteral("gateway_attack_burst_rss_peak"), rssPeak, "MiB");
    Report(QStringLiteral("gateway_attack_burst_rss_after"), rss.back(), "MiB");
    Report(QStringLiteral("gateway_attack_burst_rss_growth"), rss.back() - rssBefore, "MiB");
    return true;
}

// `count` idle TCP clients of the hub at `port`, connected one after another.
std::vector<std::unique_ptr<QTcpSocket>> IdleClients(quint16 port, int count) {
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
        clients.back()->waitForConnected(2000);
    }
    return clients;
}

// The hub's processor use over `ms`, % of one core.
double CpuPercentOver(const Child& hub, int ms) {
    const double before = ProcessCpuSeconds(hub.pid());
    QThread::msleep(ulong(ms));
    return 100 * (ProcessCpuSeconds(hub.pid()) - before) / (ms / 1000.0);
}

bool DescriptorsPhase() {
    {
        Hub few;
        few.LimitFiles(64);
        if (!few.Start(QStringLiteral("few"), {}))
            return false;
        const auto clients = IdleClients(few.port(), 100);
        Report(QStringLiteral("gateway_attack_few_descriptors_hub_cpu"), CpuPercentOver(few, 3000),
               "%");
        if (!few.Running()) {
            Complain(QStringLiteral("the hub with few descriptors ended"));
            return false;
        }
    }
    Hub starved;
    if (!starved.Start(QStringLiteral("starved"),
                       {QStringLiteral("--max-clients"), QStringLiteral("200")}) ||
        !starved.SetFileLimit(48))
        return false;
    auto clients = IdleClients(starved.port(), 60);
    QThread::msleep(1000); // its first failures and the first retry
    Report(QStringLiteral("gateway_attack_starved_hub_cpu"), CpuPercentOver(starved, 3000), "%");
    clients.clear();
    if (!starved.SetFileLimit(1024))
        return false;
    QElapsedTimer clock;
    clock.start();
    if (!starved.WaitForValues(10000, [](const QString& answer) { return !answer.isEmpty(); })) {
        Complain(QStringLiteral("the starved hub did not serve again within 10 s"));
        return false;
    }
    Report(QStringLiteral("gateway_attack_starved_recovery"), double(clock.elapsed()), "ms");
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    mosquitto_lib_init();
    bool ok = true;
    {
        QTemporaryDir dir;
        // Phases named on the command line, or all of them.
        const QStringList only = app.arguments().mid(1);
        const auto wanted = [&only](const char* phase) {
            return only.isEmpty() || only.contains(QLatin1String(phase));
        };
        if (wanted("slowloris"))
            ok = SlowlorisPhase() && ok;
        if (wanted("retained"))
            ok = RetainedPhase(dir) && ok;
        if (wanted("burst"))
            ok = BurstPhase(dir) && ok;
        if (wanted("descriptors"))
            ok = DescriptorsPhase() && ok;
    }
    mosquitto_lib_cleanup();
    return ok ? 0 : 1;
}
