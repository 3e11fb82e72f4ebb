#include "HubServer.h"

#include "Gateway.h"
#include "TagFile.h"
#include "hub/Framing.h"
#include "hub/LocalEndpoint.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace demohub {

// How late the "slow" fault answers.
static constexpr int SlowAnswerMs = 1000;

std::optional<Fault> ParseFault(QStringView text) {
    static const std::pair<const char*, Fault> names[] = {
        {"none", Fault::None},         {"stall", Fault::Stall},       {"slow", Fault::Slow},
        {"drip", Fault::Drip},         {"close", Fault::Close},       {"garbage", Fault::Garbage},
        {"oversize", Fault::Oversize}, {"mismatch", Fault::Mismatch}, {"flap", Fault::Flap}};
    for (const auto& [name, fault] : names)
        if (text.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return fault;
    return std::nullopt;
}

// One client connection: splits its byte stream into commands and hands each to the server.
class Session : public QObject {
public:
    Session(HubServer& server, QIODevice* socket, int id, QString peer)
        : server_(server), socket_(socket), id_(id), peer_(std::move(peer)) {
        socket_->setParent(this);
        connect(socket_, &QIODevice::readyRead, this, &Session::Read);
        // A connection that neither asks nor takes anything for a long time is closed, so
        // that idle clients cannot hold the hub's connections for as long as they like.
        idle_ = new QTimer(this);
        idle_->setSingleShot(true);
        idle_->setInterval(server_.options_.idleTimeoutMs);
        connect(idle_, &QTimer::timeout, this, [this] {
            server_.Log(QStringLiteral("svcorblex-hub: client %1 was idle for %2 s; closing")
                            .arg(id_)
                            .arg(double(idle_->interval()) / 1000.0));
            Drop();
        });
        connect(socket_, &QIODevice::bytesWritten, idle_, qOverload<>(&QTimer::start));
        idle_->start();
        if (auto* local = qobject_cast<QLocalSocket*>(socket_))
            connect(local, &QLocalSocket::disconnected, this, &Session::Gone);
        else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_))
            connect(tcp, &QTcpSocket::disconnected, this, &Session::Gone);
    }

    QIODevice& socket() { return *socket_; }
    int id() const { return id_; }

    void Send(const QByteArray& header, const QByteArray& body) {
        socket_->write(header);
        socket_->write(body);
    }

    // Sends `bytes` one at a time, every `intervalMs`.
    void Drip(const QByteArray& bytes, int intervalMs) {
        drip_.append(bytes);
        if (!dripTimer_) {
            dripTimer_ = new QTimer(this);
            connect(dripTimer_, &QTimer::timeout, this, [this] {
                if (drip_.isEmpty())
                    return dripTimer_->stop();
                socket_->write(drip_.left(1));
                drip_.remove(0, 1);
            });
        }
        dripTimer_->start(intervalMs);
    }

    // Closes after everything written so far has gone out.
    void CloseSoon() {
        if (auto* local = qobject_cast<QLocalSocket*>(socket_))
            local->disconnectFromServer();
        else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_))
            tcp->disconnectFromHost();
    }

    void Drop() {
        if (auto* local = qobject_cast<QLocalSocket*>(socket_))
            local->abort();
        else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_))
            tcp->abort();
        Gone();
    }

private:
    void Read() {
        idle_->start();
        reader_.Append(socket_->readAll());
        QByteArray command;
        for (;;) {
            const auto status = reader_.Next(command);
            if (status == hubwire::CommandReader::Status::Incomplete)
                return;
            if (status == hubwire::CommandReader::Status::Error) {
                server_.Log(QStringLiteral("svcorblex-hub: client %1 sent an over-long line; "
                                           "closing")
                                .arg(id_));
                CloseSoon();
                return;
            }
            server_.Respond(*this, command);
            if (gone_)
                return;
        }
    }

    void Gone() {
        if (gone_)
            return;
        gone_ = true;
        server_.Log(QStringLiteral("svcorblex-hub: client %1 disconnected").arg(id_));
        server_.Forget(this);
        deleteLater();
    }

    HubServer& server_;
    QIODevice* socket_;
    int id_;
    QString peer_;
    hubwire::CommandReader reader_;
    QByteArray drip_;
    QTimer* dripTimer_ = nullptr;
    QTimer* idle_ = nullptr;
    bool gone_ = false;
};

HubServer::HubServer(ServerOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    clock_.start();
}

