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
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace gateway {

namespace {

// At the cap every new client costs another its place. New connections are then taken at
// most one per turn; the rest wait in the system's queue meanwhile. Clients that come straight
// back each time they are closed thus cost the hub at most one accept a turn, not a busy loop.
constexpr int CapTurnMs = 10;

// Descriptors the hub holds back from its clients while it can. Once clients (or other files)
// have taken all the others, the hub gives these back and stops taking connections: it can
// then still do its own work (a source connecting again, a file read on reload), and so can
// the checks of a build with sanitizers, which open two descriptors of their own. New
// connections are taken again once the reserve is held again with as many more free.
constexpr int ReservedDescriptors = 4;
// Descriptors that must stay free beside the reserve while connections are taken: a pipe or
// a socket pair, which the hub's own work may open at any moment (and so do the checks of a
// sanitized build, at the first call of a method through a new type).
constexpr int WorkingDescriptors = 2;

// Opens `count` descriptors into `into`. False, with none added, when the process may not
// open that many more files. True, with none added, when they cannot be opened for another
// reason (no /dev/null): how many are free cannot be told then, and nothing is held back.
bool TakeDescriptors(std::vector<int>& into, int count) {
#ifdef Q_OS_UNIX
    std::vector<int> taken;
    for (int i = 0; i < count; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const bool out = errno == EMFILE || errno == ENFILE;
            for (const int f : taken)
                ::close(f);
            return !out;
        }
        taken.push_back(fd);
    }
    into.insert(into.end(), taken.begin(), taken.end());
#else
    Q_UNUSED(into);
    Q_UNUSED(count);
#endif
    return true;
}

void GiveBack(std::vector<int>& descriptors) {
#ifdef Q_OS_UNIX
    for (const int fd : descriptors)
        ::close(fd);
#endif
    descriptors.clear();
}

// True when a connection waits on the listening socket `descriptor` (or when that cannot be
// told).
bool ConnectionWaiting(qintptr descriptor) {
#ifdef Q_OS_UNIX
    pollfd listening{int(descriptor), POLLIN, 0};
    return ::poll(&listening, 1, 0) != 0;
#else
    Q_UNUSED(descriptor);
    return true;
#endif
}

// True when this process can open `count` more files.
bool FreeDescriptors(int count) {
    std::vector<int> probe;
    const bool free = TakeDescriptors(probe, count);
    GiveBack(probe);
    return free;
}

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
    GiveBack(reserve_);
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
    TakeDescriptors(reserve_, ReservedDescriptors);
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
    // After a failed accept the server pauses itself for good (AcceptFailed).
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
    // The connections just accepted (one per server) may have left fewer than a pipe's worth of
    // descriptors, or none; the local server does not say when it fails. Then the reserve is given
    // back before anything more is done, and the listeners stop. The connection is taken a moment
    // later: the TCP server goes on accepting, paused or not, for as long as its connection is
    // taken at once.
    if (tcp_ && !outOfDescriptors_ && !FreeDescriptors(WorkingDescriptors)) {
        RanOutOfDescriptors(QStringLiteral("out of file descriptors (ulimit -n)"));
        QMetaObject::invokeMethod(this, &HubServer::TakeNewConnections, Qt::QueuedConnection);
        return;
    }
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
                // Taking a connection lets the server accept again; it stays paused while the
                // descriptors are out.
                if (outOfDescriptors_)
                    tcp_->pauseAccepting();
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
    // The TCP server keeps the first error it meets: once an accept has failed, it reports
    // that error again, and pauses, each time it has taken every waiting connection and the
    // system says there is none left. Then nothing failed, and it goes on at once.
    if (!ConnectionWaiting(tcp_->socketDescriptor())) {
        tcp_->resumeAccepting();
        return;
    }
    RanOutOfDescriptors(QStringLiteral("cannot accept a %1 connection (%2)").arg(transport, why));
}

void HubServer::RanOutOfDescriptors(const QString& why) {
    // Both listeners stop taking connections first, so that the clients waiting to connect
    // cannot take the reserve given back here. A local client is refused meanwhile (the local
    // server cannot pause); a TCP client waits in the system's queue.
    tcp_->pauseAccepting();
    if (local_)
        local_->close();
    GiveBack(reserve_);
    if (outOfDescriptors_)
        return;
    outOfDescriptors_ = true;
    logging::Warning(QStringLiteral("%1; new connections wait until file descriptors are free "
                                    "(checked once a second)")
                         .arg(why));
}

void HubServer::ListenLocalAgain() {
    QLocalServer::removeServer(localPath_);
    if (local_->listen(localPath_)) {
        if (localDown_) {
            localDown_ = false;
            logging::Notice(
                QStringLiteral("listening on local endpoint %1 again").arg(options_.localName));
        }
    } else if (!localDown_) {
        localDown_ = true;
        logging::Warning(QStringLiteral("cannot listen on local endpoint %1 (%2); trying again "
                                        "once a second")
                             .arg(options_.localName, local_->errorString()));
    }
}

void HubServer::CheckListeners() {
    if (!tcp_ || !local_)
        return; // suspended on purpose
    if (outOfDescriptors_) {
        // The reserve is held again, and as many more are free, before connections are taken:
        // else the next client would at once use up the last one again.
        if (!TakeDescriptors(reserve_, ReservedDescriptors))
            return;
        if (!FreeDescriptors(ReservedDescriptors)) {
            GiveBack(reserve_);
            return;
        }
        outOfDescriptors_ = false;
        tcp_->resumeAccepting();
        logging::Notice(QStringLiteral("file descriptors are free again; accepting connections "
                                       "again"));
        ListenLocalAgain();
        return;
    }
    // Out of descriptors, the TCP server does not always report that it cannot accept; it
    // may then try again and again in a busy loop.
    if (!FreeDescriptors(WorkingDescriptors)) {
        RanOutOfDescriptors(QStringLiteral("out of file descriptors (ulimit -n)"));
        return;
    }
    // A local server that fails to accept closes itself.
    if (!local_->isListening()) {
        if (localDown_)
            ListenLocalAgain();
        else
            RanOutOfDescriptors(QStringLiteral("the local endpoint could not accept a connection"));
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
