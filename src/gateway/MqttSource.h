#pragma once
// Reads the tags of one MQTT broker through libmosquitto, and makes tags of the topics of its
// trees as their first messages arrive. The network loop runs on a thread of
// its own, which connects and reconnects with back-off and reads each message into the values
// of its topic's tags right away; the hub's event loop takes over only the latest value of each
// tag and what happened to the connection, so neither a large message nor a burst of them
// reaches it. Once connected, the loop waits on the socket only when it has nothing more to
// read, lets the packets of a busy broker gather for a moment between reads, and hands the
// values of each read over in one step: under load, a wake-up and a hand-over serve many
// messages.

#include "gateway/MqttPayload.h"
#include "gateway/SourceStatus.h"
#include "gateway/TagFile.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <unordered_map>

struct mosquitto;
struct mosquitto_message;

namespace gateway {

class LiveValues;

class MqttSource : public QObject {
    Q_OBJECT
public:
    // Publishes a tag a tree made, with the stale time of its tree; returns its slot, or -1
    // when it cannot be published (its name is taken).
    using TagAdder = std::function<qsizetype(const QByteArray& name, qint64 staleMs)>;

    // `names` are the tags' names, in the order of `tags`, for the log.
    MqttSource(MqttBroker broker, std::vector<MqttTag> tags, std::vector<QByteArray> names,
               std::vector<MqttTree> trees, TagAdder addTag, LiveValues& values,
               QObject* parent = nullptr);
    ~MqttSource() override;

    void Start();
    // The slots of the tags (in the order given) and of the status tag moved: a reload kept
    // this source, and LiveValues moved their values.
    void MoveSlots(const std::vector<qsizetype>& tagSlots, qsizetype statusSlot);
    // Messages received so far on subscribed topics.
    quint64 MessageCount() const { return messages_.load(std::memory_order_relaxed); }

private:
    // An exact topic, or a tree's filter (tags empty, `tree` its index).
    struct Topic {
        QByteArray name;
        std::vector<size_t> tags;
        MqttTopicReader reader;
        QString invalid; // why it cannot be subscribed to; empty when it can
        int qos = 0;     // of its subscription: the highest its tags ask for
        int tree = -1;
    };
    // What happened to the connection, for the event loop.
    struct Event {
        enum class Kind {
            Connected,
            WentAway,
            Problem,
            SubscribeFailed,
            Subscribed,
            TreeTag,     // a tree made tag `name` of `topic`
            TreeSkipped, // `topic` makes no tag of `tree`: `text` says why
            TreeFull,    // `tree` made all the tags it may
        } kind;
        QString text; // Problem, SubscribeFailed: what to log after Where()
        // Subscribed: per topic, whether the broker refused it (1) or granted it (0); 2 for
        // the topics this answer is not about.
        std::vector<char> refused;
        int tree = -1;         // TreeTag, TreeSkipped, TreeFull
        QByteArray name = {};  // TreeTag
        QByteArray topic = {}; // TreeTag, TreeSkipped
        bool vague = false;    // Problem: TLS failed and the library said not why
    };
    // How the current connection attempt is going (network thread only).
    struct Attempt {
        bool tcpUp = false;    // the TCP connection was made
        bool answered = false; // the broker answered CONNECT
        bool accepted = false; // ... and accepted it
        int lostErrno = 0;     // errno when the library dropped the connection
        QString error;         // the library's first error message, such as a TLS failure
    };