HubServer::~HubServer() {
    for (Session* session : std::vector<Session*>(sessions_))
        delete session;
    StopListening();
}

void HubServer::Log(const QString& line) const {
    if (options_.quiet)
        return;
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

bool HubServer::Start(QString* error) {
#ifdef Q_OS_UNIX
    // Every client takes a file descriptor. The cap stays below the process's limit, with
    // room for the hub's own files, so that running out of descriptors does not stop the
    // listeners in the first place.
    constexpr rlim_t Headroom = 32;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        rlim_t(options_.maxClients) + Headroom > limit.rlim_cur) {
        options_.maxClients =
            int(std::max<rlim_t>(1, limit.rlim_cur - std::min(limit.rlim_cur, Headroom)));
        Log(QStringLiteral("svcorblex-hub: at most %1 clients at once, as this process may open "
                           "only %2 files (ulimit -n)")
                .arg(options_.maxClients)
                .arg(quint64(limit.rlim_cur)));
    }
#endif
    if (!Listen(error))
        return false;
    // A listener that the system stopped (no file descriptor left for a new connection) is
    // started again once a second, for as long as that takes: no busy retrying.
    relisten_ = new QTimer(this);
    relisten_->setInterval(1000);
    connect(relisten_, &QTimer::timeout, this, &HubServer::CheckListeners);
    relisten_->start();
    Log(QStringLiteral("svcorblex-hub: local endpoint %1 is %2")
            .arg(options_.localName, localPath_));
    if (options_.fault == Fault::Flap) {
        auto* flap = new QTimer(this);
        connect(flap, &QTimer::timeout, this, &HubServer::Flap);
        flap->start(options_.faultPeriodMs);
    }
    return true;
}

bool HubServer::Listen(QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        StopListening();
        return false;
    };
    tcp_ = new QTcpServer(this);
    if (!tcp_->listen(options_.address, port_ ? port_ : options_.port))
        return fail(QStringLiteral("cannot listen on %1:%2: %3")
                        .arg(options_.address.toString())
                        .arg(options_.port)
                        .arg(tcp_->errorString()));
    port_ = tcp_->serverPort();
    // After a failed accept the server pauses itself for good; CheckListeners resumes it.
    connect(tcp_, &QTcpServer::acceptError, this,
            [this] { AcceptFailed(QStringLiteral("TCP"), tcp_->errorString()); });
    connect(tcp_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = tcp_->nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            Accept(socket, QStringLiteral("tcp %1:%2")
                               .arg(socket->peerAddress().toString())
                               .arg(socket->peerPort()));
        }
    });

    // A socket file left behind by a hub that died is removed; one that still answers
    // belongs to a running hub and is left alone.
    QString why;
    localPath_ = hubwire::LocalEndpoint(options_.localName, &why);
    if (localPath_.isEmpty())
        return fail(
            QStringLiteral("cannot listen on local endpoint %1: %2").arg(options_.localName, why));
    {
        QLocalSocket probe;
        probe.connectToServer(localPath_);
        if (probe.waitForConnected(200))
            return fail(QStringLiteral("local endpoint %1 is in use by another hub")
                            .arg(options_.localName));
    }
    QLocalServer::removeServer(localPath_);
    local_ = new QLocalServer(this);
    if (!local_->listen(localPath_))
        return fail(QStringLiteral("cannot listen on local endpoint %1: %2")
                        .arg(options_.localName, local_->errorString()));
    connect(local_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = local_->nextPendingConnection())
            Accept(socket, QStringLiteral("local endpoint"));
    });
    return true;
}

void HubServer::StopListening() {
    delete tcp_;
    tcp_ = nullptr;
    delete local_;
    local_ = nullptr;
}

QString HubServer::ListeningText() const {
    const QString address = options_.address.protocol() == QAbstractSocket::IPv6Protocol
                                ? QLatin1Char('[') + options_.address.toString() + QLatin1Char(']')
                                : options_.address.toString();
    return QStringLiteral("listening on %1:%2 and local endpoint %3")
        .arg(address)
        .arg(port_)
        .arg(options_.localName);
}

void HubServer::AcceptFailed(const QString& transport, const QString& why) {
    acceptFailing_ = true;
    Log(QStringLiteral("svcorblex-hub: cannot accept a %1 connection (%2); trying again in 1 s")
            .arg(transport, why));
}

namespace {

// True when this process cannot open one more file.
bool OutOfDescriptors() {
#ifdef Q_OS_UNIX
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EMFILE || errno == ENFILE;
#else
    return false;
#endif
}

} // namespace

