#include "gateway/MqttSource.h"

#include "base/Log.h"
#include "gateway/LiveValues.h"
#include "gateway/WireText.h"

#include <QCoreApplication>
#include <QFile>

#include <mosquitto.h>

#include <atomic>
#include <cstring>

namespace gateway {

namespace {

// libmosquitto needs one initialisation per process before any client exists.
void InitLibrary() {
    static const int once = [] {
        mosquitto_lib_init();
        return 0;
    }();
    Q_UNUSED(once);
}

// How much of a topic a log line shows.
constexpr qsizetype LoggedTopicBytes = 200;

} // namespace

MqttSource::MqttSource(MqttBroker broker, std::vector<MqttTag> tags, std::vector<QByteArray> names,
                       LiveValues& values, QObject* parent)
    : QObject(parent), broker_(std::move(broker)), tags_(std::move(tags)), names_(std::move(names)),
      values_(values), latest_(tags_.size()), changed_(tags_.size(), 0), tooLong_(tags_.size(), 0) {
    names_.resize(tags_.size());
    std::vector<std::vector<size_t>> tagsOf;
    for (size_t i = 0; i < tags_.size(); ++i) {
        auto found = byTopic_.constFind(tags_[i].topic);
        if (found == byTopic_.cend()) {
            found = byTopic_.insert(tags_[i].topic, tagsOf.size());
            tagsOf.emplace_back();
        }
        tagsOf[*found].push_back(i);
    }
    topics_.reserve(tagsOf.size());
    for (std::vector<size_t>& list : tagsOf) {
        std::vector<MqttTag> readTags;
        for (size_t i : list)
            readTags.push_back(tags_[i]);
        const QByteArray& name = tags_[list.front()].topic;
        topics_.push_back({name, std::move(list), MqttTopicReader(readTags)});
    }
}

MqttSource::~MqttSource() {
    if (!mosq_)
        return;
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopWake_.notify_all();
    // Sends DISCONNECT when connected, which also wakes the network loop at once.
    mosquitto_disconnect(mosq_);
    if (network_.joinable())
        network_.join();
    mosquitto_destroy(mosq_);
}

QString MqttSource::Where() const {
    return QStringLiteral("broker %1 (%2:%3)").arg(broker_.name, broker_.host).arg(broker_.port);
}

QString MqttSource::Quoted(const QByteArray& text) {
    QString quoted = QLatin1Char('"') +
                     QString::fromUtf8(CleanText(
                         QByteArrayView(text).first(std::min(text.size(), LoggedTopicBytes)))) +
                     QLatin1Char('"');
    if (text.size() > LoggedTopicBytes)
        quoted += QStringLiteral("... (%1 bytes)").arg(text.size());
    return quoted;
}

void MqttSource::Start() {
    InitLibrary();
    static std::atomic<int> counter = 0;
    QString clientId = broker_.clientId;
    if (clientId.isEmpty())
        clientId = QStringLiteral("svcorblex-hub-%1-%2")
                       .arg(QCoreApplication::applicationPid())
                       .arg(++counter);
    mosq_ = mosquitto_new(clientId.toUtf8().constData(), true, this);
    if (!mosq_) {
        logging::Error(Where() + QStringLiteral(": cannot create a client"));
        return;
    }
    mosquitto_connect_callback_set(mosq_, &MqttSource::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttSource::OnDisconnect);
    mosquitto_message_callback_set(mosq_, &MqttSource::OnMessage);
    mosquitto_log_callback_set(mosq_, &MqttSource::OnLog);
    if (!broker_.user.isEmpty() || !broker_.password.isEmpty())
        mosquitto_username_pw_set(
            mosq_, broker_.user.toUtf8().constData(),
            broker_.password.isEmpty() ? nullptr : broker_.password.toUtf8().constData());
    if (!broker_.caFile.isEmpty()) {
        if (!QFile::exists(broker_.caFile)) {
            logging::Error(Where() + QStringLiteral(": CA file %1 not found").arg(broker_.caFile));
            return;
        }
        const int rc = mosquitto_tls_set(mosq_, QFile::encodeName(broker_.caFile).constData(),
                                         nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            logging::Error(Where() +
                           QStringLiteral(": cannot use CA file %1: %2")
                               .arg(broker_.caFile, QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
    }
    // The packets this thread queues (the DISCONNECT at the end) are sent by the network thread.
    mosquitto_threaded_set(mosq_, true);
    network_ = std::thread([this] { NetworkLoop(); });
}

// The library's own loop gives up for good after some failures: a TLS handshake that fails, a
// host name that does not resolve, a reply that is not MQTT. A plant's broker recovers from
// each of these (a certificate is renewed, the name server comes back), so this loop tries
// again after every failure, waiting 1 s, 2 s, 4 s and so on up to 30 s. Connecting is
// asynchronous, so a broker that accepts the connection and then says nothing holds up
// neither this loop nor the hub's shutdown; the keep-alive time ends such an attempt.
void MqttSource::NetworkLoop() {
    int rc = Connect(true);
    while (!stopping_) {
        if (rc != MOSQ_ERR_SUCCESS) {
            // The attempt failed at once: the name does not resolve, or nothing listens.
            Post({Event::Kind::Unreachable, rc,
                  rc == MOSQ_ERR_ERRNO ? QByteArray(strerror(errno))
                                       : QByteArray(mosquitto_strerror(rc))});
        } else if (mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS) {
            // 100 ms at most, so a stop is seen in time even while a connection is pending.
            continue;
        }
        if (WaitOrStop(retryDelay_))
            break;
        retryDelay_ = std::min(retryDelay_ * 2, std::chrono::seconds(30));
        rc = Connect(false);
    }
}

int MqttSource::Connect(bool first) {
    // libmosquitto sets up its TLS state the first time a TLS client connects, and not safely
    // for two threads at once, so TLS clients connect one at a time.
    static std::mutex tlsConnect;
    std::unique_lock lock(tlsConnect, std::defer_lock);
    if (!broker_.caFile.isEmpty())
        lock.lock();
    return first ? mosquitto_connect_async(mosq_, broker_.host.toUtf8().constData(), broker_.port,
                                           broker_.keepAliveSeconds)
                 : mosquitto_reconnect_async(mosq_);
}

bool MqttSource::WaitOrStop(std::chrono::seconds delay) {
    std::unique_lock lock(stopMutex_);
    return stopWake_.wait_for(lock, delay, [this] { return stopping_.load(); });
}

void MqttSource::OnConnect(mosquitto* mosq, void* self, int code) {
    auto* source = static_cast<MqttSource*>(self);
    if (code == 0) {
        source->retryDelay_ = std::chrono::seconds(1);
        // Subscribed on every (re)connection: a clean session forgets subscriptions.
        std::vector<char*> topics;
        for (const Topic& topic : source->topics_)
            topics.push_back(const_cast<char*>(topic.name.constData())); // only read by the library
        if (!topics.empty())
            mosquitto_subscribe_multiple(mosq, nullptr, int(topics.size()), topics.data(), 0, 0,
                                         nullptr);
        source->Post({Event::Kind::Connected, 0, {}});
    } else {
        source->Post({Event::Kind::Refused, code, {}});
    }
}

void MqttSource::OnDisconnect(mosquitto*, void* self, int code) {
    static_cast<MqttSource*>(self)->Post({Event::Kind::Disconnected, code, {}});
}

void MqttSource::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* source = static_cast<MqttSource*>(self);
    const auto found = source->byTopic_.constFind(
        QByteArray::fromRawData(message->topic, qsizetype(std::strlen(message->topic))));
    if (found == source->byTopic_.cend())
        return;
    source->messages_.fetch_add(1, std::memory_order_relaxed);
    const Topic& topic = source->topics_[*found];
    topic.reader.Read(QByteArrayView(static_cast<const char*>(message->payload),
                                     qsizetype(std::max(message->payloadlen, 0))),
                      source->read_);
    source->Deliver(topic);
}

void MqttSource::OnLog(mosquitto*, void* self, int level, const char* text) {
    // Errors only, such as a TLS handshake that fails: they come with no other callback.
    // The library's error texts never hold the user name or password.
    if (level == MOSQ_LOG_ERR)
        static_cast<MqttSource*>(self)->Post({Event::Kind::Failed, 0, QByteArray(text)});
}

void MqttSource::WakeEventLoop() {
    if (posted_)
        return;
    posted_ = true;
    QMetaObject::invokeMethod(this, &MqttSource::Drain, Qt::QueuedConnection);
}

void MqttSource::Post(Event event) {
    std::lock_guard lock(mutex_);
    if (event.kind == Event::Kind::Refused || event.kind == Event::Kind::Failed ||
        event.kind == Event::Kind::Disconnected) {
        // The tags are emptied; values received before that are history.
        for (size_t t : changedTags_) {
            latest_[t] = MqttValue();
            changed_[t] = 0;
        }
        changedTags_.clear();
    }
    events_.push_back(std::move(event));
    WakeEventLoop();
}

void MqttSource::Deliver(const Topic& topic) {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < topic.tags.size(); ++i) {
        const size_t t = topic.tags[i];
        latest_[t] = std::move(read_[i]);
        if (!changed_[t]) {
            changed_[t] = 1;
            changedTags_.push_back(t);
        }
    }
    WakeEventLoop();
}

void MqttSource::Drain() {
    std::vector<Event> events;
    std::vector<std::pair<size_t, MqttValue>> values;
    {
        std::lock_guard lock(mutex_);
        events.swap(events_);
        values.reserve(changedTags_.size());
        for (size_t t : changedTags_) {
            values.emplace_back(t, std::move(latest_[t]));
            changed_[t] = 0;
        }
        changedTags_.clear();
        posted_ = false;
    }
    for (const Event& event : events)
        Handle(event);
    for (auto& [t, value] : values) {
        const bool tooLong = value.tooLong > 0;
        if (tooLong != bool(tooLong_[t])) {
            tooLong_[t] = tooLong;
            const QString tag = QStringLiteral(": tag %1 (topic %2)")
                                    .arg(Quoted(names_[t]), Quoted(tags_[t].topic));
            if (tooLong)
                logging::Warning(Where() + tag +
                                 QStringLiteral(": its value of %1 bytes is longer than %2 "
                                                "bytes; publishing it empty")
                                     .arg(value.tooLong)
                                     .arg(MaxValueBytes));
            else
                logging::Notice(Where() + tag + QStringLiteral(": its value fits again"));
        }
        values_.Set(tags_[t].slot, std::move(value.text));
    }
}

void MqttSource::Handle(const Event& event) {
    switch (event.kind) {
    case Event::Kind::Connected:
        if (online_ != true)
            logging::Notice(Where() + (online_.has_value() ? QStringLiteral(" is back")
                                                           : QStringLiteral(" connected")));
        online_ = true;
        lastProblem_.clear();
        return;
    case Event::Kind::Refused: {
        ClearAll();
        const QString why = QString::fromUtf8(mosquitto_connack_string(event.code));
        if (why != lastProblem_)
            logging::Warning(Where() + QStringLiteral(" refused the connection: ") + why);
        lastProblem_ = why;
        online_ = false;
        return;
    }
    case Event::Kind::Failed: {
        ClearAll();
        const QString why = QString::fromUtf8(event.text);
        if (why != lastProblem_)
            logging::Warning(Where() + QStringLiteral(": ") + why);
        lastProblem_ = why;
        online_ = false;
        return;
    }
    case Event::Kind::Unreachable:
        // Reported for the first attempt only; later ones fail alike until the broker is back.
        if (!online_.has_value()) {
            lastProblem_ = QString::fromLocal8Bit(event.text);
            logging::Warning(Where() + QStringLiteral(" is unreachable: ") + lastProblem_);
        }
        online_ = false;
        return;
    case Event::Kind::Disconnected:
        ClearAll();
        if (online_ == true)
            logging::Warning(Where() + QStringLiteral(" went away; reconnecting"));
        online_ = false;
        return;
    }
}

void MqttSource::ClearAll() {
    for (const MqttTag& tag : tags_)
        values_.Clear(tag.slot);
}

} // namespace gateway
