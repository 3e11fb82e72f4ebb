#pragma once
// The demo hub's server: answers wire protocol v1 on a local endpoint and on TCP, serving any
// number of clients at once from one simulated plant.

#include "Plant.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

class QFileSystemWatcher;
class QIODevice;
class QLocalServer;
class QTcpServer;
class QTimer;

namespace demohub {

class Gateway;

// Deliberate misbehaviour, for testing clients against a hub that goes wrong.
enum class Fault {
    None,
    Stall,    // reads requests and never answers
    Slow,     // answers every request one second late
    Drip,     // sends each answer one byte every hundredth of the fault period (20 ms)
    Close,    // sends half of each answer, then closes the connection
    Garbage,  // sends a header that is not a decimal length
    Oversize, // announces an answer far over 64 MiB
    Mismatch, // "GETVALUES" leaves out the last tag and misnames the first
    Flap,     // stops listening and drops every client every fault period (2 s), then comes back
};
std::optional<Fault> ParseFault(QStringView text);

struct ServerOptions {
    QString localName = QStringLiteral("svcorblex-hub");
    QHostAddress address = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 6000; // 0 = any free port
    bool quiet = false;
    Fault fault = Fault::None;
    // The time scale of the faults: how long flap stays up and down; drip sends one byte per
    // hundredth of it. Tests shorten it to run the same cases faster.
    int faultPeriodMs = 2000;
    quint64 seed = 1;

    // Most clients served at once; one more is closed as soon as it connects.
    int maxClients = 256;
    // A client that neither sends nor takes anything for this long is closed.
    int idleTimeoutMs = 10 * 60 * 1000;
    // A client whose earlier answers still wait to be sent beyond this many bytes when it asks
    // again does not read them; it is disconnected instead of answered.
    qint64 maxUnsentBytes = qint64(1) * 1024 * 1024;
};

class Session;

class HubServer : public QObject {
    Q_OBJECT
public:
    explicit HubServer(ServerOptions options, QObject* parent = nullptr);
    ~HubServer() override;

    // Starts listening on both transports; false with `error` set when either fails.
    bool Start(QString* error);
    // The TCP port actually listened on.
    quint16 Port() const { return port_; }
    // "listening on 127.0.0.1:6000 and local endpoint svcorblex-hub"
    QString ListeningText() const;

    void SetTags(std::vector<TagDef> tags);
    // Publishes the tags of `path` and follows changes to the file; false when it cannot be
    // read at all.
    bool SetTagFile(const QString& path, QString* error);
    const Plant& SimulatedPlant() const { return plant_; }

    // The answer body for one command, before any fault is applied.
    QByteArray Answer(const QByteArray& command) const;

    // Writes a line to standard error unless quiet.
    void Log(const QString& line) const;

private:
    friend class Session;
    void Accept(QIODevice* socket, const QString& peer);
    void Forget(Session* session);
    void Respond(Session& session, const QByteArray& command);
    bool Listen(QString* error);
    void StopListening();
    void Flap();
    void CheckTagFile();
    void AcceptFailed(const QString& transport, const QString& why);
    void CheckListeners();
    void ReloadTagFile(bool initial, QString* error);

    ServerOptions options_;
    Plant plant_;
    QElapsedTimer clock_;
    QLocalServer* local_ = nullptr;
    QTcpServer* tcp_ = nullptr;
    QString localPath_;
    quint16 port_ = 0;
    int nextSessionId_ = 1;
    std::vector<Session*> sessions_;
    bool atClientCap_ = false;
    // Retries listening after the system refused a connection (out of file descriptors).
    QTimer* relisten_ = nullptr;
    bool acceptFailing_ = false;

    QString tagFile_;
    QByteArray tagFileText_;
    QDateTime tagFileTime_;
    qint64 tagFileSize_ = -1;
    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* reloadDelay_ = nullptr;
    Gateway* gateway_ = nullptr;
};

} // namespace demohub