void HubServer::CheckListeners() {
    if (!tcp_ || !local_)
        return; // not listening on purpose (fault flap)
    // Out of descriptors, the TCP server does not always report that it cannot accept; it
    // may then try again and again in a busy loop. It is paused until a descriptor is free.
    if (OutOfDescriptors()) {
        tcp_->pauseAccepting();
        acceptFailing_ = true;
        Log(QStringLiteral("svcorblex-hub: out of file descriptors (ulimit -n); new connections "
                           "wait; trying again in 1 s"));
        return;
    }
    // Resumed whether or not a failure was noted since: a local client accepted meanwhile
    // clears the note while the TCP server may still be paused.
    tcp_->resumeAccepting();
    // A local server that fails to accept closes itself; it is opened again here.
    if (!local_->isListening()) {
        QLocalServer::removeServer(localPath_);
        if (local_->listen(localPath_)) {
            Log(QStringLiteral("svcorblex-hub: listening on local endpoint %1 again")
                    .arg(options_.localName));
        } else {
            acceptFailing_ = true;
            Log(QStringLiteral("svcorblex-hub: cannot listen on local endpoint %1 (%2); trying "
                               "again in 1 s")
                    .arg(options_.localName, local_->errorString()));
        }
    }
}

void HubServer::Forget(Session* session) {
    std::erase(sessions_, session);
    if (atClientCap_ && qsizetype(sessions_.size()) < options_.maxClients) {
        atClientCap_ = false;
        Log(QStringLiteral("svcorblex-hub: %1 clients connected; accepting new clients again")
                .arg(sessions_.size()));
    }
}

void HubServer::Accept(QIODevice* socket, const QString& peer) {
    if (acceptFailing_) {
        acceptFailing_ = false;
        Log(QStringLiteral("svcorblex-hub: accepting connections again"));
    }
    if (qsizetype(sessions_.size()) >= options_.maxClients) {
        // Closed at once, so the client learns it now rather than at its time-out.
        if (!atClientCap_) {
            atClientCap_ = true;
            Log(QStringLiteral("svcorblex-hub: %1 clients connected, the most allowed "
                               "(--max-clients); closing new connections until one leaves")
                    .arg(sessions_.size()));
        }
        if (auto* local = qobject_cast<QLocalSocket*>(socket))
            local->abort();
        else if (auto* tcp = qobject_cast<QTcpSocket*>(socket))
            tcp->abort();
        socket->deleteLater();
        return;
    }
    const int id = nextSessionId_++;
    sessions_.push_back(new Session(*this, socket, id, peer));
    Log(QStringLiteral("svcorblex-hub: client %1 connected (%2)").arg(id).arg(peer));
}

void HubServer::Flap() {
    if (tcp_) {
        Log(QStringLiteral("svcorblex-hub: going down (fault flap)"));
        StopListening();
        for (Session* session : std::vector<Session*>(sessions_))
            session->Drop();
        return;
    }
    QString error;
    if (Listen(&error))
        Log(QStringLiteral("svcorblex-hub: back up (fault flap)"));
    else
        Log(QStringLiteral("svcorblex-hub: ") + error);
}

QByteArray HubServer::Answer(const QByteArray& command) const {
    if (command == "GETTAGS")
        return plant_.TagsAnswer();
    if (command == "GETVALUES")
        return plant_.ValuesAnswer(double(clock_.nsecsElapsed()) / 1e9);
    return QByteArray();
}

void HubServer::Respond(Session& session, const QByteArray& command) {
    // A client that keeps asking without reading its answers would make the hub buffer
    // without end and keep it busy making answers nobody takes, delaying everyone else; a
    // client that reads waits for each answer before it asks again, so once more than a
    // little of its answers waits, it is dropped instead.
    if (session.socket().bytesToWrite() > options_.maxUnsentBytes) {
        Log(QStringLiteral("svcorblex-hub: client %1 does not read its answers; dropping it")
                .arg(session.id()));
        session.Drop();
        return;
    }
    QByteArray body = Answer(command);
    switch (options_.fault) {
    case Fault::None:
    case Fault::Flap:
        session.Send(hubwire::EncodeHeader(body.size()), body);
        return;
    case Fault::Stall:
        return;
    case Fault::Slow:
        // Later answers queue behind earlier ones, so the order of the answers holds.
        QTimer::singleShot(SlowAnswerMs, &session, [&session, body] {
            session.Send(hubwire::EncodeHeader(body.size()), body);
        });
        return;
    case Fault::Drip:
        session.Drip(hubwire::EncodeAnswer(body), std::max(1, options_.faultPeriodMs / 100));
        return;
    case Fault::Close:
        session.Send(hubwire::EncodeHeader(body.size()), body.left(body.size() / 2));
        session.CloseSoon();
        return;
    case Fault::Garbage:
        session.Send(QByteArrayLiteral("OK, here it comes\n"), body);
        return;
    case Fault::Oversize:
        session.Send(QByteArrayLiteral("99999999999\n"), body);
        return;
    case Fault::Mismatch:
        if (command == "GETVALUES") {
            const qsizetype lastTab = body.lastIndexOf('\t');
            body = lastTab < 0 ? QByteArray() : body.left(lastTab);
            if (!body.isEmpty())
                body.prepend("Renamed ");
        }
        session.Send(hubwire::EncodeHeader(body.size()), body);
        return;
    }
}

