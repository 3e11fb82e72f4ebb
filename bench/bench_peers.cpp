// The hub beside a peer plant engineers use for the same work, Node-RED (with
// node-red-contrib-modbus), one subject at a time, each with fresh servers on free loopback
// ports. bench/run peers installs Node-RED into build/peers (bench/peers/install.sh); this
// benchmark takes its red.js from there or from SVC_BENCH_NODE_RED. Without it only the hub is
// measured, and the benchmark says why and fails. SVC_BENCH_HUB=/path/to/svcorblex-hub
// measures another hub build. Arguments narrow the run: "modbus" or "mqtt", "hub" or
// "nodered".
//
// The subjects share the machine with the device, the broker and this benchmark, and with
// whatever else runs on it: every phase prints the machine's load average at its start.
//
// Modbus: a pymodbus device (tests/gateway/servers/modbus_server.py) with 2,000 holding
// registers, polled every 100 ms: the hub through a tag file of 2,000 modbus tags, Node-RED
// through 16 "modbus-read" nodes of 125 registers each (Modbus's largest read) feeding a
// function node that keeps the latest values. Both reach the device through a relay of this
// benchmark that times each request on the wire, so a poll is timed the same way for both:
// from the request for register 0 until every register of that poll has been answered (the
// device's own time included). Measured for 30 s once every register shows its value:
//   peers_modbus_SUBJECT_load_average             the machine's 1-minute load average, tasks
//   peers_modbus_SUBJECT_poll_median, _poll_p95   poll time, ms
//   peers_modbus_SUBJECT_polls_per_second         polls completed per second (10 when on time)
//   peers_modbus_SUBJECT_requests_per_poll        read requests per poll
//   peers_modbus_SUBJECT_cpu_share                process CPU time (user + kernel, from
//                                                 /proc/PID/stat) per second of run, % of a core
//   peers_modbus_SUBJECT_peak_rss                 highest resident memory (VmHWM), MiB
//
// MQTT: a local Mosquitto broker, 10,000 topics, each updated 10 times a second (100,000
// messages a second, QoS 0) by one publisher of this benchmark writing MQTT packets straight
// to its socket, 1,000 topics every 10 ms. Every payload is the time it was sent (ms on this
// benchmark's clock). The hub reads the topics as 10,000 mqtt tags; Node-RED through one
// "mqtt in" node subscribed to bench/t/# feeding a function node that keeps the latest
// payload of each topic. Once every topic shows a value, for 30 s, with a read of all values
// every second (GETVALUES from the hub, an HTTP endpoint of the flow from Node-RED):
//   peers_mqtt_SUBJECT_load_average       the machine's 1-minute load average, tasks
//   peers_mqtt_SUBJECT_publish_rate       messages published per second (bench/run marks it
//                                         below 95,000, and the benchmark complains)
//   peers_mqtt_SUBJECT_broker_cpu_share   the broker's CPU time per second, % of a core
//   peers_mqtt_SUBJECT_cpu_per_1000       process CPU time per 1,000 messages published, ms
//   peers_mqtt_SUBJECT_delivered_rate     messages the broker sent the subject per second, and
//   peers_mqtt_SUBJECT_dropped_rate       dropped for it (its queue full), by the broker's own
//                                         counts ($SYS, updated every second)
//   peers_mqtt_SUBJECT_cpu_per_1000_delivered  process CPU time per 1,000 of those sent, ms
//   peers_mqtt_SUBJECT_kernel_share       share of that CPU time spent in the kernel (stime
//                                         over utime + stime), %
//   peers_mqtt_SUBJECT_peak_rss           highest resident memory (VmHWM), MiB
//   peers_mqtt_SUBJECT_reads_answered     reads answered within 10 s, %
//   peers_mqtt_SUBJECT_read_median        time a read of all values took, ms
//   peers_mqtt_SUBJECT_lag_median, _p95   when a read's answer came, the time since the newest
//                                         payload it shows was sent, ms: the delivery lag of
//                                         the newest message, broker included, which grows
//                                         once a subject falls behind
//   peers_mqtt_SUBJECT_oldest_median      the same for the oldest payload it shows, ms (about
//                                         100 ms more than the lag when every topic keeps up)
//   peers_mqtt_SUBJECT_topics_shown       topics with a value at the last answered read
//   peers_mqtt_nodered_handled_rate       messages the flow's function node took per second
//   peers_mqtt_nodered_cpu_per_1000_handled  CPU time per 1,000 of those, ms (the messages it
//                                         did not take were dropped by the broker or still
//                                         queued)
//
// SUBJECT is "hub" or "nodered"; peers_*_ratio_* lines divide Node-RED's figure by the hub's.
// A subject that falls behind takes fewer messages than were published, so its CPU time per
// message published flatters it: compare cpu_per_1000_delivered, counted alike for both by the
// broker (for a subject that lags, its count may hold messages not yet written to the socket).

#include "ChildProcess.h"
#include "hub/HubReader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using bench::Broker;
using bench::Child;
using bench::CpuTime;
using bench::FreePort;
using bench::ProcessCpu;
using bench::ProcessMib;
using bench::WaitForPort;
using bench::WriteFile;

constexpr int ModbusRegisters = 2000;
constexpr int ModbusReadSize = 125; // the most registers one Modbus read may ask for
constexpr int ModbusPollMs = 100;
constexpr int MqttTopics = 10000;
constexpr int UpdatesPerSecond = 10;
constexpr int MessagesPerSecond = MqttTopics * UpdatesPerSecond;
// The publisher sends a slice of the topics every SliceMs, so the rate is even over a second.
constexpr int SliceMs = 10;
constexpr int MeasureMs = 30000;
constexpr int SettleMs = 2000;
constexpr int ReadyLimitMs = 60000;
constexpr int MqttReadIntervalMs = 1000;
// How long a read of a subject's values may take, for both subjects alike.
constexpr int ReadLimitMs = 10000;

