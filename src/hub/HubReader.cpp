#include "hub/HubReader.h"

#include "base/Log.h"

#include "hub/Framing.h"
#include "hub/LocalEndpoint.h"
#include "model/Numeric.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QTimer>

#include <cmath>

namespace hubreader {

QString Target::ConnectionKey() const {
    if (kind == Kind::Local)
        return QStringLiteral("HUB");
    return QStringLiteral("TCP:") + host + QLatin1Char('#') + QString::number(port);
}

std::optional<quint16> RoundPortText(QStringView text) {
    // The same number rule as the port box on the Connect page.
    const std::optional<double> value = numeric::ParseNumber(text);
    if (!value)
        return std::nullopt;
    const double whole = numeric::RoundHalfEven(*value);
    if (whole < 1 || whole > 65535)
        return std::nullopt;
    return static_cast<quint16>(whole);
}

std::optional<Target> ParseRequest(const QString& request, QString* why) {
    auto fail = [why](const QString& text) -> std::optional<Target> {
        if (why)
            *why = text;
        return std::nullopt;
    };
    Target target;
    QStringView command;
    if (request.startsWith(QLatin1String("HUB:"), Qt::CaseInsensitive)) {
        target.kind = Target::Kind::Local;
        command = QStringView(request).mid(4);
    } else if (request.startsWith(QLatin1String("TCP:"), Qt::CaseInsensitive)) {
        target.kind = Target::Kind::Tcp;
        const qsizetype bang = request.indexOf(QLatin1Char('!'), 4);
        if (bang < 0)
            return fail(QStringLiteral("request has no \"!\" after the TCP address and port"));
        const QStringView hostPort = QStringView(request).mid(4, bang - 4);
        const qsizetype colon = hostPort.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return fail(QStringLiteral("request has no \":\" between TCP address and port"));
        QStringView host = hostPort.left(colon).trimmed();
        if (host.size() >= 2 && host.front() == QLatin1Char('[') && host.back() == QLatin1Char(']'))
            host = host.mid(1, host.size() - 2).trimmed();
        if (host.isEmpty())
            return fail(QStringLiteral("TCP address is empty"));
        const auto port = RoundPortText(hostPort.mid(colon + 1));
        if (!port)
            return fail(QStringLiteral("TCP port \"") + hostPort.mid(colon + 1) +
                        QStringLiteral("\" is not a port number"));
        target.host = host.toString();
        target.port = *port;
        command = QStringView(request).mid(bang + 1);
    } else {
        return fail(QStringLiteral("request does not start with \"HUB:\" or \"TCP:\""));
    }
    if (command.isEmpty())
        return fail(QStringLiteral("request holds no command"));
    if (command.contains(QLatin1Char('\n')) || command.contains(QLatin1Char('\r')))
        return fail(QStringLiteral("command holds a line break"));
    target.command = command.toUtf8();
    if (target.command.size() > hubwire::MaxCommandBytes)
        return fail(QStringLiteral("command is too long"));
    return target;
}

} // namespace hubreader

using hubreader::Target;

// The one open connection of a reader, on either transport. The sockets are children of the
// reader, so whatever is still pending when the reader goes is closed with it.
class SVComSrvClass::Connection {
public:
    explicit Connection(QString connectionKey) : key(std::move(connectionKey)) {}

    bool IsOpen() const {
        if (local)
            return local->state() == QLocalSocket::ConnectedState;
        if (tcp)
            return tcp->state() == QAbstractSocket::ConnectedState;
        return false;
    }
    // Unread bytes on a connection that is between requests mean the stream is out of step.
    bool HasStrayBytes() const { return device() && device()->bytesAvailable() > 0; }
    QIODevice* device() const {
        return local ? static_cast<QIODevice*>(local) : static_cast<QIODevice*>(tcp);
    }

    QString key;
    QLocalSocket* local = nullptr;
    QTcpSocket* tcp = nullptr;
    bool connected = false;
};

// The request that waits for its answer.
struct SVComSrvClass::Pending {
    QString request;
    Target target;
    Done done;
    bool reused = false; // went out on a connection kept from an earlier request
    bool sent = false;
    QList<QHostAddress> addresses;
    qsizetype addressIndex = 0;
    QString lastConnectError;
    hubwire::AnswerDecoder decoder;
};

SVComSrvClass::SVComSrvClass() : SVComSrvClass(QLatin1String(hubreader::DefaultLocalName)) {}

SVComSrvClass::SVComSrvClass(const QString& localName)
    : localName_(localName), deadline_(new QTimer(this)) {
    deadline_->setSingleShot(true);
    deadline_->setTimerType(Qt::PreciseTimer);
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (!pending_)
            return;
        Fail(!connection_ || !connection_->connected
                 ? (lookupId_ >= 0 ? QStringLiteral("looking up \"") + pending_->target.host +
                                         QStringLiteral("\" took too long")
                                   : QStringLiteral("no connection in time"))
                 : QStringLiteral("no complete answer in time"));
    });
}