    // Called on the network thread.
    void NetworkLoop();
    int Connect(bool first);
    // One turn of the loop once the broker accepted: waits for data (or a stop), reads it,
    // writes what is queued and keeps the connection alive. A library code as
    // mosquitto_loop's; `error` is errno for MOSQ_ERR_ERRNO.
    int Pump(int& error);
    void EndAttempt(int rc, int error);
    void Subscribe();
    // Waits `delay`, or less when the source is being stopped; true when it is.
    bool WaitOrStop(std::chrono::seconds delay);
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int code);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto*, void* self, int level, const char* text);
    void Post(Event event);
    // Takes read_[i] as the value of tags[i], for the next Flush.
    void Deliver(std::span<const size_t> tags);
    // Hands the values Deliver took over to the event loop, in one step per read of the
    // socket rather than one per message.
    void Flush();
    // Reads a message into the tags the trees made of its topic, making them at its first.
    void ReadIntoTrees(const QByteArray& topic, QByteArrayView payload);
    std::vector<size_t> MakeTreeTags(const QByteArray& topic);
    // Has Drain called on the event loop (mutex_ held). For values (`soon`), not sooner than
    // MinDrainInterval after the last time: a burst is taken in a few large steps, not one
    // per message; the network loop wakes it later (WakeLate).
    void WakeEventLoop(bool soon = false);
    void WakeLate();

    // On the event loop.
    void Drain();
    void Handle(const Event& event);
    void ClearAll();
    void AddTreeTag(const Event& event);
    // The slot, name and topic of tag `t`: a tag of the file, or after them one a tree made.
    qsizetype SlotOf(size_t t) const;
    const QByteArray& NameOf(size_t t) const;
    const QByteArray& TopicOf(size_t t) const;
    QString Where() const;
    static QString Quoted(const QByteArray& text);

    MqttBroker broker_;
    std::vector<MqttTag> tags_;
    std::vector<QByteArray> names_;
    std::vector<MqttTree> trees_;
    TagAdder addTag_;
    // Read by both threads, written by neither after construction: the exact topics, then
    // the trees' filters.
    std::vector<Topic> topics_;
    std::unordered_map<std::string_view, size_t> byTopic_; // exact topic -> its index
    LiveValues& values_;
    SourceStatus status_; // event loop only
    mosquitto* mosq_ = nullptr;

    std::thread network_;
    int wake_ = -1; // an eventfd the destructor writes to stop the network loop's wait
    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    std::atomic<bool> stopping_ = false;
    std::atomic<quint64> messages_ = 0;
    // Network thread only.
    std::chrono::seconds retryDelay_{1};
    Attempt attempt_;
    // The SUBSCRIBEs of this connection, one per QoS: its message id and its topics in order.
    std::vector<std::pair<int, std::vector<size_t>>> subscribed_;
    std::vector<MqttValue> read_;
    std::vector<std::pair<size_t, MqttValue>> staged_; // (tag, value) taken since the last Flush
    // The trees' state: per topic seen, the tags it feeds (none when no tree made one), the
    // names made, and per tree how many tags it made. Tag k made is tag tags_.size() + k.
    QHash<QByteArray, std::vector<size_t>> treeTopics_;
    QSet<QByteArray> treeNames_;
    std::vector<int> treeOf_; // per tag made: its tree
    std::vector<int> treeMade_;
    int skippedTold_ = 0; // topics told to be skipped, of MaxSkippedTold

    // Handed over under mutex_, each in one swap: events in order, and the latest value of
    // each tag not yet taken (tag, value). An event that empties the tags drops the values
    // before it.
    using Update = std::pair<size_t, MqttValue>;
    std::mutex mutex_;
    std::vector<Event> events_;
    std::vector<Update> updates_;
    // Per tag: where in updates_ its value is, valid when updateRound_ of the tag is round_.
    std::vector<size_t> updateAt_;
    std::vector<quint64> updateRound_;
    quint64 round_ = 1;
    bool posted_ = false;
    std::chrono::steady_clock::time_point lastWake_;
    std::atomic<bool> late_ = false; // values wait for the next wake
    // Event loop only.
    std::optional<bool> online_;
    QString lastProblem_;
    bool vaguePending_ = false; // a vague Problem waits for the next attempt's reason
    QString lastSubscribeProblem_;
    std::vector<Update> drained_; // taken from updates_, kept for its room
    std::vector<char> faults_;    // per tag: why its last value was unusable (Drain)
    std::vector<char> refused_;   // per topic: the broker refused the subscription
    struct TreeTag {
        qsizetype slot; // -1: not published
        QByteArray name;
        QByteArray topic;
    };
    std::vector<TreeTag> treeTags_; // the tags the trees made, in the order they were made
};

} // namespace gateway
