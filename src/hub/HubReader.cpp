#include "hub/HubReader.h"

#include "hub/Framing.h"
#include "hub/LocalEndpoint.h"
#include "hub/Numeric.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QLocalSocket>
#include <QTcpSocket>

#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

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

namespace {

using hubreader::Target;

int Remaining(const QDeadlineTimer& deadline) {
    return int(std::max<qint64>(0, deadline.remainingTime()));
}

// Resolves a host name without letting the lookup outlast the deadline: the blocking lookup
// runs on its own thread, which is left to finish alone when the deadline passes first.
QList<QHostAddress> ResolveHost(const QString& host, const QDeadlineTimer& deadline, QString& why) {
    QHostAddress literal;
    if (literal.setAddress(host))
        return {literal};

    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        QList<QHostAddress> addresses;
        QString error;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, host] {
        const QHostInfo info = QHostInfo::fromName(host);
        const std::lock_guard lock(shared->mutex);
        shared->addresses = info.addresses();
        shared->error = info.errorString();
        shared->finished = true;
        shared->done.notify_all();
    }).detach();

    std::unique_lock lock(shared->mutex);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Remaining(deadline));
    if (!shared->done.wait_until(lock, until, [&] { return shared->finished; })) {
        why = QStringLiteral("looking up \"") + host + QStringLiteral("\" took too long");
        return {};
    }
    if (shared->addresses.isEmpty())
        why = QStringLiteral("cannot find host \"") + host + QStringLiteral("\": ") + shared->error;
    return shared->addresses;
}

} // namespace

// One open connection to one hub, on either transport.
class SVComSrvClass::Connection {
public:
    explicit Connection(QString key) : key_(std::move(key)) {}

    const QString& Key() const { return key_; }

    bool Open(const Target& target, const QString& localName, const QDeadlineTimer& deadline,
              QString& why) {
        if (target.kind == Target::Kind::Local) {
            QString unsafe;
            const QString path = hubwire::LocalEndpoint(localName, &unsafe);
            if (path.isEmpty()) {
                why = QStringLiteral("cannot connect to local endpoint \"") + localName +
                      QStringLiteral("\": ") + unsafe;
                return false;
            }
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(path);
            if (socket->state() != QLocalSocket::ConnectedState &&
                !socket->waitForConnected(Remaining(deadline))) {
                const QString reason = socket->error() == QLocalSocket::ServerNotFoundError
                                           ? QStringLiteral("no hub listens there")
                                       : socket->error() == QLocalSocket::SocketTimeoutError
                                           ? QStringLiteral("no connection in time")
                                           : socket->errorString();
                why = QStringLiteral("cannot connect to local endpoint \"") + localName +
                      QStringLiteral("\": ") + reason;
                return false;
            }
            local_ = std::move(socket);
            device_ = local_.get();
            return true;
        }
        const QList<QHostAddress> addresses = ResolveHost(target.host, deadline, why);
        for (const QHostAddress& address : addresses) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(address, target.port);
            if (socket->waitForConnected(Remaining(deadline))) {
                socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                tcp_ = std::move(socket);
                device_ = tcp_.get();
                return true;
            }
            why = QStringLiteral("cannot connect to ") + target.host + QLatin1Char(':') +
                  QString::number(target.port) + QStringLiteral(": ") + socket->errorString();
            if (deadline.hasExpired())
                break;
        }
        return false;
    }

    bool IsOpen() const {
        if (local_)
            return local_->state() == QLocalSocket::ConnectedState;
        if (tcp_)
            return tcp_->state() == QAbstractSocket::ConnectedState;
        return false;
    }

    // Unread bytes on a connection that is between requests mean the stream is out of step.
    bool HasStrayBytes() const { return device_ && device_->bytesAvailable() > 0; }

    enum class Outcome { Answer, Failed, FailedBeforeAnswer };

    // Sends one command and waits for its whole answer.
    Outcome Exchange(const QByteArray& command, const QDeadlineTimer& deadline, QByteArray& answer,
                     QString& why) {
        const QByteArray line = hubwire::EncodeCommand(command);
        if (device_->write(line) != line.size()) {
            why = QStringLiteral("cannot send the request: ") + device_->errorString();
            return Outcome::FailedBeforeAnswer;
        }
        while (device_->bytesToWrite() > 0) {
            if (deadline.hasExpired() || !device_->waitForBytesWritten(Remaining(deadline))) {
                why = deadline.hasExpired()
                          ? TimeoutText()
                          : QStringLiteral("cannot send the request: ") + device_->errorString();
                return deadline.hasExpired() ? Outcome::Failed : Outcome::FailedBeforeAnswer;
            }
        }

        hubwire::AnswerDecoder decoder;
        for (;;) {
            if (device_->bytesAvailable() > 0) {
                const QByteArray chunk = device_->readAll();
                qsizetype used = 0;
                const auto status = decoder.Feed(chunk, &used);
                if (status == hubwire::AnswerDecoder::Status::Error) {
                    why = QStringLiteral("bad answer: ") + decoder.ErrorText();
                    return Outcome::Failed;
                }
                if (status == hubwire::AnswerDecoder::Status::Done) {
                    // Bytes after the answer were not asked for: drop the connection so the
                    // next request starts on a clean stream.
                    if (used < chunk.size())
                        Close();
                    answer = decoder.TakeBody();
                    return Outcome::Answer;
                }
                continue;
            }
            if (deadline.hasExpired()) {
                why = TimeoutText();
                return Outcome::Failed;
            }
            if (!device_->waitForReadyRead(Remaining(deadline))) {
                if (device_->bytesAvailable() > 0)
                    continue;
                if (deadline.hasExpired()) {
                    why = TimeoutText();
                    return Outcome::Failed;
                }
                why = (decoder.Started() ? QStringLiteral("connection lost in the middle of "
                                                          "the answer: ")
                                         : QStringLiteral("connection lost before the answer: ")) +
                      device_->errorString();
                return decoder.Started() ? Outcome::Failed : Outcome::FailedBeforeAnswer;
            }
        }
    }

    void Close() {
        if (local_)
            local_->abort();
        if (tcp_)
            tcp_->abort();
    }

