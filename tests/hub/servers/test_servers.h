#pragma once
// Real third-party servers for the hub's tests: the Mosquitto broker and a pymodbus device,
// each started on a free loopback port with generated configuration and stopped again.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace testservers {

// A loopback port nobody listens on right now.
inline quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

inline bool Accepts(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

inline QString Program(const QString& name) {
    return QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
}

inline QString Python() {
    return QStringLiteral("/usr/bin/python3");
}

// True when Debian's python has pymodbus.
inline bool HasPymodbus() {
    if (!QFile::exists(Python()))
        return false;
    QProcess probe;
    probe.start(Python(), {QStringLiteral("-c"), QStringLiteral("import pymodbus.server")});
    return probe.waitForFinished(20000) && probe.exitStatus() == QProcess::NormalExit &&
           probe.exitCode() == 0;
}

// A server process that listens on `port` once started.
class Server {
public:
    Server() = default;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() { Stop(); }

    quint16 port() const { return port_; }
    const QTemporaryDir& dir() const { return dir_; }

    // Starts `program` and waits until it accepts connections on port().
    bool Run(const QString& program, const QStringList& arguments) {
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(program, arguments);
        if (!process_.waitForStarted(10000)) {
            qWarning("%s does not start: %s", qPrintable(program),
                     qPrintable(process_.errorString()));
            return false;
        }
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired()) {
            if (process_.state() != QProcess::Running) {
                qWarning("%s", qPrintable(Output()));
                return false;
            }
            if (Accepts(port_))
                return true;
            process_.waitForReadyRead(100);
        }
        qWarning("%s does not listen on port %d: %s", qPrintable(program), port_,
                 qPrintable(Output()));
        return false;
    }

    // Stops it (SIGTERM, or SIGKILL when `hard`, as a device that dies).
    void Stop(bool hard = false) {
        if (process_.state() == QProcess::NotRunning)
            return;
        Thaw(); // a frozen server would not act on SIGTERM
        hard ? process_.kill() : process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
        }
    }

    // Freezes it (SIGSTOP): its connections stay open but nothing answers, as a hung device.
    void Freeze() { ::kill(pid_t(process_.processId()), SIGSTOP); }
    void Thaw() { ::kill(pid_t(process_.processId()), SIGCONT); }

    QString Output() { return QString::fromLocal8Bit(process_.readAll()); }

protected:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = FreePort();
};

class Mosquitto : public Server {
public:
    static QString Binary() { return Program(QStringLiteral("mosquitto")); }

    // Makes a certificate for 127.0.0.1 that is its own CA, and another CA that has signed
    // nothing; the next Start() then serves TLS only. Returns false when openssl fails.
    bool MakeTls() {
        for (const char* name : {"server", "other"}) {
            QProcess tool;
            tool.start(Program(QStringLiteral("openssl")),
                       {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", Path(name) + ".key", "-out", Path(name) + ".pem",
                        "-days", "2", "-subj", QStringLiteral("/CN=svc-test-%1").arg(name),
                        "-addext", "subjectAltName=IP:127.0.0.1"});
            if (!tool.waitForFinished(30000) || tool.exitCode() != 0)
                return false;
        }
        tls_ = true;
        return true;
    }
    QString CaFile() const { return Path("server.pem"); }
    // Another CA's certificate: a client that trusts only it must refuse the broker.
    QString OtherCaFile() const { return Path("other.pem"); }

    // Starts the broker; with a user, only that user and password may connect.
    bool Start(const QString& user = {}, const QString& password = {}) {
        QByteArray config = "listener " + QByteArray::number(port_) +
                            " 127.0.0.1\npersistence false\nlog_dest file " +
                            QFile::encodeName(LogPath()) +
                            "\n"
                            "log_type error\nlog_type warning\nlog_type notice\n"
                            "log_type information\nlog_type subscribe\n";
        // Run as root (as in CI), the broker would change to its own user, who cannot read
        // the files of this test.
        if (::geteuid() == 0)
            config += "user root\n";
        if (tls_)
            config += "cafile " + QFile::encodeName(CaFile()) + "\ncertfile " +
                      QFile::encodeName(CaFile()) + "\nkeyfile " +
                      QFile::encodeName(Path("server.key")) + "\n";
        if (user.isEmpty()) {
            config += "allow_anonymous true\n";
        } else {
            const QString passwords = dir_.filePath(QStringLiteral("passwords"));
            QProcess tool;
            tool.start(Program(QStringLiteral("mosquitto_passwd")),
                       {QStringLiteral("-c"), QStringLiteral("-b"), passwords, user, password});
            if (!tool.waitForFinished(20000) || tool.exitCode() != 0)
                return false;
            config += "allow_anonymous false\npassword_file " + QFile::encodeName(passwords) + '\n';
        }
        QFile file(dir_.filePath(QStringLiteral("mosquitto.conf")));
        if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
            return false;
        file.close();
        return Run(Binary(), {QStringLiteral("-c"), file.fileName()});
    }

    // The broker's log file; it logs each subscription as "CLIENT QOS TOPIC".
    QString LogPath() const { return dir_.filePath(QStringLiteral("mosquitto.log")); }
    QString Log() const {
        QFile file(LogPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // Publishes one message with the real command-line client.
    bool Publish(const QString& topic, const QByteArray& payload, bool retain = false,
                 const QStringList& extra = {}) {
        QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("-p"), QString::number(port_),
                              QStringLiteral("-t"), topic,
                              QStringLiteral("-m"), QString::fromUtf8(payload)};
        if (retain)
            arguments << QStringLiteral("-r");
        if (tls_)
            arguments << QStringLiteral("--cafile") << CaFile();
        QProcess client;
        client.start(Program(QStringLiteral("mosquitto_pub")), arguments + extra);
        return client.waitForFinished(20000) && client.exitStatus() == QProcess::NormalExit &&
               client.exitCode() == 0;
    }

private:
    QString Path(const char* name) const { return dir_.filePath(QLatin1String(name)); }
    bool tls_ = false;
};

class ModbusDevice : public Server {
public:
    // Starts a device holding `units` (see modbus_server.py for the shape).
    bool Start(const QVariantMap& units) {
        const QString contents = dir_.filePath(QStringLiteral("device.json"));
        QFile file(contents);
        const QByteArray json =
            QJsonDocument::fromVariant(QVariantMap{{QStringLiteral("units"), units}}).toJson();
        if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size())
            return false;
        file.close();
        return Run(Python(), {QStringLiteral(SVC_TEST_SERVERS_DIR "/modbus_server.py"),
                              QString::number(port_), contents});
    }
};

} // namespace testservers
