#pragma once
// The hub reader: sends one request to the demo hub (or any hub speaking wire protocol v1)
// over the local endpoint or TCP and returns the answer text, "" on any failure.

#include "hub/IHubReader.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringView>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace hubreader {

// Local endpoint name the reader uses for "HUB:" requests unless told otherwise.
inline constexpr auto DefaultLocalName = "svcorblex-hub";
// Longest time one request may take, connection included.
inline constexpr int DefaultTimeoutMs = 5000;

// Where a request goes and what it asks.
struct Target {
    enum class Kind { Local, Tcp };
    Kind kind = Kind::Local;
    QString host;       // TCP only: name or address, without brackets
    quint16 port = 0;   // TCP only
    QByteArray command; // UTF-8 command word, without LF

    // Identifies the connection the request needs; equal keys share one connection.
    QString ConnectionKey() const;
};

// Splits "HUB:" + command or "TCP:" + address + ":" + port + "!" + command. The address is
// split from the port at the last ":" before the first "!", so IPv6 addresses work with or
// without [brackets]; blanks around the address are ignored. The port text may be any number
// (blanks, a fraction, an exponent) and is rounded to the nearest whole number, halves to even.
// Returns nullopt with `why` set when the request cannot be sent.
std::optional<Target> ParseRequest(const QString& request, QString* why = nullptr);

// The port a port text stands for: its numeric value rounded half to even; nullopt when the
// text is not a number or the result is outside 1..65535.
std::optional<quint16> RoundPortText(QStringView text);

} // namespace hubreader

// Requests wait for their answer without blocking the thread: ReadInputFile runs a local
// event loop until the answer is complete, so the window repaints and takes input meanwhile,
// and Send hands the answer to a callback instead. At most one request is outstanding on a
// reader; a request made while another waits fails at once with "".
class SVComSrvClass : public QObject, public IHubReader {
public:
    using Done = std::function<void(const QString& answer)>;

    SVComSrvClass();
    explicit SVComSrvClass(const QString& localName);
    ~SVComSrvClass() override;
    SVComSrvClass(const SVComSrvClass&) = delete;
    SVComSrvClass& operator=(const SVComSrvClass&) = delete;

    void SetSilent(bool silent) override { silent_ = silent; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString& request) override;
    void Abandon() override;

    // Starts a request and returns at once. `done` runs exactly once from the event loop with
    // the answer, "" on any failure, time-out or Abandon; never from inside Send itself.
    void Send(const QString& request, Done done);
    // True while a request waits for its answer.
    bool Busy() const { return pending_ != nullptr; }

    // Longest time one request may take, in milliseconds.
    void SetTimeoutMs(int ms) { timeoutMs_ = ms; }

private:
    class Connection;
    struct Pending;

    void Explain(const QString& request, const QString& why) const;
    void Connect();
    void OnHostFound(const QList<QHostAddress>& addresses, const QString& error);
    void ConnectTo(qsizetype addressIndex);
    void OnConnected();
    void Transmit();
    void OnReadyRead();
    void OnBroken(const QString& why);
    void Fail(const QString& why);
    void Finish(const QString& answer);
    void DropConnection();

    QString localName_;
    int timeoutMs_ = hubreader::DefaultTimeoutMs;
    bool silent_ = false;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<Pending> pending_;
    QTimer* deadline_ = nullptr;
    int lookupId_ = -1;
    bool inSend_ = false;
};