enum class Kind { Hub, NodeRed };

QString KindName(Kind kind) {
    return kind == Kind::Hub ? QStringLiteral("hub") : QStringLiteral("nodered");
}

void Report(const QString& name, double value, const char* unit) {
    std::printf("%s %.2f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

// What the benchmark's broker adds to its configuration: a queue as long as a burst, and its
// $SYS counts every second (BrokerCounts reads them).
const QByteArray BrokerConfig = "max_queued_messages 100000\nsys_interval 1\n";

void Complain(const QString& text) {
    std::fprintf(stderr, "bench_peers: %s\n", qPrintable(text));
    std::fflush(stderr);
}

// Nanoseconds of the steady clock since this benchmark started.
qint64 NowNs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.nsecsElapsed();
}

// The value below which a fraction `p` of the figures lie (nearest rank).
double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = size_t(std::ceil(p * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// The machine's load average over the last minute, from /proc/loadavg: the figures of a
// busy machine are read with it.
double LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// A body from GET http://127.0.0.1:PORT/PATH; nothing unless the answer was 200.
std::optional<QByteArray> HttpGet(quint16 port, const QByteArray& path, int ms) {
    const QDeadlineTimer deadline(ms);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(ms))
        return std::nullopt;
    socket.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    // An HTTP/1.0 request: the server closes the connection after the answer.
    while (!deadline.hasExpired() && socket.waitForReadyRead(int(deadline.remainingTime())))
        answer += socket.readAll();
    answer += socket.readAll();
    const qsizetype body = answer.indexOf("\r\n\r\n");
    if (body < 0 || !answer.startsWith("HTTP/1.1 200"))
        return std::nullopt;
    return answer.mid(body + 4);
}

// The pymodbus device of the hub's tests, with every one of the first ModbusRegisters
// holding registers set to 7.
class Device : public Child {
public:
    bool Start(const QTemporaryDir& dir) {
        QByteArray words;
        for (int i = 0; i < ModbusRegisters; ++i)
            words += (i ? ",7" : "7");
        const QByteArray contents = R"({"units": {"1": [{"table": "holding", "address": 0, )"
                                    R"("type": "uint16", "value": 1, "words": [)" +
                                    words + "]}]}}";
        const QString path = dir.filePath(QStringLiteral("device.json"));
        port_ = FreePort();
        if (!WriteFile(path, contents))
            return false;
        process().start(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral(SVC_SOURCE_DIR "/tests/gateway/servers/modbus_server.py"),
                         QString::number(port_), path});
        if (WaitForPort(port_, process()))
            return true;
        Complain(QStringLiteral("the pymodbus device did not start (python3-pymodbus, "
                                "scripts/deps.sh)"));
        return false;
    }
    quint16 port() const { return port_; }

private:
    quint16 port_ = 0;
};

// Writes all of `size` bytes to the socket `fd`, however many writes that takes; false when
// the connection failed.
bool SendAll(int fd, const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

// Relays Modbus TCP between a subject and the device on a thread of its own and times every
// read on the wire. A poll starts with the request for register 0 and ends when every
// register of that poll has been answered; requests belong to the poll started last before
// they were sent.
class ModbusRelay {
public:
    struct Poll {
        qint64 startNs = 0;
        qint64 endNs = -1;
        int requests = 0;
        int answered = 0; // registers
    };

    explicit ModbusRelay(quint16 devicePort) : devicePort_(devicePort) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        const int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ModbusRelay() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (Pair& pair : pairs_) {
            ::close(pair.subject);
            ::close(pair.device);
        }
        ::close(listener_);
    }
    ModbusRelay(const ModbusRelay&) = delete;
    ModbusRelay& operator=(const ModbusRelay&) = delete;

    quint16 port() const { return port_; }

    // The polls that started in [fromNs, toNs) and were answered whole.
    std::vector<Poll> Polls(qint64 fromNs, qint64 toNs) {
        std::lock_guard lock(mutex_);
        std::vector<Poll> done;
        for (const Poll& poll : polls_)
            if (poll.startNs >= fromNs && poll.startNs < toNs && poll.endNs >= 0)
                done.push_back(poll);
        return done;
    }

private:
    struct Pair {
        int subject = -1;
        int device = -1;
        QByteArray fromSubject; // bytes not yet making a whole frame
        QByteArray fromDevice;
    };
    struct Request {
        size_t poll = 0;
        int registers = 0;
    };

    static sockaddr_in Loopback(quint16 port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    static quint16 Word(const QByteArray& bytes, qsizetype at) {
        return quint16((quint8(bytes[at]) << 8) | quint8(bytes[at + 1]));
    }

    // Takes the whole frames off the front of `buffer`, calling `frame` for each.
    static void Frames(QByteArray& buffer, const std::function<void(const QByteArray&)>& frame) {
        qsizetype at = 0;
        while (buffer.size() - at >= 8) {
            const qsizetype size = 6 + Word(buffer, at + 4);
            if (buffer.size() - at < size)
                break;
            frame(buffer.mid(at, size));
            at += size;
        }
        buffer.remove(0, at);
    }

    void FromSubject(const QByteArray& frame, qint64 now) {
        // Transaction id, protocol, length, unit, function, address, count.
        if (frame.size() < 12 || (frame[7] != 3 && frame[7] != 4))
            return;
        std::lock_guard lock(mutex_);
        if (Word(frame, 8) == 0)
            polls_.push_back({now, -1, 0, 0});
        if (polls_.empty())
            return;
        ++polls_.back().requests;
        pending_[Word(frame, 0)] = {polls_.size() - 1, Word(frame, 10)};
    }

    void FromDevice(const QByteArray& frame, qint64 now) {
        std::lock_guard lock(mutex_);
        const auto request = pending_.find(Word(frame, 0));
        if (request == pending_.end())
            return;
        Poll& poll = polls_[request->second.poll];
        poll.answered += request->second.registers;
        if (poll.answered >= ModbusRegisters && poll.endNs < 0)
            poll.endNs = now;
        pending_.erase(request);
    }

    void Accept() {
        const int subject = ::accept(listener_, nullptr, nullptr);
        if (subject < 0)
            return;
        const int device = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in address = Loopback(devicePort_);
        if (::connect(device, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(device);
            ::close(subject);
            return;
        }
        const int yes = 1;
        ::setsockopt(subject, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        ::setsockopt(device, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        pairs_.push_back({subject, device, {}, {}});
    }

    // Moves what is readable on one side to the other; false when the connection ended.
    bool Relay(int from, int to, QByteArray& buffer, bool fromSubject) {
        char chunk[65536];
        const ssize_t got = ::recv(from, chunk, sizeof chunk, 0);
        if (got <= 0)
            return got < 0 && (errno == EINTR || errno == EAGAIN);
        // Timed as soon as it arrives: a request no earlier than the subject sent it, an
        // answer no later than the subject gets it.
        const qint64 now = NowNs();
        if (!SendAll(to, chunk, got))
            return false;
        buffer.append(chunk, got);
        Frames(buffer, [this, fromSubject, now](const QByteArray& frame) {
            fromSubject ? FromSubject(frame, now) : FromDevice(frame, now);
        });
        return true;
    }

    void Run() {
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (const Pair& pair : pairs_) {
                fds.push_back({pair.subject, POLLIN, 0});
                fds.push_back({pair.device, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            // The pairs polled, before a new one joins them.
            for (size_t i = pairs_.size(); i-- > 0;) {
                Pair& pair = pairs_[i];
                bool open = true;
                if (fds[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                    open = Relay(pair.subject, pair.device, pair.fromSubject, true);
                if (open && fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                    open = Relay(pair.device, pair.subject, pair.fromDevice, false);
                if (!open) {
                    ::close(pair.subject);
                    ::close(pair.device);
                    pairs_.erase(pairs_.begin() + qsizetype(i));
                }
            }
            if (fds[0].revents & POLLIN)
                Accept();
        }
    }

    quint16 devicePort_;
    quint16 port_ = 0;
    int listener_ = -1;
    std::vector<Pair> pairs_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::mutex mutex_;
    std::vector<Poll> polls_;
    std::map<quint16, Request> pending_;
};

// An MQTT 3.1.1 connection of this benchmark over a plain socket: it writes and reads the
// few packets it needs itself.
class MqttSocket {
public:
    MqttSocket(const MqttSocket&) = delete;
    MqttSocket& operator=(const MqttSocket&) = delete;

protected:
    MqttSocket() = default;
    ~MqttSocket() {
        if (connected_)
            SendAll(QByteArray("\xe0\0", 2)); // DISCONNECT
        if (fd_ >= 0)
            ::close(fd_);
    }

    // CONNECT with a clean session and no keep-alive; true once the broker accepted it.
    bool Connect(quint16 port, const QByteArray& id) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return false;
        const QByteArray body = QByteArray("\0\4MQTT\4\2\0\0", 10) + char(0) + char(id.size()) + id;
        char connack[4];
        qsizetype got = 0;
        if (!SendAll(Packet(0x10, body)))
            return false;
        while (got < 4) {
            const ssize_t n = ::recv(fd_, connack + got, size_t(4 - got), 0);
            if (n <= 0)
                return false;
            got += n;
        }
        connected_ = connack[0] == 0x20 && connack[3] == 0;
        return connected_;
    }

    // A packet: its type byte, the remaining length, the body.
    static QByteArray Packet(char type, const QByteArray& body) {
        QByteArray packet(1, type);
        for (qsizetype left = body.size();;) {
            const char digit = char(left % 128);
            left /= 128;
            packet += left > 0 ? char(digit | 0x80) : digit;
            if (left == 0)
                break;
        }
        return packet + body;
    }

    // A topic or other string as MQTT writes it: its length, then its bytes.
    static QByteArray Text(const QByteArray& text) {
        return QByteArray(1, char(text.size() >> 8)) + char(text.size() & 0xff) + text;
    }

    bool SendAll(const QByteArray& bytes) const {
        return ::SendAll(fd_, bytes.constData(), bytes.size());
    }

    int fd_ = -1;

private:
    bool connected_ = false;
};

// One MQTT connection that publishes every topic UpdatesPerSecond times a second, QoS 0, from
// a thread of its own. It writes the packets itself, a slice of topics at a time, so one
// connection reaches the rate with time to spare. Each payload is NowNs() in ms.
class Publisher : public MqttSocket {
public:
    explicit Publisher(quint16 port) {
        ok_ = Connect(port, "svc-bench-peers-publisher");
        if (ok_)
            thread_ = std::thread([this] { Run(); });
    }
    ~Publisher() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    bool ok() const { return ok_; }
    quint64 published() const { return published_; }

    static QByteArray Topic(int i) { return "bench/t/" + QByteArray::number(i); }

private:
    void Run() {
        std::vector<QByteArray> heads; // the topic of each PUBLISH, as MQTT writes it
        for (int i = 0; i < MqttTopics; ++i)
            heads.push_back(Text(Topic(i)));
        constexpr int slices = 1000 / SliceMs / UpdatesPerSecond;
        constexpr int perSlice = MqttTopics / slices;
        const qint64 startNs = NowNs();
        QByteArray batch;
        for (qint64 slice = 0; !stop_; ++slice) {
            const qint64 dueNs = startNs + slice * SliceMs * 1000000;
            while (!stop_ && NowNs() < dueNs)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            const QByteArray payload = QByteArray::number(NowNs() / 1000000);
            batch.clear();
            const int first = int(slice % slices) * perSlice;
            for (int i = first; i < first + perSlice; ++i)
                batch += Packet(0x30, heads[size_t(i)] + payload);
            if (!SendAll(batch))
                break;
            published_ += perSlice;
        }
    }

    bool ok_ = false;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::atomic<quint64> published_ = 0;
};

// The broker's own counts of messages it sent to subscribers and dropped (its queue for a
// subscriber full), from its $SYS topics, which it updates every second when they change.
// The only other subscriber is this connection, which gets a few $SYS messages a second.
class BrokerCounts : public MqttSocket {
public:
    explicit BrokerCounts(quint16 port) {
        if (!Connect(port, "svc-bench-peers-counts") ||
            !SendAll(Packet(char(0x82), QByteArray("\0\1", 2) +
                                            Text("$SYS/broker/publish/messages/+") + char(0))))
            return;
        thread_ = std::thread([this] { Run(); });
    }
    ~BrokerCounts() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    // Messages a second the broker counted as "sent" or "dropped" between its first and last
    // count that arrived in [fromNs, toNs); -1 without two counts in that time. Counts arrive
    // as the broker takes them, so the rate is over the broker's own times.
    double Rate(const QByteArray& name, qint64 fromNs, qint64 toNs) {
        std::lock_guard lock(mutex_);
        const std::vector<Sample>& samples = counts_["$SYS/broker/publish/messages/" + name];
        const Sample* first = nullptr;
        const Sample* last = nullptr;
        for (const Sample& sample : samples)
            if (sample.ns >= fromNs && sample.ns < toNs) {
                first = first ? first : &sample;
                last = &sample;
            }
        if (!first || last->ns <= first->ns)
            return -1;
        return (last->count - first->count) / (double(last->ns - first->ns) / 1e9);
    }

private:
    void Run() {
        QByteArray buffer;
        while (!stop_) {
            pollfd fd{fd_, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            char chunk[4096];
            const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0)
                return;
            buffer.append(chunk, got);
            for (;;) {
                // Type byte, remaining length (1 to 4 bytes), body.
                qsizetype size = 0;
                qsizetype at = 1;
                for (int shift = 0; at < buffer.size() && at <= 4; shift += 7, ++at) {
                    size |= qsizetype(quint8(buffer[at]) & 0x7f) << shift;
                    if (!(quint8(buffer[at]) & 0x80))
                        break;
                }
                if (at >= buffer.size() || buffer.size() < at + 1 + size)
                    break;
                const QByteArray body = buffer.mid(at + 1, size);
                if ((quint8(buffer[0]) >> 4) == 3 && body.size() >= 2) { // PUBLISH, QoS 0
                    const qsizetype topicSize = (quint8(body[0]) << 8) | quint8(body[1]);
                    std::lock_guard lock(mutex_);
                    counts_[body.mid(2, topicSize)].push_back(
                        {NowNs(), body.mid(2 + topicSize).toDouble()});
                }
                buffer.remove(0, at + 1 + size);
            }
        }
    }

    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::mutex mutex_;
    struct Sample {
        qint64 ns;
        double count;
    };
    std::map<QByteArray, std::vector<Sample>> counts_;
};

// What a subject shows: the value of each tag or topic, NaN where it has none.
struct Shown {
    std::vector<double> values;
    double handled = -1; // Node-RED: messages its function node has taken
};

// A subject under measurement.
class Subject : public Child {
public:
    virtual std::optional<Shown> Read() = 0;
};

// The hub, started with a tag file on a free port and a local endpoint of its own.
class Hub : public Subject {
public:
    bool Start(const QTemporaryDir& dir, const QString& phase, const QByteArray& tags) {
        const QString tagPath = dir.filePath(phase + QStringLiteral(".tags"));
        if (!WriteFile(tagPath, tags))
            return false;
        QString program = qEnvironmentVariable("SVC_BENCH_HUB");
        if (program.isEmpty())
            program = QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub");
        process().start(program, {QStringLiteral("--tags"), tagPath, QStringLiteral("--port"),
                                  QStringLiteral("0"), QStringLiteral("--name"),
                                  QStringLiteral("svc-bench-peers-%1-%2")
                                      .arg(QCoreApplication::applicationPid())
                                      .arg(phase),
                                  QStringLiteral("--quiet")});
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
        reader_.SetSilent(true);
        reader_.SetTimeoutMs(ReadLimitMs);
        return true;
    }

    std::optional<Shown> Read() override {
        const QString answer = reader_.ReadInputFile(request_);
        if (answer.isEmpty())
            return std::nullopt;
        Shown shown;
        for (QStringView entry : QStringView(answer).split(QLatin1Char('\t'))) {
            bool ok = false;
            const double value = entry.sliced(entry.indexOf(QLatin1Char(',')) + 1).toDouble(&ok);
            shown.values.push_back(ok ? value : std::nan(""));
        }
        return shown;
    }

private:
    SVComSrvClass reader_;
    QString request_;
};

// Node-RED, headless (no editor), with a flow of this benchmark in a temporary user folder.
// The flow serves what it holds as JSON, {"values": [...] or {...}, "handled": N}, on
// GET /values.
class NodeRed : public Subject {
public:
    bool Start(const QTemporaryDir& dir, const QString& phase, const QByteArray& flow) {
        const QString redJs = Program();
        const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
        if (redJs.isEmpty() || node.isEmpty())
            return false;
        userDir_ = dir.filePath(QStringLiteral("node-red-") + phase);
        port_ = FreePort();
        const QByteArray settings =
            "module.exports = {\n"
            "  uiHost: '127.0.0.1', uiPort: " +
            QByteArray::number(port_) +
            ",\n"
            "  httpAdminRoot: false, flowFile: 'flows.json', credentialSecret: false,\n"
            "  logging: { console: { level: 'warn', metrics: false, audit: false } },\n"
            "  externalModules: { autoInstall: false, palette: { allowInstall: false } },\n"
            "  telemetry: { enabled: false }, diagnostics: { enabled: false },\n"
            "  runtimeState: { enabled: false },\n"
            "};\n";
        if (!QDir().mkpath(userDir_) ||
            !WriteFile(userDir_ + QStringLiteral("/settings.js"), settings) ||
            !WriteFile(userDir_ + QStringLiteral("/flows.json"), flow))
            return false;
        process().setProcessChannelMode(QProcess::MergedChannels);
        process().setStandardOutputFile(userDir_ + QStringLiteral("/node-red.log"));
        process().start(node, {redJs, QStringLiteral("--settings"),
                               userDir_ + QStringLiteral("/settings.js"),
                               QStringLiteral("--userDir"), userDir_});
        const QDeadlineTimer deadline(ReadyLimitMs);
        process().waitForStarted(10000);
        while (!deadline.hasExpired() && Running()) {
            if (HttpGet(port_, "/values", 5000))
                return true;
            QThread::msleep(200);
        }
        QFile log(userDir_ + QStringLiteral("/node-red.log"));
        log.open(QIODevice::ReadOnly);
        Complain(QStringLiteral("Node-RED did not serve its flow within %1 s; its log:\n%2")
                     .arg(ReadyLimitMs / 1000)
                     .arg(QString::fromUtf8(log.readAll().right(4000))));
        return false;
    }

    std::optional<Shown> Read() override {
        const std::optional<QByteArray> body = HttpGet(port_, "/values", ReadLimitMs);
        if (!body)
            return std::nullopt;
        const QJsonObject object = QJsonDocument::fromJson(*body).object();
        Shown shown;
        const auto add = [&shown](const QJsonValue& value) {
            bool ok = value.isDouble();
            double number = value.toDouble();
            if (value.isString())
                number = value.toString().toDouble(&ok);
            shown.values.push_back(ok ? number : std::nan(""));
        };
        const QJsonValue values = object.value(QStringLiteral("values"));
        if (values.isArray())
            for (const QJsonValue& value : values.toArray())
                add(value);
        else
            for (const QJsonValue& value : values.toObject())
                add(value);
        shown.handled = object.value(QStringLiteral("handled")).toDouble(-1);
        return shown;
    }

    // Node-RED's red.js: SVC_BENCH_NODE_RED, else where bench/peers/install.sh puts it.
    static QString Program() {
        QString path = qEnvironmentVariable("SVC_BENCH_NODE_RED");
        if (path.isEmpty())
            path = QStringLiteral(SVC_SOURCE_DIR "/build/peers/node_modules/node-red/red.js");
        return QFileInfo::exists(path) ? path : QString();
    }

private:
    QString userDir_;
    quint16 port_ = 0;
};

// A flow of Node-RED's: its nodes' JSON objects on one tab ("z": "bench-tab"), and a function node
// "bench-store" that keeps what arrives in the flow's "state", served on GET /values. Every id
// starts with "bench-": Node-RED takes any property whose value is a config node's id for a
// reference to it, and a config node named like its own id would depend on itself.
QByteArray FlowFile(const QByteArrayList& nodes, const QByteArray& initialize,
                    const QByteArray& function) {
    const auto text = [](const QByteArray& code) {
        return QJsonDocument(QJsonArray{QString::fromUtf8(code)})
            .toJson(QJsonDocument::Compact)
            .chopped(1)
            .mid(1);
    };
    QByteArrayList all{R"({"id": "bench-tab", "type": "tab", "label": "bench"})"};
    all << nodes
        << R"({"id": "bench-store", "type": "function", "z": "bench-tab", )"
           R"("name": "keep the latest values", )"
           R"("func": )" +
               text(function) +
               R"(, "outputs": 1, "timeout": 0, "noerr": 0, )"
               R"("initialize": )" +
               text(initialize) +
               R"(, "finalize": "", "libs": [], )"
               R"("wires": [[]]})"
        << R"({"id": "bench-get", "type": "http in", "z": "bench-tab", "url": "/values", )"
           R"("method": "get", )"
           R"("upload": false, "swaggerDoc": "", "wires": [["bench-serve"]]})"
        << R"({"id": "bench-serve", "type": "function", "z": "bench-tab", )"
           R"("name": "serve the values", )"
           R"("func": "msg.payload = flow.get('state') || {values: [], handled: 0};\n)"
           R"(return msg;", )"
           R"("outputs": 1, "timeout": 0, "noerr": 0, "initialize": "", "finalize": "", )"
           R"("libs": [], "wires": [["bench-answer"]]})"
        << R"({"id": "bench-answer", "type": "http response", "z": "bench-tab", )"
           R"("statusCode": "", )"
           R"("headers": {}, "wires": []})";
    return "[\n" + all.join(",\n") + "\n]\n";
}

QByteArray ModbusFlow(quint16 port) {
    QByteArrayList nodes;
    nodes
        << R"({"id": "bench-device", "type": "modbus-client", "name": "device", )"
           R"("clienttype": "tcp", )"
           R"("bufferCommands": true, "stateLogEnabled": false, "queueLogEnabled": false, )"
           R"("failureLogEnabled": true, "tcpHost": "127.0.0.1", "tcpPort": ")" +
               QByteArray::number(port) +
               R"(", "tcpType": "DEFAULT", "serialPort": "/dev/ttyUSB", )"
               R"("serialType": "RTU-BUFFERD", "serialBaudrate": "9600", "serialDatabits": "8", )"
               R"("serialStopbits": "1", "serialParity": "none", "serialConnectionDelay": "100", )"
               R"("serialAsciiResponseStartDelimiter": "0x3A", "unit_id": "1", )"
               R"("commandDelay": "1", "clientTimeout": "2000", "reconnectOnTimeout": true, )"
               R"("reconnectTimeout": "2000", "parallelUnitIdsAllowed": true, )"
               R"("showErrors": false, "showWarnings": true, "showLogs": true})";
    for (int address = 0; address < ModbusRegisters; address += ModbusReadSize) {
        const QByteArray at = QByteArray::number(address);
        nodes << R"({"id": "bench-read)" + at +
                     R"(", "type": "modbus-read", "z": "bench-tab", )"
                     R"("name": "registers )" +
                     at +
                     R"(", "topic": "", )"
                     R"("showStatusActivities": false, "logIOActivities": false, )"
                     R"("showErrors": false, "showWarnings": true, "unitid": "1", )"
                     R"("dataType": "HoldingRegister", "adr": ")" +
                     at + R"(", "quantity": ")" + QByteArray::number(ModbusReadSize) +
                     R"(", "rate": ")" + QByteArray::number(ModbusPollMs) +
                     R"(", "rateUnit": "ms", "delayOnStart": false, )"
                     R"("enableDeformedMessages": false, "startDelayTime": "", )"
                     R"("server": "bench-device", "useIOFile": false, "ioFile": "", )"
                     R"("useIOForPayload": false, "emptyMsgOnFail": false, )"
                     R"("wires": [["bench-store"], []]})";
    }
    return FlowFile(nodes,
                    "flow.set('state', {values: new Array(" + QByteArray::number(ModbusRegisters) +
                        ").fill(null), handled: 0});",
                    "const state = flow.get('state');\n"
                    "const first = Number(msg.input.payload.address);\n"
                    "for (let i = 0; i < msg.payload.length; i++)\n"
                    "    state.values[first + i] = msg.payload[i];\n"
                    "state.handled++;\n"
                    "return null;");
}

