#include "gateway/Session.h"

#include "base/Log.h"
#include "gateway/HubServer.h"

#include <QLocalSocket>
#include <QTcpSocket>
#include <QTimer>

namespace gateway {

Session::Session(HubServer& server, QIODevice* socket, int id, QString peer, int idleTimeoutMs,
                 int lineTimeoutMs)
    : server_(server), socket_(socket), id_(id), peer_(std::move(peer)),
      connectedAt_(server.Now()) {
    socket_->setParent(this);
    connect(socket_, &QIODevice::readyRead, this, &Session::Read);
    // A connection that neither asks nor takes anything for a long time is closed, so that
    // idle clients cannot hold the hub's connections for as long as they like.
    idle_ = new QTimer(this);
    idle_->setSingleShot(true);
    idle_->setInterval(idleTimeoutMs);
    connect(idle_, &QTimer::timeout, this, [this] {
        logging::Info(QStringLiteral("client %1 was idle for %2 s; closing")
                          .arg(id_)
                          .arg(double(idle_->interval()) / 1000.0));
        Drop();
    });
    connect(socket_, &QIODevice::bytesWritten, idle_, qOverload<>(&QTimer::start));
    idle_->start();
    // Each byte restarts the idle timer, so a line must also end in time of its own: else a
    // client sending a byte now and then would hold its place without ever asking anything.
    line_ = new QTimer(this);
    line_->setSingleShot(true);
    line_->setInterval(lineTimeoutMs);
    connect(line_, &QTimer::timeout, this, [this] {
        logging::Info(QStringLiteral("client %1 did not end its request line within %2 s; "
                                     "closing")
                          .arg(id_)
                          .arg(double(line_->interval()) / 1000.0));
        Drop();
    });
    bool connected = false;
    if (auto* local = qobject_cast<QLocalSocket*>(socket_)) {
        connect(local, &QLocalSocket::disconnected, this, &Session::Gone);
        connected = local->state() == QLocalSocket::ConnectedState;
    } else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_)) {
        connect(tcp, &QTcpSocket::disconnected, this, &Session::Gone);
        connected = tcp->state() == QAbstractSocket::ConnectedState;
    }
    // A connection that waited for its turn (HubServer::TakeNewConnections) may have sent its
    // request, or ended, before anyone listened; that is taken up once the server holds it.
    if (socket_->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &Session::Read, Qt::QueuedConnection);
    if (!connected)
        QMetaObject::invokeMethod(this, &Session::Gone, Qt::QueuedConnection);
}

void Session::Send(const QByteArray& bytes) {
    if (!gone_)
        socket_->write(bytes);
}

void Session::CloseSoon() {
    if (auto* local = qobject_cast<QLocalSocket*>(socket_))
        local->disconnectFromServer();
    else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_))
        tcp->disconnectFromHost();
}

void Session::Drop() {
    if (auto* local = qobject_cast<QLocalSocket*>(socket_))
        local->abort();
    else if (auto* tcp = qobject_cast<QTcpSocket*>(socket_))
        tcp->abort();
    Gone();
}

void Session::Read() {
    if (gone_)
        return;
    idle_->start();
    reader_.Append(socket_->readAll());
    QByteArray command;
    for (;;) {
        const auto status = reader_.Next(command);
        if (status == hubwire::CommandReader::Status::Incomplete)
            break;
        if (status == hubwire::CommandReader::Status::Error) {
            logging::Info(QStringLiteral("client %1 sent an over-long line; closing").arg(id_));
            CloseSoon();
            return;
        }
        lastRequestAt_ = server_.Now();
        lineStartedAt_ = -1;
        server_.Respond(*this, command);
        if (gone_)
            return;
    }
    // The line timer runs from the first byte of a line to its LF.
    if (!reader_.InLine()) {
        line_->stop();
    } else if (lineStartedAt_ < 0) {
        lineStartedAt_ = server_.Now();
        line_->start();
    }
}

void Session::Gone() {
    if (gone_)
        return;
    gone_ = true;
    idle_->stop();
    line_->stop();
    logging::Info(QStringLiteral("client %1 disconnected").arg(id_));
    server_.Forget(this);
    deleteLater();
}

} // namespace gateway