void HubServer::SetTags(std::vector<TagDef> tags) {
    plant_.SetTags(std::move(tags), options_.seed);
}

bool HubServer::SetTagFile(const QString& path, QString* error) {
    tagFile_ = QFileInfo(path).absoluteFilePath();
    QString why;
    ReloadTagFile(true, &why);
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return false;
    }
    // Editors often replace a file rather than write it, which a file watch alone can miss:
    // the folder is watched too, and the file's time and size are checked every second.
    watcher_ = new QFileSystemWatcher(this);
    watcher_->addPath(tagFile_);
    watcher_->addPath(QFileInfo(tagFile_).absolutePath());
    reloadDelay_ = new QTimer(this);
    reloadDelay_->setSingleShot(true);
    reloadDelay_->setInterval(50);
    connect(reloadDelay_, &QTimer::timeout, this, [this] { ReloadTagFile(false, nullptr); });
    auto soon = [this] { reloadDelay_->start(); };
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, soon);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, soon);
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &HubServer::CheckTagFile);
    poll->start(1000);
    return true;
}

void HubServer::CheckTagFile() {
    const QFileInfo info(tagFile_);
    if (info.exists() && (info.lastModified() != tagFileTime_ || info.size() != tagFileSize_))
        ReloadTagFile(false, nullptr);
}

void HubServer::ReloadTagFile(bool initial, QString* error) {
    QFile file(tagFile_);
    if (!file.open(QIODevice::ReadOnly)) {
        const QString why =
            QStringLiteral("cannot read tag file %1: %2").arg(tagFile_, file.errorString());
        if (error)
            *error = why;
        else
            Log(QStringLiteral("svcorblex-hub: ") + why + QStringLiteral("; keeping the tags"));
        return;
    }
    const QByteArray text = file.readAll();
    const QFileInfo info(tagFile_);
    tagFileTime_ = info.lastModified();
    tagFileSize_ = info.size();
    if (watcher_ && !watcher_->files().contains(tagFile_))
        watcher_->addPath(tagFile_);
    if (!initial && text == tagFileText_)
        return;
    tagFileText_ = text;
    QStringList errors;
    HubConfig config = ParseHubConfig(text, &errors);
    if (!errors.isEmpty()) {
        // A file with any fault is refused as a whole: half a plant would mislead.
        for (QString& line : errors)
            line = tagFile_ + QStringLiteral(": ") + line;
        if (error) {
            *error = errors.join(QStringLiteral("\nsvcorblex-hub: "));
            return;
        }
        for (const QString& line : errors)
            Log(QStringLiteral("svcorblex-hub: ") + line);
        Log(QStringLiteral("svcorblex-hub: %1 refused; keeping the tags served").arg(tagFile_));
        return;
    }
    if (!gateway_) {
        // Brokers and devices come and go rarely, and each change is worth a line even when
        // connections are not logged.
        gateway_ = new Gateway(
            [](const QString& line) {
                const QByteArray bytes =
                    (QStringLiteral("svcorblex-hub: ") + line + QLatin1Char('\n')).toLocal8Bit();
                std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
                std::fflush(stderr);
            },
            this);
        plant_.SetLiveValues(&gateway_->values());
    }
    gateway_->Apply(config);
    Log(QStringLiteral("svcorblex-hub: %1 %2 tags from %3")
            .arg(initial ? QStringLiteral("loaded") : QStringLiteral("reloaded"))
            .arg(config.tags.size())
            .arg(tagFile_));
    SetTags(std::move(config.tags));
}

} // namespace demohub