private:
    static QString TimeoutText() { return QStringLiteral("no complete answer in time"); }

    QString key_;
    std::unique_ptr<QLocalSocket> local_;
    std::unique_ptr<QTcpSocket> tcp_;
    QIODevice* device_ = nullptr;
};

SVComSrvClass::SVComSrvClass() : SVComSrvClass(QLatin1String(hubreader::DefaultLocalName)) {}

SVComSrvClass::SVComSrvClass(const QString& localName) : localName_(localName) {}

SVComSrvClass::~SVComSrvClass() = default;

void SVComSrvClass::SetLocalName(const QString& name) {
    if (name == localName_)
        return;
    localName_ = name;
    if (connection_ && connection_->Key() == QLatin1String("HUB"))
        connection_.reset();
}

void SVComSrvClass::Explain(const QString& request, const QString& why) const {
    if (silent_)
        return;
    const QByteArray line =
        QStringLiteral("svcorblex hub reader: \"%1\" failed: %2\n").arg(request, why).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

QString SVComSrvClass::ReadInputFile(const QString& request) {
    const QDeadlineTimer deadline(std::max(0, timeoutMs_));
    QString why;
    const auto target = hubreader::ParseRequest(request, &why);
    if (!target) {
        Explain(request, why);
        return QString();
    }

    const QString key = target->ConnectionKey();
    if (connection_ &&
        (connection_->Key() != key || !connection_->IsOpen() || connection_->HasStrayBytes()))
        connection_.reset();

    // A kept connection may have died since the last request; that shows only now. One fresh
    // connection is tried when it failed before any byte of the answer arrived.
    bool reused = connection_ != nullptr;
    for (;;) {
        if (!connection_) {
            auto fresh = std::make_unique<Connection>(key);
            if (!fresh->Open(*target, localName_, deadline, why)) {
                Explain(request, why.isEmpty() ? QStringLiteral("no connection") : why);
                return QString();
            }
            connection_ = std::move(fresh);
        }
        QByteArray answer;
        const auto outcome = connection_->Exchange(target->command, deadline, answer, why);
        if (outcome == Connection::Outcome::Answer) {
            if (!connection_->IsOpen())
                connection_.reset();
            return QString::fromUtf8(answer);
        }
        connection_.reset();
        if (outcome == Connection::Outcome::FailedBeforeAnswer && reused &&
            !deadline.hasExpired()) {
            reused = false;
            continue;
        }
        Explain(request, why);
        return QString();
    }
}
