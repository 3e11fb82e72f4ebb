#include "gateway/MqttSource.h"

#include "base/Log.h"
#include "gateway/LiveValues.h"
#include "gateway/WireText.h"

#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

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

// The longest topic MQTT can carry, in bytes.
constexpr qsizetype MaxTopicBytes = 65535;
// The shortest time between two hand-overs of values to the event loop, in ms.
constexpr int MinDrainMs = 5;
// The most packets read in a row before the connected loop keeps the connection alive and
// hands values over.
constexpr int ReadBudget = 1000;
// More packets than this in one wake-up make a busy broker, whose packets are let gather for
// GatherMs before the next wait.
constexpr int BusyPackets = 8;
constexpr int GatherMs = 1;

// How much of a topic a log line shows.
constexpr qsizetype LoggedTopicBytes = 200;
// How many topics that make no tag of a tree are logged.
constexpr int MaxSkippedTold = 20;
// How many topics that feed no tree the trees remember, so as not to look at them again.
constexpr qsizetype MaxKeptTopics = 10000;

// Why a topic cannot be subscribed to; empty when it can.
QString TopicFault(const QByteArray& topic) {
    if (topic.size() > MaxTopicBytes)
        return QStringLiteral("it is longer than %1 bytes").arg(MaxTopicBytes);
    if (topic.contains('\0'))
        return QStringLiteral("it holds a NUL character");
    int rc = mosquitto_validate_utf8(topic.constData(), int(topic.size()));
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_sub_topic_check2(topic.constData(), size_t(topic.size()));
    if (rc != MOSQ_ERR_SUCCESS)
        return QString::fromUtf8(mosquitto_strerror(rc));
    return QString();
}