QByteArray MqttFlow(quint16 port) {
    QByteArrayList nodes;
    nodes
        << R"({"id": "bench-broker", "type": "mqtt-broker", "name": "bench", )"
           R"("broker": "127.0.0.1", )"
           R"("port": ")" +
               QByteArray::number(port) +
               R"(", "clientid": "", "autoConnect": true, "usetls": false, )"
               R"("protocolVersion": "4", "keepalive": "60", "cleansession": true, )"
               R"("autoUnsubscribe": true, "birthTopic": "", "closeTopic": "", )"
               R"("willTopic": ""})"
        << R"({"id": "bench-in", "type": "mqtt in", "z": "bench-tab", "name": "", )"
           R"("topic": "bench/t/#", )"
           R"("qos": "0", "datatype": "utf8", "broker": "bench-broker", "nl": false, "rap": true, )"
           R"("rh": 0, "inputs": 0, "wires": [["bench-store"]]})";
    return FlowFile(nodes, "flow.set('state', {values: {}, handled: 0});",
                    "const state = flow.get('state');\n"
                    "state.values[msg.topic] = msg.payload;\n"
                    "state.handled++;\n"
                    "return null;");
}

// Asks the subject until `ready` accepts what it shows; false when `ms` passed first.
bool WaitUntil(Subject& subject, int ms, const std::function<bool(const Shown&)>& ready) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && subject.Running()) {
        const std::optional<Shown> shown = subject.Read();
        if (shown && ready(*shown))
            return true;
        QThread::msleep(250);
    }
    return false;
}