SVComSrvClass::~SVComSrvClass() {
    // A request still waiting is dropped without a word; its callback no longer has anyone
    // to tell.
    if (lookupId_ >= 0)
        QHostInfo::abortHostLookup(lookupId_);
    pending_.reset();
    DropConnection();
}

void SVComSrvClass::Explain(const QString& request, const QString& why) const {
    if (silent_)
        return;
    logging::Warning(QStringLiteral("hub reader: \"%1\" failed: %2").arg(request, why));
}

QString SVComSrvClass::ReadInputFile(const QString& request) {
    if (pending_) {
        // One connection carries one request at a time; a request made from inside the wait
        // of another must not mix its bytes into that one's answer.
        Explain(request, QStringLiteral("another request is still waiting for its answer"));
        return QString();
    }
    struct Wait {
        bool finished = false;
        QString answer;
        QEventLoop* loop = nullptr;
    };
    const auto wait = std::make_shared<Wait>();
    Send(request, [wait](const QString& answer) {
        wait->finished = true;
        wait->answer = answer;
        if (wait->loop)
            wait->loop->quit();
    });
    if (!wait->finished) {
        QEventLoop loop;
        wait->loop = &loop;
        loop.exec();
        wait->loop = nullptr;
    }
    // The loop also ends when the program is quitting: the request is then given up.
    if (!wait->finished)
        Abandon();
    return wait->answer;
}

void SVComSrvClass::Abandon() {
    if (!pending_)
        return;
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    // The answer may still come; it would arrive on a stream nobody reads in step any more.
    DropConnection();
    Finish(QString());
}

void SVComSrvClass::Send(const QString& request, Done done) {
    const auto failAtOnce = [this, &request, &done](const QString& why) {
        Explain(request, why);
        QMetaObject::invokeMethod(
            this, [done = std::move(done)] { done(QString()); }, Qt::QueuedConnection);
    };
    if (pending_)
        return failAtOnce(QStringLiteral("another request is still waiting for its answer"));
    QString why;
    auto target = hubreader::ParseRequest(request, &why);
    if (!target)
        return failAtOnce(why);

    pending_ = std::make_unique<Pending>();
    pending_->request = request;
    pending_->target = std::move(*target);
    pending_->done = std::move(done);
    deadline_->start(std::max(0, timeoutMs_));

    const QString key = pending_->target.ConnectionKey();
    if (connection_ &&
        (connection_->key != key || !connection_->IsOpen() || connection_->HasStrayBytes()))
        DropConnection();
    pending_->reused = connection_ != nullptr;
    // Whatever happens next may already end the request (a socket reports some failures at
    // once); the callback then still runs from the event loop, never from inside Send.
    inSend_ = true;
    if (connection_)
        Transmit();
    else
        Connect();
    inSend_ = false;
}

void SVComSrvClass::Connect() {
    const Target& target = pending_->target;
    if (target.kind == Target::Kind::Local) {
        QString unsafe;
        const QString path = hubwire::LocalEndpoint(localName_, &unsafe);
        if (path.isEmpty())
            return Fail(QStringLiteral("cannot connect to local endpoint \"") + localName_ +
                        QStringLiteral("\": ") + unsafe);
        connection_ = std::make_unique<Connection>(target.ConnectionKey());
        auto* socket = new QLocalSocket(this);
        connection_->local = socket;
        connect(socket, &QLocalSocket::connected, this, &SVComSrvClass::OnConnected);
        connect(socket, &QLocalSocket::readyRead, this, &SVComSrvClass::OnReadyRead);
        connect(socket, &QLocalSocket::disconnected, this,
                [this] { OnBroken(QStringLiteral("the hub closed the connection")); });
        connect(socket, &QLocalSocket::errorOccurred, this,
                [this, socket](QLocalSocket::LocalSocketError error) {
                    if (connection_ && connection_->connected)
                        return OnBroken(socket->errorString());
                    Fail(QStringLiteral("cannot connect to local endpoint \"") + localName_ +
                         QStringLiteral("\": ") +
                         (error == QLocalSocket::ServerNotFoundError
                              ? QStringLiteral("no hub listens there")
                              : socket->errorString()));
                });
        socket->connectToServer(path);
        return;
    }
    QHostAddress literal;
    if (literal.setAddress(target.host))
        return OnHostFound({literal}, QString());
    // The lookup runs on Qt's own lookup threads, which the application waits for when it
    // ends; an abandoned lookup is aborted and its result never delivered.
    lookupId_ = QHostInfo::lookupHost(target.host, this, [this](const QHostInfo& info) {
        if (info.lookupId() != lookupId_)
            return;
        lookupId_ = -1;
        OnHostFound(info.addresses(), info.errorString());
    });
}

