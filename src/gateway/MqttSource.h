#pragma once
// Reads the tags of one MQTT broker through libmosquitto. The network loop runs on a thread of
// its own, which connects and reconnects with back-off; what it receives is handed over in
// batches to the hub's event loop, where the values are stored.

#include "gateway/TagFile.h"

#include <QHash>
#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class LiveValues;

class MqttSource : public QObject {
    Q_OBJECT
public:
    MqttSource(MqttBroker broker, std::vector<MqttTag> tags, LiveValues& values,
               QObject* parent = nullptr);
    ~MqttSource() override;

    void Start();
    // Messages taken in so far (counted on the event loop).
    quint64 MessageCount() const { return messages_; }

private:
    struct Event {
        enum class Kind { Message, Connected, Refused, Disconnected, Failed, Unreachable } kind;
        int code = 0;
        const std::vector<size_t>* tags = nullptr; // of the message's topic
        QByteArray payload;                        // Failed, Unreachable: the reason
    };
    // Called on the network thread.
    void NetworkLoop();
    int Connect(bool first);
    // Waits `delay`, or less when the source is being stopped; true when it is.
    bool WaitOrStop(std::chrono::seconds delay);
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int code);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    void Post(Event event);

    // On the event loop.
    void Drain();
    void Handle(const Event& event);
    void ClearAll();
    QString Where() const;

    MqttBroker broker_;
    std::vector<MqttTag> tags_;
    // Read by both threads, written by neither after construction.
    QHash<QByteArray, std::vector<size_t>> byTopic_;
    std::vector<QByteArray> topics_;
    LiveValues& values_;
    mosquitto* mosq_ = nullptr;

    std::thread network_;
    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    std::atomic<bool> stopping_ = false;
    std::chrono::seconds retryDelay_{1}; // network thread only

    std::mutex mutex_;
    std::vector<Event> pending_;
    bool posted_ = false;

    std::optional<bool> online_;
    QString lastProblem_;
    quint64 messages_ = 0;
};

} // namespace gateway