// Waits `ms`, false when the subject ended meanwhile.
bool Run(Subject& subject, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired() && subject.Running())
        QThread::msleep(quint64(std::min<qint64>(100, deadline.remainingTime())));
    return subject.Running();
}

// The figures of one subject, by name without the "peers_PHASE_SUBJECT_" prefix.
using Figures = std::map<QString, double>;

void ReportFigure(const char* phase, Kind kind, Figures& figures, const QString& name, double value,
                  const char* unit) {
    figures[name] = value;
    Report(QStringLiteral("peers_%1_%2_%3").arg(QLatin1String(phase), KindName(kind), name), value,
           unit);
}

std::unique_ptr<Subject> StartSubject(Kind kind, const QTemporaryDir& dir, const QString& phase,
                                      const QByteArray& tags, const QByteArray& flow) {
    if (kind == Kind::Hub) {
        auto hub = std::make_unique<Hub>();
        if (hub->Start(dir, phase, tags))
            return hub;
    } else {
        auto nodeRed = std::make_unique<NodeRed>();
        if (nodeRed->Start(dir, phase, flow))
            return nodeRed;
    }
    return nullptr;
}

bool ModbusPhase(Kind kind, const QTemporaryDir& dir, Figures& figures) {
    Device device;
    if (!device.Start(dir))
        return false;
    ModbusRelay relay(device.port());
    if (relay.port() == 0) {
        Complain(QStringLiteral("the Modbus relay could not listen"));
        return false;
    }
    QByteArray tags = "plc\tdevice\tport=" + QByteArray::number(relay.port()) +
                      " poll=" + QByteArray::number(ModbusPollMs / 1000.0) + " timeout=2\n";
    for (int i = 0; i < ModbusRegisters; ++i)
        tags += "R" + QByteArray::number(i) +
                "\tmodbus\tdevice=plc table=holding address=" + QByteArray::number(i) + "\n";
    const std::unique_ptr<Subject> subject =
        StartSubject(kind, dir, QStringLiteral("modbus"), tags, ModbusFlow(relay.port()));
    if (!subject)
        return false;
    const auto allRead = [](const Shown& shown) {
        return shown.values.size() == size_t(ModbusRegisters) &&
               std::all_of(shown.values.begin(), shown.values.end(),
                           [](double v) { return v == 7; });
    };
    if (!WaitUntil(*subject, ReadyLimitMs, allRead))
        Complain(QStringLiteral("%1 did not show every register within %2 s; measuring all the "
                                "same")
                     .arg(KindName(kind))
                     .arg(ReadyLimitMs / 1000));
    if (!Run(*subject, SettleMs))
        return false;
    const double load = LoadAverage();
    const CpuTime cpuBefore = ProcessCpu(subject->pid());
    const qint64 startNs = NowNs();
    if (!Run(*subject, MeasureMs)) {
        Complain(QStringLiteral("%1 ended while it was measured").arg(KindName(kind)));
        return false;
    }
    const qint64 endNs = NowNs();
    const CpuTime cpuAfter = ProcessCpu(subject->pid());
    const double seconds = double(endNs - startNs) / 1e9;
    const std::vector<ModbusRelay::Poll> polls = relay.Polls(startNs, endNs);
    std::vector<double> ms;
    double requests = 0;
    for (const ModbusRelay::Poll& poll : polls) {
        ms.push_back(double(poll.endNs - poll.startNs) / 1e6);
        requests += poll.requests;
    }
    ReportFigure("modbus", kind, figures, QStringLiteral("load_average"), load, "tasks");
    ReportFigure("modbus", kind, figures, QStringLiteral("poll_median"), Percentile(ms, 0.5), "ms");
    ReportFigure("modbus", kind, figures, QStringLiteral("poll_p95"), Percentile(ms, 0.95), "ms");
    ReportFigure("modbus", kind, figures, QStringLiteral("polls_per_second"),
                 double(polls.size()) / seconds, "polls/s");
    ReportFigure("modbus", kind, figures, QStringLiteral("requests_per_poll"),
                 polls.empty() ? 0 : requests / double(polls.size()), "requests");
    ReportFigure("modbus", kind, figures, QStringLiteral("cpu_share"),
                 100 * (cpuAfter.Total() - cpuBefore.Total()) / seconds, "%");
    ReportFigure("modbus", kind, figures, QStringLiteral("peak_rss"),
                 ProcessMib(subject->pid(), "VmHWM"), "MiB");
    return true;
}

