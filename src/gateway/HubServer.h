#pragma once
// Listening and sessions: answers wire protocol v1 on a local endpoint and on TCP, serving
// many clients at once, within limits that keep one client from taking the hub from the others.

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QLocalServer;
class QTcpServer;
class QTimer;
class QIODevice;

namespace gateway {

class Session;

struct ServerOptions {
    QString localName = QStringLiteral("svcorblex-hub");
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 6000; // 0 = any free port

    // Most clients served at once. At the cap a new client takes the place of the client that
    // has been of least use lately (see HubServer::LeastUseful).
    int maxClients = 256;
    // A client that neither sends nor takes anything for this long is closed.
    int idleTimeoutMs = 10 * 60 * 1000;
    // A request line must end within this long of its first byte, or the client is closed:
    // a client that trickles its bytes cannot hold its place for as long as it likes.
    int requestLineTimeoutMs = 5000;
    // A client whose earlier answers still wait to be sent beyond this many bytes when it asks
    // again does not read them; it is disconnected instead of answered.
    qint64 maxUnsentBytes = qint64(1) * 1024 * 1024;
};

// Sends the answer to one request. The hub sends each answer whole and at once; a build for
// tests puts deliberate misbehaviour in its place.
class Responder {
public:
    virtual ~Responder() = default;
    virtual void Respond(Session& session, const QByteArray& command, const QByteArray& body) = 0;
};

class HubServer : public QObject {
    Q_OBJECT
public:
    // The answer body for one command; empty for an unknown one.
    using Answerer = std::function<QByteArray(const QByteArray& command)>;

    HubServer(ServerOptions options, Answerer answer, QObject* parent = nullptr);
    ~HubServer() override;

    // Starts listening on both transports; false with `error` set when either fails.
    bool Start(QString* error);
    // The TCP port actually listened on.
    quint16 Port() const { return port_; }
    // "listening on 127.0.0.1:6000 and local endpoint svcorblex-hub"
    QString ListeningText() const;
    int MaxClients() const { return options_.maxClients; }
    qsizetype ClientCount() const { return qsizetype(sessions_.size()); }

    // Milliseconds since the server was made; the clock of its clients' activity.
    qint64 Now() const { return clock_.elapsed(); }

    // Replaces how answers are sent; null restores the normal way.
    void SetResponder(std::unique_ptr<Responder> responder);

    // Stops listening and drops every client, until Resume.
    void Suspend();
    bool Resume(QString* error);
    bool Suspended() const { return !tcp_; }

private:
    friend class Session;
    void TakeNewConnections();
    void Accept(QIODevice* socket, const QString& peer);
    Session* LeastUseful() const;
    void Forget(Session* session);
    void Respond(Session& session, const QByteArray& command);
    bool Listen(QString* error);
    void StopListening();
    void AcceptFailed(const QString& transport, const QString& why);
    void CheckListeners();
    void RanOutOfDescriptors(const QString& why);
    void ListenLocalAgain();

    ServerOptions options_;
    Answerer answer_;
    std::unique_ptr<Responder> responder_;
    QLocalServer* local_ = nullptr;
    QTcpServer* tcp_ = nullptr;
    QString localPath_;
    quint16 port_ = 0;
    int nextSessionId_ = 1;
    std::vector<Session*> sessions_;
    QElapsedTimer clock_;
    // At the cap: the cap's notice was written and no notice of leaving it since.
    bool atClientCap_ = false;
    // A client is being closed to make room for a new one; the count is not really falling.
    bool replacing_ = false;
    // At the cap, runs from one new client to the next: they are taken one turn apart.
    QTimer* capTurn_ = nullptr;
    // Which transport's waiting connection is taken first next time, so neither starves.
    bool localFirst_ = false;
    // Once a second: whether the descriptors ran out, or are free again after they did.
    QTimer* relisten_ = nullptr;
    // Out of descriptors: the listeners wait, and the reserve is given back, until enough
    // descriptors are free again.
    bool outOfDescriptors_ = false;
    // Descriptors held back from clients while there are enough (ReservedDescriptors in
    // HubServer.cpp).
    std::vector<int> reserve_;
    // The local endpoint could not be listened on again; said once until it can.
    bool localDown_ = false;
};

} // namespace gateway