void SVComSrvClass::OnHostFound(const QList<QHostAddress>& addresses, const QString& error) {
    if (!pending_)
        return;
    if (addresses.isEmpty())
        return Fail(QStringLiteral("cannot find host \"") + pending_->target.host +
                    QStringLiteral("\": ") + error);
    pending_->addresses = addresses;
    ConnectTo(0);
}

void SVComSrvClass::ConnectTo(qsizetype addressIndex) {
    Pending& p = *pending_;
    if (addressIndex >= p.addresses.size())
        return Fail(QStringLiteral("cannot connect to ") + p.target.host + QLatin1Char(':') +
                    QString::number(p.target.port) + QStringLiteral(": ") + p.lastConnectError);
    p.addressIndex = addressIndex;
    connection_ = std::make_unique<Connection>(p.target.ConnectionKey());
    auto* socket = new QTcpSocket(this);
    connection_->tcp = socket;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        OnConnected();
    });
    connect(socket, &QTcpSocket::readyRead, this, &SVComSrvClass::OnReadyRead);
    connect(socket, &QTcpSocket::disconnected, this,
            [this] { OnBroken(QStringLiteral("the hub closed the connection")); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
        if (connection_ && connection_->connected)
            return OnBroken(socket->errorString());
        if (!pending_)
            return;
        // The next address of the host, if it has one.
        pending_->lastConnectError = socket->errorString();
        DropConnection();
        ConnectTo(pending_->addressIndex + 1);
    });
    socket->connectToHost(p.addresses.at(addressIndex), p.target.port);
}

void SVComSrvClass::OnConnected() {
    if (!connection_)
        return;
    connection_->connected = true;
    if (pending_ && !pending_->sent)
        Transmit();
}

void SVComSrvClass::Transmit() {
    Pending& p = *pending_;
    const QByteArray line = hubwire::EncodeCommand(p.target.command);
    p.sent = true;
    QIODevice* device = connection_->device();
    if (device->write(line) != line.size())
        OnBroken(QStringLiteral("cannot send the request: ") + device->errorString());
}

void SVComSrvClass::OnReadyRead() {
    // Bytes that arrive between requests stay unread: the next request sees them as a stream
    // out of step and starts on a fresh connection.
    if (!pending_ || !pending_->sent || !connection_)
        return;
    QIODevice* device = connection_->device();
    while (pending_ && device->bytesAvailable() > 0) {
        const QByteArray chunk = device->readAll();
        qsizetype used = 0;
        const auto status = pending_->decoder.Feed(chunk, &used);
        if (status == hubwire::AnswerDecoder::Status::Error)
            return Fail(QStringLiteral("bad answer: ") + pending_->decoder.ErrorText());
        if (status == hubwire::AnswerDecoder::Status::Done) {
            // Bytes after the answer were not asked for: drop the connection so the next
            // request starts on a clean stream.
            if (used < chunk.size() || !connection_->IsOpen())
                DropConnection();
            return Finish(QString::fromUtf8(pending_->decoder.TakeBody()));
        }
    }
}

void SVComSrvClass::OnBroken(const QString& why) {
    if (!pending_ || !connection_)
        return;
    // What arrived before the end still counts.
    OnReadyRead();
    if (!pending_)
        return;
    // A kept connection may have died since the last request; that shows only now. One fresh
    // connection is tried when it failed before any byte of the answer arrived.
    Pending& p = *pending_;
    if (p.reused && p.sent && !p.decoder.Started() && deadline_->remainingTime() > 0) {
        DropConnection();
        p.reused = false;
        p.sent = false;
        p.decoder.Reset();
        return Connect();
    }
    Fail((p.decoder.Started() ? QStringLiteral("connection lost in the middle of the answer: ")
                              : QStringLiteral("connection lost before the answer: ")) +
         why);
}

void SVComSrvClass::Fail(const QString& why) {
    if (!pending_)
        return;
    Explain(pending_->request, why);
    if (lookupId_ >= 0) {
        QHostInfo::abortHostLookup(lookupId_);
        lookupId_ = -1;
    }
    DropConnection();
    Finish(QString());
}

void SVComSrvClass::Finish(const QString& answer) {
    if (!pending_)
        return;
    deadline_->stop();
    Done done = std::move(pending_->done);
    pending_.reset();
    if (inSend_)
        QMetaObject::invokeMethod(
            this, [done = std::move(done), answer] { done(answer); }, Qt::QueuedConnection);
    else
        done(answer);
}

void SVComSrvClass::DropConnection() {
    if (!connection_)
        return;
    // The sockets may be the ones whose signal is running right now: they are silenced,
    // closed, and deleted once control is back in the event loop.
    if (QLocalSocket* local = connection_->local) {
        disconnect(local, nullptr, this, nullptr);
        local->abort();
        local->deleteLater();
    }
    if (QTcpSocket* tcp = connection_->tcp) {
        disconnect(tcp, nullptr, this, nullptr);
        tcp->abort();
        tcp->deleteLater();
    }
    connection_.reset();
}