bool MqttPhase(Kind kind, const QTemporaryDir& dir, Figures& figures) {
    Broker broker;
    QString why;
    if (!broker.Start(dir, BrokerConfig, &why)) {
        Complain(why);
        return false;
    }
    QByteArray tags = "site\tbroker\tport=" + QByteArray::number(broker.port()) + "\n";
    for (int i = 0; i < MqttTopics; ++i)
        tags +=
            "T" + QByteArray::number(i) + "\tmqtt\tbroker=site topic=" + Publisher::Topic(i) + "\n";
    BrokerCounts counts(broker.port());
    const std::unique_ptr<Subject> subject =
        StartSubject(kind, dir, QStringLiteral("mqtt"), tags, MqttFlow(broker.port()));
    if (!subject)
        return false;
    Publisher publisher(broker.port());
    if (!publisher.ok()) {
        Complain(QStringLiteral("the publisher could not connect to the broker"));
        return false;
    }
    const auto valued = [](const Shown& shown) {
        return size_t(std::count_if(shown.values.begin(), shown.values.end(),
                                    [](double v) { return !std::isnan(v); }));
    };
    if (!WaitUntil(*subject, ReadyLimitMs,
                   [&](const Shown& shown) { return valued(shown) == size_t(MqttTopics); }))
        Complain(QStringLiteral("%1 did not show every topic within %2 s; measuring all the same")
                     .arg(KindName(kind))
                     .arg(ReadyLimitMs / 1000));
    if (!Run(*subject, SettleMs))
        return false;

    const double load = LoadAverage();
    const CpuTime cpuBefore = ProcessCpu(subject->pid());
    const CpuTime brokerBefore = ProcessCpu(broker.pid());
    const quint64 publishedBefore = publisher.published();

    const qint64 startNs = NowNs();
    int reads = 0;
    std::vector<double> readMs;
    std::vector<double> lag;
    std::vector<double> oldest;
    double shownAtEnd = 0;
    // Messages Node-RED's function node had taken, at the first and the last answered read.
    std::optional<std::pair<qint64, double>> firstHandled;
    std::pair<qint64, double> lastHandled;
    for (int i = 0; NowNs() - startNs < qint64(MeasureMs) * 1000000 && subject->Running(); ++i) {
        const qint64 dueNs = startNs + qint64(i) * MqttReadIntervalMs * 1000000;
        if (dueNs > NowNs())
            QThread::usleep(quint64((dueNs - NowNs()) / 1000));
        const qint64 askedNs = NowNs();
        const std::optional<Shown> shown = subject->Read();
        const qint64 gotNs = NowNs();
        ++reads;
        if (!shown)
            continue;
        readMs.push_back(double(gotNs - askedNs) / 1e6);
        // The values are as old as they are when the reader has them.
        const double gotMs = double(gotNs) / 1e6;
        double newest = -std::numeric_limits<double>::infinity();
        double old = std::numeric_limits<double>::infinity();
        for (double v : shown->values)
            if (!std::isnan(v)) {
                newest = std::max(newest, v);
                old = std::min(old, v);
            }
        if (std::isfinite(newest)) {
            lag.push_back(gotMs - newest);
            oldest.push_back(gotMs - old);
        }
        shownAtEnd = double(valued(*shown));
        if (shown->handled >= 0) {
            lastHandled = {gotNs, shown->handled};
            if (!firstHandled)
                firstHandled = lastHandled;
        }
    }
    const qint64 endNs = NowNs();
    const CpuTime cpuAfter = ProcessCpu(subject->pid());
    const CpuTime brokerAfter = ProcessCpu(broker.pid());
    const quint64 published = publisher.published() - publishedBefore;
    const double sentRate = counts.Rate("sent", startNs, endNs);
    // The broker sends a count only when it changed: none means none dropped.
    const double droppedRate = std::max(0.0, counts.Rate("dropped", startNs, endNs));
    if (!subject->Running()) {
        Complain(QStringLiteral("%1 ended while it was measured").arg(KindName(kind)));
        return false;
    }
    const double seconds = double(endNs - startNs) / 1e9;
    const double rate = double(published) / seconds;
    const double cpu = cpuAfter.Total() - cpuBefore.Total();
    ReportFigure("mqtt", kind, figures, QStringLiteral("load_average"), load, "tasks");
    ReportFigure("mqtt", kind, figures, QStringLiteral("publish_rate"), rate, "msg/s");
    if (rate < 0.95 * MessagesPerSecond)
        Complain(QStringLiteral("the publisher reached only %1 of %2 messages a second")
                     .arg(qRound(rate))
                     .arg(MessagesPerSecond));
    ReportFigure("mqtt", kind, figures, QStringLiteral("broker_cpu_share"),
                 100 * (brokerAfter.Total() - brokerBefore.Total()) / seconds, "%");
    ReportFigure("mqtt", kind, figures, QStringLiteral("cpu_per_1000"),
                 published ? 1000 * cpu / (double(published) / 1000) : 0, "ms");
    if (sentRate >= 0) {
        ReportFigure("mqtt", kind, figures, QStringLiteral("delivered_rate"), sentRate, "msg/s");
        ReportFigure("mqtt", kind, figures, QStringLiteral("dropped_rate"), droppedRate, "msg/s");
        ReportFigure("mqtt", kind, figures, QStringLiteral("cpu_per_1000_delivered"),
                     sentRate > 0 ? 1000 * (cpu / seconds) / (sentRate / 1000) : 0, "ms");
    } else {
        Complain(QStringLiteral("the broker gave no counts of the messages it sent"));
    }
    ReportFigure("mqtt", kind, figures, QStringLiteral("kernel_share"),
                 cpu > 0 ? 100 * (cpuAfter.system - cpuBefore.system) / cpu : 0, "%");
    ReportFigure("mqtt", kind, figures, QStringLiteral("peak_rss"),
                 ProcessMib(subject->pid(), "VmHWM"), "MiB");
    ReportFigure("mqtt", kind, figures, QStringLiteral("reads_answered"),
                 reads ? 100.0 * double(readMs.size()) / reads : 0, "%");
    if (lag.empty()) {
        // Without an answer there is nothing to time: no figure beats a 0 that reads as good.
        Complain(QStringLiteral("%1 answered none of %2 reads with values within %3 s")
                     .arg(KindName(kind))
                     .arg(reads)
                     .arg(ReadLimitMs / 1000));
    } else {
        ReportFigure("mqtt", kind, figures, QStringLiteral("read_median"), Percentile(readMs, 0.5),
                     "ms");
        ReportFigure("mqtt", kind, figures, QStringLiteral("lag_median"), Percentile(lag, 0.5),
                     "ms");
        ReportFigure("mqtt", kind, figures, QStringLiteral("lag_p95"), Percentile(lag, 0.95), "ms");
        ReportFigure("mqtt", kind, figures, QStringLiteral("oldest_median"),
                     Percentile(oldest, 0.5), "ms");
        ReportFigure("mqtt", kind, figures, QStringLiteral("topics_shown"), shownAtEnd, "topics");
    }
    if (firstHandled && lastHandled.first > firstHandled->first) {
        const double handledRate = (lastHandled.second - firstHandled->second) /
                                   (double(lastHandled.first - firstHandled->first) / 1e9);
        ReportFigure("mqtt", kind, figures, QStringLiteral("handled_rate"), handledRate, "msg/s");
        ReportFigure("mqtt", kind, figures, QStringLiteral("cpu_per_1000_handled"),
                     handledRate > 0 ? 1000 * (cpu / seconds) / (handledRate / 1000) : 0, "ms");
    }
    return true;
}

