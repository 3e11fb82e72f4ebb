#pragma once
// One client connection of the hub: splits its byte stream into request lines, hands each to
// the server and sends the answers back.

#include "hub/Framing.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;
class QTimer;

namespace gateway {

class HubServer;

class Session : public QObject {
    Q_OBJECT
public:
    Session(HubServer& server, QIODevice* socket, int id, QString peer, int idleTimeoutMs,
            int lineTimeoutMs);

    QIODevice& Socket() { return *socket_; }
    int Id() const { return id_; }
    const QString& Peer() const { return peer_; }
    // True once the connection is closed or being closed; nothing more is read or sent.
    bool IsGone() const { return gone_; }
    // Times on the server's clock (HubServer::Now): when the client connected, when its last
    // complete request came (-1: none yet), and when the first byte of the request line it is
    // in the middle of came (-1: it is not in the middle of one).
    qint64 ConnectedAt() const { return connectedAt_; }
    qint64 LastRequestAt() const { return lastRequestAt_; }
    qint64 LineStartedAt() const { return lineStartedAt_; }

    void Send(const QByteArray& bytes);
    // Closes after everything written so far has gone out.
    void CloseSoon();
    // Closes at once, dropping what has not been sent.
    void Drop();

private:
    void Read();
    void Gone();

    HubServer& server_;
    QIODevice* socket_;
    int id_;
    QString peer_;
    hubwire::CommandReader reader_;
    QTimer* idle_ = nullptr;
    QTimer* line_ = nullptr;
    qint64 connectedAt_;
    qint64 lastRequestAt_ = -1;
    qint64 lineStartedAt_ = -1;
    bool gone_ = false;
};

} // namespace gateway
