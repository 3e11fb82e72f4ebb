#include "gateway/HubServer.h"

#include "base/Log.h"
#include "gateway/Session.h"
#include "hub/Framing.h"
#include "hub/LocalEndpoint.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace gateway {

namespace {

// At the cap every new client costs another its place. New connections are then taken at
// most one per turn; the rest wait in the system's queue meanwhile. Clients that come straight
// back each time they are closed thus cost the hub at most one accept a turn, not a busy loop.
constexpr int CapTurnMs = 10;

} // namespace

HubServer::HubServer(ServerOptions options, Answerer answer, QObject* parent)
    : QObject(parent), options_(std::move(options)), answer_(std::move(answer)) {
    clock_.start();
    capTurn_ = new QTimer(this);
    capTurn_->setSingleShot(true);
    capTurn_->setInterval(CapTurnMs);
    connect(capTurn_, &QTimer::timeout, this, &HubServer::TakeNewConnections);
}

HubServer::~HubServer() {
    for (Session* session : std::vector<Session*>(sessions_))
        delete session;
    StopListening();
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
        logging::Notice(QStringLiteral("at most %1 clients at once, as this process may open "
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
    logging::Notice(QStringLiteral("local endpoint %1 is %2").arg(options_.localName, localPath_));
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
    // A connection not taken yet holds the server's accepting back (TakeNewConnections).
    tcp_->setMaxPendingConnections(1);
    // After a failed accept the server pauses itself for good; CheckListeners resumes it.
    connect(tcp_, &QTcpServer::acceptError, this,
            [this] { AcceptFailed(QStringLiteral("TCP"), tcp_->errorString()); });
    connect(tcp_, &QTcpServer::newConnection, this, &HubServer::TakeNewConnections);

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
    local_->setMaxPendingConnections(1);
    if (!local_->listen(localPath_))
        return fail(QStringLiteral("cannot listen on local endpoint %1: %2")
                        .arg(options_.localName, local_->errorString()));
    connect(local_, &QLocalServer::newConnection, this, &HubServer::TakeNewConnections);
    return true;
}

void HubServer::TakeNewConnections() {
    // A server holds at most one accepted connection that is not taken yet and accepts no
    // more until it is taken; the others wait in the system's queue. So while this waits for
    // the next turn at the cap, neither server spins.
    for (;;) {
        if (qsizetype(sessions_.size()) >= options_.maxClients && capTurn_->isActive())
            return; // taken when the turn is over
        QIODevice* socket = nullptr;
        QString peer;
        const auto takeLocal = [&] {
            if (QLocalSocket* local = local_ ? local_->nextPendingConnection() : nullptr) {
                socket = local;
                peer = QStringLiteral("local endpoint");
            }
        };
        const auto takeTcp = [&] {
            if (QTcpSocket* tcp = tcp_ ? tcp_->nextPendingConnection() : nullptr) {
                tcp->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                socket = tcp;
                peer = QStringLiteral("tcp %1:%2")
                           .arg(tcp->peerAddress().toString())
                           .arg(tcp->peerPort());
            }
        };
        if (localFirst_)
            takeLocal();
        if (!socket)
            takeTcp();
        if (!socket && !localFirst_)
            takeLocal();
        if (!socket)
            return;
        localFirst_ = !localFirst_;
        Accept(socket, peer);
    }
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
    logging::Warning(QStringLiteral("cannot accept a %1 connection (%2); trying again in 1 s")
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
        return; // suspended on purpose
    // Out of descriptors, the TCP server does not always report that it cannot accept; it
    // may then try again and again in a busy loop. It is paused until a descriptor is free.
    if (OutOfDescriptors()) {
        tcp_->pauseAccepting();
        acceptFailing_ = true;
        logging::Warning(QStringLiteral("out of file descriptors (ulimit -n); new connections "
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
            logging::Notice(
                QStringLiteral("listening on local endpoint %1 again").arg(options_.localName));
        } else {
            acceptFailing_ = true;
            logging::Warning(QStringLiteral("cannot listen on local endpoint %1 (%2); trying "
                                            "again in 1 s")
                                 .arg(options_.localName, local_->errorString()));
        }
    }
}

void HubServer::Forget(Session* session) {
    std::erase(sessions_, session);
    // Left when the count is clearly below the cap, so that clients coming and going at the
    // cap do not write the pair of notices again and again.
    const int below = options_.maxClients - std::max(1, options_.maxClients / 8);
    if (atClientCap_ && !replacing_ && qsizetype(sessions_.size()) <= below) {
        atClientCap_ = false;
        logging::Notice(QStringLiteral("%1 clients connected, below the most allowed (%2) again")
                            .arg(sessions_.size())
                            .arg(options_.maxClients));
    }
}

Session* HubServer::LeastUseful() const {
    // Of least use is, first, a client in the middle of a request line, the one whose line
    // began first (one that trickles its bytes asks nothing); then one that has asked nothing
    // since it connected, the longest connected first; last, the one whose last request is
    // the oldest. A new client is never closed before it could ask: the next one comes a turn
    // later at the soonest, and its first line is mostly there before it is taken at all. A
    // client whose answer is still being sent is never closed: that would waste the answer.
    Session* least = nullptr;
    std::pair<int, qint64> leastRank;
    for (Session* session : sessions_) {
        if (session->IsGone() || session->Socket().bytesToWrite() > 0)
            continue;
        const std::pair<int, qint64> rank =
            session->LineStartedAt() >= 0  ? std::pair{0, session->LineStartedAt()}
            : session->LastRequestAt() < 0 ? std::pair{1, session->ConnectedAt()}
                                           : std::pair{2, session->LastRequestAt()};
        if (!least || rank < leastRank) {
            least = session;
            leastRank = rank;
        }
    }
    return least;
}

void HubServer::Accept(QIODevice* socket, const QString& peer) {
    if (acceptFailing_) {
        acceptFailing_ = false;
        logging::Notice(QStringLiteral("accepting connections again"));
    }
    const int id = nextSessionId_++;
    if (qsizetype(sessions_.size()) >= options_.maxClients) {
        capTurn_->start();
        if (!atClientCap_) {
            atClientCap_ = true;
            logging::Notice(QStringLiteral("%1 clients connected, the most allowed "
                                           "(--max-clients); a new client now takes the place "
                                           "of the one of least use")
                                .arg(sessions_.size()));
        }
        Session* victim = LeastUseful();
        if (!victim) {
            // Every client is being sent an answer. The newcomer is closed at once, so its
            // reader learns it now rather than at its time-out.
            logging::Info(QStringLiteral("client %1 (%2) closed: every place is busy sending "
                                         "an answer")
                              .arg(id)
                              .arg(peer));
            if (auto* local = qobject_cast<QLocalSocket*>(socket))
                local->abort();
            else if (auto* tcp = qobject_cast<QTcpSocket*>(socket))
                tcp->abort();
            socket->deleteLater();
            return;
        }
        logging::Info(
            QStringLiteral("client %1 makes room for a new client; closing").arg(victim->Id()));
        replacing_ = true;
        victim->Drop();
        replacing_ = false;
    }
    sessions_.push_back(new Session(*this, socket, id, peer, options_.idleTimeoutMs,
                                    options_.requestLineTimeoutMs));
    logging::Info(QStringLiteral("client %1 connected (%2)").arg(id).arg(peer));
}

void HubServer::Respond(Session& session, const QByteArray& command) {
    // A client that keeps asking without reading its answers would make the hub buffer
    // without end and keep it busy making answers nobody takes, delaying everyone else; a
    // client that reads waits for each answer before it asks again, so once more than a
    // little of its answers waits, it is dropped instead.
    if (session.Socket().bytesToWrite() > options_.maxUnsentBytes) {
        logging::Info(
            QStringLiteral("client %1 does not read its answers; dropping it").arg(session.Id()));
        session.Drop();
        return;
    }
    const QByteArray body = answer_(command);
    if (responder_) {
        responder_->Respond(session, command, body);
        return;
    }
    session.Send(hubwire::EncodeHeader(body.size()));
    session.Send(body);
}

void HubServer::SetResponder(std::unique_ptr<Responder> responder) {
    responder_ = std::move(responder);
}

void HubServer::Suspend() {
    StopListening();
    for (Session* session : std::vector<Session*>(sessions_))
        session->Drop();
}

bool HubServer::Resume(QString* error) {
    return tcp_ || Listen(error);
}

} // namespace gateway