// The text of a failure of libmosquitto: errno's when the library says a system call failed.
QString Reason(int rc, int error) {
    if (rc == MOSQ_ERR_ERRNO && error != 0)
        return QString::fromStdString(std::generic_category().message(error));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// True when `fd` is a connected socket.
bool PeerConnected(int fd) {
    if (fd < 0)
        return false;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

} // namespace

MqttSource::MqttSource(MqttBroker broker, std::vector<MqttTag> tags, std::vector<QByteArray> names,
                       std::vector<MqttTree> trees, TagAdder addTag, LiveValues& values,
                       QObject* parent)
    : QObject(parent), broker_(std::move(broker)), tags_(std::move(tags)), names_(std::move(names)),
      trees_(std::move(trees)), addTag_(std::move(addTag)), values_(values),
      status_(values, broker_.statusSlot), treeMade_(trees_.size(), 0), updateAt_(tags_.size(), 0),
      updateRound_(tags_.size(), 0), faults_(tags_.size(), 0) {
    names_.resize(tags_.size());
    std::vector<std::vector<size_t>> tagsOf;
    QHash<QByteArray, size_t> topicOf;
    for (size_t i = 0; i < tags_.size(); ++i) {
        auto found = topicOf.constFind(tags_[i].topic);
        if (found == topicOf.cend()) {
            found = topicOf.insert(tags_[i].topic, tagsOf.size());
            tagsOf.emplace_back();
        }
        tagsOf[*found].push_back(i);
    }
    topics_.reserve(tagsOf.size() + trees_.size());
    for (std::vector<size_t>& list : tagsOf) {
        std::vector<MqttTag> readTags;
        int qos = 0;
        for (size_t i : list) {
            readTags.push_back(tags_[i]);
            qos = std::max(qos, tags_[i].qos >= 0 ? tags_[i].qos : broker_.qos);
        }
        const QByteArray& name = tags_[list.front()].topic;
        topics_.push_back(
            {name, std::move(list), MqttTopicReader(readTags), TopicFault(name), qos});
    }
    for (size_t t = 0; t < trees_.size(); ++t) {
        const MqttTree& tree = trees_[t];
        topics_.push_back({tree.filter,
                           {},
                           MqttTopicReader({tree.read}),
                           TopicFault(tree.filter),
                           tree.read.qos >= 0 ? tree.read.qos : broker_.qos,
                           int(t)});
    }
    refused_.assign(topics_.size(), 0);
    // The keys view the names in topics_, which never change after this.
    byTopic_.reserve(tagsOf.size());
    for (size_t t = 0; t < tagsOf.size(); ++t)
        byTopic_.emplace(
            std::string_view(topics_[t].name.constData(), size_t(topics_[t].name.size())), t);
}

MqttSource::~MqttSource() {
    if (!mosq_)
        return;
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopWake_.notify_all();
    // Queues DISCONNECT when connected; the network loop sends it as it ends.
    mosquitto_disconnect(mosq_);
    if (wake_ >= 0) {
        const quint64 one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }
    if (network_.joinable())
        network_.join();
    mosquitto_destroy(mosq_);
    if (wake_ >= 0)
        ::close(wake_);
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

void MqttSource::MoveSlots(const std::vector<qsizetype>& tagSlots, qsizetype statusSlot) {
    // The network thread never reads the slots: it hands over values by tag.
    for (size_t i = 0; i < tags_.size() && i < tagSlots.size(); ++i)
        tags_[i].slot = tagSlots[i];
    status_.MoveTo(statusSlot);
}

void MqttSource::Start() {
    InitLibrary();
    status_.Connecting();
    // A broker that this client cannot even try (its CA file is missing, ...) is offline.
    const auto neverTried = qScopeGuard([this] {
        if (!network_.joinable()) {
            ClearAll();
            status_.Unreachable();
        }
    });
    for (const Topic& topic : topics_)
        if (!topic.invalid.isEmpty())
            logging::Error(Where() + QStringLiteral(": cannot subscribe to topic %1: %2; its tags "
                                                    "stay empty")
                                         .arg(Quoted(topic.name), topic.invalid));
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
    if (broker_.protocolVersion == 5)
        mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_callback_set(mosq_, &MqttSource::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttSource::OnDisconnect);
    mosquitto_subscribe_callback_set(mosq_, &MqttSource::OnSubscribe);
    mosquitto_message_callback_set(mosq_, &MqttSource::OnMessage);
    if (!broker_.user.isEmpty() || !broker_.password.isEmpty())
        mosquitto_username_pw_set(
            mosq_, broker_.user.toUtf8().constData(),
            broker_.password.isEmpty() ? nullptr : broker_.password.toUtf8().constData());
    if (!broker_.caFile.isEmpty()) {
        if (!QFile::exists(broker_.caFile)) {
            logging::Error(Where() + QStringLiteral(": CA file %1 not found").arg(broker_.caFile));
            return;
        }
        const QByteArray certFile = QFile::encodeName(broker_.certFile);
        const QByteArray keyFile = QFile::encodeName(broker_.keyFile);
        const int rc =
            mosquitto_tls_set(mosq_, QFile::encodeName(broker_.caFile).constData(), nullptr,
                              certFile.isEmpty() ? nullptr : certFile.constData(),
                              keyFile.isEmpty() ? nullptr : keyFile.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            logging::Error(Where() + QStringLiteral(": cannot use its TLS files: %1")
                                         .arg(QString::fromUtf8(mosquitto_strerror(rc))));
            return;
        }
    }
    // The packets this thread queues (the DISCONNECT at the end) are sent by the network thread.
    mosquitto_threaded_set(mosq_, true);
    // Wakes the network loop for a stop; without it a stop waits for the loop's next turn.
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    network_ = std::thread([this] { NetworkLoop(); });
}

// The library's own loop gives up for good after some failures: a TLS handshake that fails, a
// host name that does not resolve, a reply that is not MQTT. A plant's broker recovers from
// each of these (a certificate is renewed, the name server comes back), so this loop tries
// again after every failure, waiting 1 s, 2 s, 4 s and so on up to 30 s. Connecting is
// asynchronous, so a broker that accepts the connection and then says nothing holds up
// neither this loop nor the hub's shutdown; the keep-alive time ends such an attempt. Each
// attempt ends in one event: the connection was lost, or why there never was one.
void MqttSource::NetworkLoop() {
    for (bool first = true; !stopping_; first = false) {
        attempt_ = Attempt();
        // The library's messages are wanted only until the broker answers: they tell why an
        // attempt failed. Once connected, it would format one for every message received.
        mosquitto_log_callback_set(mosq_, &MqttSource::OnLog);
        errno = 0;
        int rc = Connect(first);
        int error = errno;
        while (rc == MOSQ_ERR_SUCCESS && !stopping_) {
            if (attempt_.accepted) {
                rc = Pump(error);
            } else {
                // Until the broker accepts, the library's own loop: it knows the steps of a
                // TCP and TLS connection. 100 ms at most, so a stop is seen in time even while
                // a connection is pending.
                rc = mosquitto_loop(mosq_, late_ ? MinDrainMs : 100, 1);
                error = errno;
                if (!attempt_.answered && !attempt_.tcpUp)
                    attempt_.tcpUp = PeerConnected(mosquitto_socket(mosq_));
            }
            Flush();
            WakeLate();
        }
        if (stopping_) {
            // The DISCONNECT the destructor queued, if the socket takes it now.
            if (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_))
                mosquitto_loop_write(mosq_, 1);
            break;
        }
        EndAttempt(rc, attempt_.lostErrno != 0 ? attempt_.lostErrno : error);
        if (WaitOrStop(retryDelay_))
            break;
        retryDelay_ = std::min(retryDelay_ * 2, std::chrono::seconds(30));
    }
}

// The library's loop waits for the socket before each packet it reads, and reads one packet
// per wait: a system call more per message, and a wake-up per message under load. Connected,
// this loop waits only when the socket has nothing more: it reads until the library finds no
// data (or ReadBudget packets, so the keep-alive and the hand-over keep their turn), sends
// what reading queued (QoS 1 acknowledgements), and keeps the connection alive. With TLS the
// library itself goes on reading while OpenSSL holds decrypted bytes the socket does not show.
int MqttSource::Pump(int& error) {
    const int fd = mosquitto_socket(mosq_);
    if (fd < 0)
        return MOSQ_ERR_NO_CONN;
    pollfd wait[2] = {{fd, short(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0},
                      {wake_, POLLIN, 0}};
    // The keep-alive is counted in seconds; late values want their hand-over sooner.
    if (::poll(wait, 2, late_ ? MinDrainMs : 1000) < 0) {
        if (errno == EINTR)
            return MOSQ_ERR_SUCCESS;
        error = errno;
        return MOSQ_ERR_ERRNO;
    }
    if (stopping_)
        return MOSQ_ERR_SUCCESS;
    if (wait[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        int packets = 0;
        bool drained = false;
        for (; packets < ReadBudget && !drained; ++packets) {
            errno = 0;
            const int rc = mosquitto_loop_read(mosq_, 1);
            if (rc != MOSQ_ERR_SUCCESS) {
                error = errno;
                return rc;
            }
            drained = errno == EAGAIN || errno == EWOULDBLOCK || mosquitto_socket(mosq_) < 0;
        }
        Flush();
        // A busy broker sends a few packets at a time: waiting for each few costs more than
        // reading them. Once it is busy the loop lets packets gather for a moment (a stop
        // still ends the pause), so a wake-up reads many.
        if (drained && packets > BusyPackets) {
            pollfd stop{wake_, POLLIN, 0};
            ::poll(&stop, 1, GatherMs);
        }
    }
    if (mosquitto_socket(mosq_) >= 0 && mosquitto_want_write(mosq_)) {
        errno = 0;
        const int rc = mosquitto_loop_write(mosq_, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = errno;
            return rc;
        }
    }
    errno = 0;
    const int rc = mosquitto_loop_misc(mosq_);
    error = errno;
    return rc;
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

void MqttSource::EndAttempt(int rc, int error) {
    if (attempt_.accepted) {
        Post({Event::Kind::WentAway, {}, {}});
        return;
    }
    if (attempt_.answered)
        return; // refused, and said so when the answer came
    QString why;
    bool vague = false;
    if (!attempt_.error.isEmpty()) {
        why = QStringLiteral(": ") + attempt_.error;
    } else if (!broker_.caFile.isEmpty() && rc == MOSQ_ERR_ERRNO && error == EPROTO) {
        // The library says EPROTO when TLS failed without saying why: a broker that refuses
        // the hub's certificate (or the lack of one) closes the connection, and depending on
        // whether the hub was reading or writing at that moment its reason comes or not.
        why = QStringLiteral(": the TLS connection failed (%1)").arg(Reason(rc, error));
        vague = true;
    } else if (!attempt_.tcpUp && rc == MOSQ_ERR_KEEPALIVE)
        why = QStringLiteral(" is unreachable (no connection within %1 s)")
                  .arg(broker_.keepAliveSeconds);
    else if (!attempt_.tcpUp)
        why = QStringLiteral(" is unreachable: ") + Reason(rc, error);
    else if (rc == MOSQ_ERR_KEEPALIVE)
        why = QStringLiteral(" does not answer (no reply to CONNECT within %1 s)")
                  .arg(broker_.keepAliveSeconds);
    else if (rc == MOSQ_ERR_ERRNO)
        why = QStringLiteral(" closed the connection without answering: ") + Reason(rc, error);
    else
        why = QStringLiteral(" closed the connection without answering");
    Event event{Event::Kind::Problem, why, {}};
    event.vague = vague;
    Post(std::move(event));
}

bool MqttSource::WaitOrStop(std::chrono::seconds delay) {
    std::unique_lock lock(stopMutex_);
    return stopWake_.wait_for(lock, delay, [this] { return stopping_.load(); });
}

void MqttSource::OnConnect(mosquitto* mosq, void* self, int code) {
    auto* source = static_cast<MqttSource*>(self);
    source->attempt_.answered = true;
    mosquitto_log_callback_set(mosq, nullptr);
    if (code == 0) {
        source->attempt_.accepted = true;
        source->retryDelay_ = std::chrono::seconds(1);
        source->Post({Event::Kind::Connected, {}, {}});
        source->Subscribe();
    } else {
        // MQTT 5 answers with a reason code of its own, 3.1.1 with a CONNACK code.
        const char* why = source->broker_.protocolVersion == 5 ? mosquitto_reason_string(code)
                                                               : mosquitto_connack_string(code);
        source->Post({Event::Kind::Problem,
                      QStringLiteral(" refused the connection: ") + QString::fromUtf8(why),
                      {}});
    }
}

// Subscribed on every (re)connection: a clean session forgets subscriptions. One SUBSCRIBE
// per QoS; the broker answers for each topic whether it grants it (OnSubscribe).
void MqttSource::Subscribe() {
    subscribed_.clear();
    for (const int qos : {0, 1}) {
        std::vector<char*> names;
        std::vector<size_t> list;
        for (size_t t = 0; t < topics_.size(); ++t)
            if (topics_[t].invalid.isEmpty() && topics_[t].qos == qos) {
                // only read by the library
                names.push_back(const_cast<char*>(topics_[t].name.constData()));
                list.push_back(t);
            }
        if (names.empty())
            continue;
        int mid = 0;
        errno = 0;
        const int rc = mosquitto_subscribe_multiple(mosq_, &mid, int(names.size()), names.data(),
                                                    qos, 0, nullptr);
        if (rc == MOSQ_ERR_SUCCESS)
            subscribed_.emplace_back(mid, std::move(list));
        else
            Post({Event::Kind::SubscribeFailed, Reason(rc, errno), {}});
    }
}

void MqttSource::OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted) {
    auto* source = static_cast<MqttSource*>(self);
    const auto request = std::find_if(source->subscribed_.cbegin(), source->subscribed_.cend(),
                                      [mid](const auto& sent) { return sent.first == mid; });
    if (request == source->subscribed_.cend())
        return;
    const std::vector<size_t>& list = request->second;
    std::vector<char> refused(source->topics_.size(), 2);
    for (size_t i = 0; i < size_t(std::max(count, 0)) && i < list.size(); ++i)
        refused[list[i]] = granted[i] >= 0x80 ? 1 : 0;
    source->Post({Event::Kind::Subscribed, {}, std::move(refused)});
}

void MqttSource::OnDisconnect(mosquitto*, void* self, int) {
    static_cast<MqttSource*>(self)->attempt_.lostErrno = errno;
}

void MqttSource::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* source = static_cast<MqttSource*>(self);
    const std::string_view topicName(message->topic);
    const QByteArrayView payload(static_cast<const char*>(message->payload),
                                 qsizetype(std::max(message->payloadlen, 0)));
    const auto found = source->byTopic_.find(topicName);
    if (found != source->byTopic_.end()) {
        source->messages_.fetch_add(1, std::memory_order_relaxed);
        const Topic& topic = source->topics_[found->second];
        topic.reader.Read(payload, source->read_);
        source->Deliver(topic.tags);
    }
    if (!source->trees_.empty())
        source->ReadIntoTrees(
            QByteArray::fromRawData(topicName.data(), qsizetype(topicName.size())), payload);
}

void MqttSource::ReadIntoTrees(const QByteArray& topic, QByteArrayView payload) {
    auto known = treeTopics_.constFind(topic);
    if (known == treeTopics_.cend()) {
        const QByteArray owned(topic.constData(), topic.size()); // `topic` is the library's
        std::vector<size_t> made = MakeTreeTags(owned);
        // A flood of topics no tree takes costs no memory: past a bound they are looked at
        // again at each message.
        if (made.empty() && treeTopics_.size() >= MaxKeptTopics)
            return;
        known = treeTopics_.insert(owned, std::move(made));
    }
    for (const size_t t : *known) {
        messages_.fetch_add(1, std::memory_order_relaxed);
        // The trees' filters come after the exact topics.
        topics_[topics_.size() - trees_.size() + size_t(treeOf_[t - tags_.size()])].reader.Read(
            payload, read_);
        const size_t tag[] = {t};
        Deliver(tag);
    }
}

// Called at the first message of a topic: each tree whose filter it matches makes a tag of it,
// unless the tree made all it may or the topic makes no tag name or one made already.
std::vector<size_t> MqttSource::MakeTreeTags(const QByteArray& topic) {
    std::vector<size_t> made;
    for (size_t i = topics_.size() - trees_.size(); i < topics_.size(); ++i) {
        const Topic& filter = topics_[i];
        bool matches = false;
        if (!filter.invalid.isEmpty() ||
            mosquitto_topic_matches_sub2(filter.name.constData(), size_t(filter.name.size()),
                                         topic.constData(), size_t(topic.size()),
                                         &matches) != MOSQ_ERR_SUCCESS ||
            !matches)
            continue;
        const int tree = filter.tree;
        if (treeMade_[size_t(tree)] >= trees_[size_t(tree)].maxTags) {
            if (treeMade_[size_t(tree)] == trees_[size_t(tree)].maxTags) {
                ++treeMade_[size_t(tree)]; // told once
                Post({Event::Kind::TreeFull, {}, {}, tree, {}, {}});
            }
            continue;
        }
        QByteArray name = TreeTagName(trees_[size_t(tree)], topic);
        QString why;
        if (name.isEmpty())
            why = QStringLiteral("makes no tag name (UTF-8 text without control characters or "
                                 "\",\", at most %1 bytes)")
                      .arg(MaxTreeTagNameBytes);
        else if (treeNames_.contains(name))
            why = QStringLiteral("makes the name %1 of a tag made already").arg(Quoted(name));
        if (!why.isEmpty()) {
            if (skippedTold_ < MaxSkippedTold) {
                if (++skippedTold_ == MaxSkippedTold)
                    why += QStringLiteral("; further such topics are not logged");
                Post({Event::Kind::TreeSkipped, why, {}, tree, {}, topic});
            }
            continue;
        }
        treeNames_.insert(name);
        made.push_back(tags_.size() + treeOf_.size());
        treeOf_.push_back(tree);
        ++treeMade_[size_t(tree)];
        Post({Event::Kind::TreeTag, {}, {}, tree, std::move(name), topic});
    }
    return made;
}

void MqttSource::OnLog(mosquitto*, void* self, int level, const char* text) {
    // Errors only, such as a TLS handshake that fails: they come with no other callback. The
    // first one of an attempt is its reason. The library's error texts never hold the user
    // name or password.
    auto* source = static_cast<MqttSource*>(self);
    if (level == MOSQ_LOG_ERR && source->attempt_.error.isEmpty())
        source->attempt_.error = QString::fromUtf8(text);
}

void MqttSource::WakeEventLoop(bool soon) {
    if (posted_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (soon && now - lastWake_ < std::chrono::milliseconds(MinDrainMs)) {
        late_ = true;
        return;
    }
    posted_ = true;
    late_ = false;
    lastWake_ = now;
    QMetaObject::invokeMethod(this, &MqttSource::Drain, Qt::QueuedConnection);
}

void MqttSource::WakeLate() {
    if (!late_)
        return;
    std::lock_guard lock(mutex_);
    WakeEventLoop(true);
}

void MqttSource::Post(Event event) {
    std::lock_guard lock(mutex_);
    if (event.kind == Event::Kind::WentAway || event.kind == Event::Kind::Problem) {
        // The tags are emptied; values received before that are history.
        updates_.clear();
        ++round_;
    }
    events_.push_back(std::move(event));
    WakeEventLoop();
}

void MqttSource::Deliver(std::span<const size_t> tags) {
    for (size_t i = 0; i < tags.size(); ++i)
        staged_.emplace_back(tags[i], std::move(read_[i]));
}

void MqttSource::Flush() {
    if (staged_.empty())
        return;
    std::lock_guard lock(mutex_);
    for (auto& [t, value] : staged_) {
        if (t >= updateAt_.size()) { // a tag a tree made
            updateAt_.resize(t + 1, 0);
            updateRound_.resize(t + 1, 0);
        }
        if (updateRound_[t] == round_) {
            updates_[updateAt_[t]].second = std::move(value);
        } else {
            updateRound_[t] = round_;
            updateAt_[t] = updates_.size();
            updates_.emplace_back(t, std::move(value));
        }
    }
    staged_.clear();
    WakeEventLoop(true);
}

void MqttSource::Drain() {
    std::vector<Event> events;
    drained_.clear();
    {
        std::lock_guard lock(mutex_);
        events.swap(events_);
        drained_.swap(updates_);
        ++round_;
        posted_ = false;
        late_ = false;
    }
    for (const Event& event : events)
        Handle(event);
    for (auto& [t, value] : drained_) {
        const qsizetype slot = SlotOf(t);
        if (slot < 0)
            continue;
        // Why the tag has no value, if so: 0 none, 1 too long, 2 and on a Fault. Logged once
        // per change, never once per message.
        const char state = value.tooLong > 0                       ? char(1)
                           : value.fault != MqttValue::Fault::None ? char(1 + int(value.fault))
                                                                   : char(0);
        if (state != faults_[t]) {
            const QString tag =
                QStringLiteral(": tag %1 (topic %2)").arg(Quoted(NameOf(t)), Quoted(TopicOf(t)));
            if (state == 1)
                logging::Warning(Where() + tag +
                                 QStringLiteral(": its value of %1 bytes is longer than %2 "
                                                "bytes; publishing it empty")
                                     .arg(value.tooLong)
                                     .arg(MaxValueBytes));
            else if (state > 1)
                logging::Warning(Where() + tag + QStringLiteral(": ") + MqttFaultText(value.fault) +
                                 QStringLiteral("; publishing it empty"));
            else if (faults_[t] == 1)
                logging::Notice(Where() + tag + QStringLiteral(": its value fits again"));
            else
                logging::Notice(Where() + tag + QStringLiteral(": its value is usable again"));
            faults_[t] = state;
        }
        if (state != 0)
            values_.Fail(slot, Quality::Invalid);
        else
            values_.Set(slot, std::move(value.text));
    }
}

qsizetype MqttSource::SlotOf(size_t t) const {
    return t < tags_.size() ? tags_[t].slot : treeTags_[t - tags_.size()].slot;
}

const QByteArray& MqttSource::NameOf(size_t t) const {
    return t < tags_.size() ? names_[t] : treeTags_[t - tags_.size()].name;
}

const QByteArray& MqttSource::TopicOf(size_t t) const {
    return t < tags_.size() ? tags_[t].topic : treeTags_[t - tags_.size()].topic;
}

void MqttSource::AddTreeTag(const Event& event) {
    const MqttTree& tree = trees_[size_t(event.tree)];
    const qsizetype slot = addTag_ ? addTag_(event.name, tree.staleMs) : -1;
    if (slot < 0)
        logging::Warning(Where() + QStringLiteral(": tree \"%1\": topic %2 makes tag %3, a name "
                                                  "the hub publishes already; skipped")
                                       .arg(tree.name, Quoted(event.topic), Quoted(event.name)));
    treeTags_.push_back({slot, event.name, event.topic});
    faults_.resize(tags_.size() + treeTags_.size(), 0);
}

void MqttSource::Handle(const Event& event) {
    switch (event.kind) {
    case Event::Kind::Connected:
        if (online_ != true)
            logging::Notice(Where() + (online_.has_value() ? QStringLiteral(" is back")
                                                           : QStringLiteral(" connected")));
        online_ = true;
        lastProblem_.clear();
        // Back on the broker, a tag waits for its next message rather than being offline.
        for (size_t t = 0; t < tags_.size() + treeTags_.size(); ++t) {
            const qsizetype slot = SlotOf(t);
            if (slot >= 0 && values_.QualityOf(slot) == Quality::Offline)
                values_.Fail(slot, Quality::Waiting);
        }
        status_.Connected();
        vaguePending_ = false;
        return;
    case Event::Kind::WentAway:
        ClearAll();
        status_.Unreachable();
        if (online_ == true)
            logging::Warning(Where() + QStringLiteral(" went away; reconnecting"));
        online_ = false;
        return;
    case Event::Kind::Problem:
        // Logged when it differs from the last one: once per change, never once per attempt.
        ClearAll();
        status_.Unreachable();
        online_ = false;
        if (event.vague) {
            // A failure without a reason after one with a reason is most likely the same
            // failure, seen from the other side of a race; a first one waits for the next
            // attempt, which may give the reason.
            if (lastProblem_.startsWith(QLatin1String(": OpenSSL")))
                return;
            if (!vaguePending_ && lastProblem_ != event.text) {
                vaguePending_ = true;
                return;
            }
        }
        vaguePending_ = false;
        if (event.text != lastProblem_)
            logging::Warning(Where() + event.text);
        lastProblem_ = event.text;
        return;
    case Event::Kind::SubscribeFailed:
        if (event.text != lastSubscribeProblem_)
            logging::Warning(Where() + QStringLiteral(": cannot subscribe: ") + event.text);
        lastSubscribeProblem_ = event.text;
        return;
    case Event::Kind::TreeTag:
        AddTreeTag(event);
        return;
    case Event::Kind::TreeSkipped:
        logging::Warning(
            Where() + QStringLiteral(": tree \"%1\": topic %2 %3; skipped")
                          .arg(trees_[size_t(event.tree)].name, Quoted(event.topic), event.text));
        return;
    case Event::Kind::TreeFull:
        logging::Warning(Where() + QStringLiteral(": tree \"%1\" made the %2 tags it may "
                                                  "(max=); the topics it has not made a tag of "
                                                  "are not published")
                                       .arg(trees_[size_t(event.tree)].name)
                                       .arg(trees_[size_t(event.tree)].maxTags));
        return;
    case Event::Kind::Subscribed:
        lastSubscribeProblem_.clear();
        for (size_t t = 0; t < topics_.size(); ++t) {
            if (event.refused[t] == 1)
                for (size_t tag : topics_[t].tags)
                    values_.Fail(tags_[tag].slot, Quality::Refused);
            if (event.refused[t] == 2 || event.refused[t] == refused_[t])
                continue;
            refused_[t] = event.refused[t];
            if (refused_[t])
                logging::Warning(Where() +
                                 QStringLiteral(": the broker refused the subscription to topic "
                                                "%1; its tags stay empty")
                                     .arg(Quoted(topics_[t].name)));
            else
                logging::Notice(Where() +
                                QStringLiteral(": the broker now grants the subscription to "
                                               "topic %1")
                                    .arg(Quoted(topics_[t].name)));
        }
        return;
    }
}

void MqttSource::ClearAll() {
    for (const MqttTag& tag : tags_)
        values_.Fail(tag.slot, Quality::Offline);
    for (const TreeTag& tag : treeTags_)
        if (tag.slot >= 0)
            values_.Fail(tag.slot, Quality::Offline);
}

} // namespace gateway
