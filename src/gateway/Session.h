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

    QIODevice& socket() { return *socket_; }
    int id() const { return id_; }
    const QString& peer() const { return peer_; }
    // True once the connection is closed or being closed; nothing more is read or sent.
    bool gone() const { return gone_; }

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
    bool gone_ = false;
};

} // namespace gateway