// Node-RED's figure over the hub's for each name both have.
void ReportRatios(const char* phase, const Figures& hub, const Figures& nodeRed,
                  const QStringList& names) {
    for (const QString& name : names) {
        const auto h = hub.find(name);
        const auto n = nodeRed.find(name);
        if (h != hub.end() && n != nodeRed.end() && h->second > 0)
            Report(QStringLiteral("peers_%1_ratio_%2").arg(QLatin1String(phase), name),
                   n->second / h->second, "x");
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    NowNs();
    // Arguments narrow the run: "modbus" or "mqtt" for one load, "hub" or "nodered" for one
    // subject (the ratios need both).
    const QStringList only = app.arguments().mid(1);
    const auto wanted = [&only](const QString& a, const QString& b, const QString& name) {
        return !(only.contains(a) || only.contains(b)) || only.contains(name);
    };
    const bool hub =
        wanted(QStringLiteral("hub"), QStringLiteral("nodered"), QStringLiteral("hub"));
    bool nodeRed =
        wanted(QStringLiteral("hub"), QStringLiteral("nodered"), QStringLiteral("nodered"));
    bool ok = true;
    if (nodeRed && NodeRed::Program().isEmpty()) {
        Complain(QStringLiteral("Node-RED is not installed (bench/peers/install.sh puts it into "
                                "build/peers, or name its red.js in SVC_BENCH_NODE_RED): only "
                                "the hub is measured"));
        nodeRed = false;
        ok = false;
    } else if (nodeRed && QStandardPaths::findExecutable(QStringLiteral("node")).isEmpty()) {
        Complain(QStringLiteral("node is not installed: only the hub is measured"));
        nodeRed = false;
        ok = false;
    }

    QTemporaryDir dir;
    using Phase = bool (*)(Kind, const QTemporaryDir&, Figures&);
    const auto compare = [&](const char* load, Phase phase, const QStringList& ratios) {
        if (!wanted(QStringLiteral("modbus"), QStringLiteral("mqtt"), QLatin1String(load)))
            return;
        Figures hubFigures;
        Figures nodeRedFigures;
        if (hub)
            ok = phase(Kind::Hub, dir, hubFigures) && ok;
        if (nodeRed)
            ok = phase(Kind::NodeRed, dir, nodeRedFigures) && ok;
        ReportRatios(load, hubFigures, nodeRedFigures, ratios);
    };
    compare("modbus", ModbusPhase,
            {QStringLiteral("poll_median"), QStringLiteral("poll_p95"), QStringLiteral("cpu_share"),
             QStringLiteral("peak_rss")});
    compare("mqtt", MqttPhase,
            {QStringLiteral("cpu_per_1000"), QStringLiteral("cpu_per_1000_delivered"),
             QStringLiteral("peak_rss"), QStringLiteral("lag_median"), QStringLiteral("lag_p95")});
    return ok ? 0 : 1;
}
