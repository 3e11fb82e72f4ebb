#pragma once
// Real third-party servers for the hub's tests: the Mosquitto broker and a pymodbus device,
// each started on a free loopback port with generated configuration and stopped again.

#include "support/HubProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

// Skips a test whose server is not installed.
#define REQUIRE_PROGRAM(found, what)                                                               \
    if (!(found))                                                                                  \
    QSKIP(what " is not installed (scripts/deps.sh installs it)")

namespace testservers {

// A loopback port nobody listens on right now.
inline quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

inline QString Program(const QString& name) {
    return QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
}

// Runs a command-line tool to its end; true when it succeeded.
inline bool RunTool(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.start(program, arguments);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

inline const QString Python = QStringLiteral("/usr/bin/python3");

// True when Debian's python has pymodbus.
inline bool HasPymodbus() {
    return RunTool(Python, {QStringLiteral("-c"), QStringLiteral("import pymodbus.server")});
}

// A server process that listens on `port` once started.
class Server {
public:
    Server() = default;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() { Stop(); }

    quint16 port() const { return port_; }

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
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port_);
            if (probe.waitForConnected(200))
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

    // Makes a certificate for 127.0.0.1 that is its own CA, another CA that has signed
    // nothing, and a client certificate the first one signed; the next Start() then serves
    // TLS only. Returns false when openssl fails.
    bool MakeTls() {
        for (const char* name : {"server", "other"}) {
            if (!RunTool(Program(QStringLiteral("openssl")),
                         {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                          "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", Path(name) + ".key",
                          "-out", Path(name) + ".pem", "-days", "2", "-subj",
                          QStringLiteral("/CN=svc-test-%1").arg(name), "-addext",
                          "subjectAltName=IP:127.0.0.1"}))
                return false;
        }
        // A client's certificate, signed by the broker's CA.
        const QString openssl = Program(QStringLiteral("openssl"));
        if (!RunTool(openssl, {"req", "-new", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", ClientKeyFile(),
                               "-out", Path("client.csr"), "-subj", "/CN=svc-test-client"}) ||
            !RunTool(openssl, {"x509", "-req", "-in", Path("client.csr"), "-CA", CaFile(), "-CAkey",
                               Path("server.key"), "-CAcreateserial", "-out", ClientCertFile(),
                               "-days", "2"}))
            return false;
        tls_ = true;
        return true;
    }
    // The next Start() takes only TLS clients with a certificate its CA signed, and Publish
    // shows ClientCertFile().
    void RequireCertificate(bool on) { requireCertificate_ = on; }
    QString ClientCertFile() const { return Path("client.pem"); }
    QString ClientKeyFile() const { return Path("client.key"); }
    // Whether the next Start() serves TLS, once MakeTls has made the certificates.
    void ServeTls(bool on) { tls_ = on; }
    QString CaFile() const { return Path("server.pem"); }
    // Another CA's certificate: a client that trusts only it must refuse the broker.
    QString OtherCaFile() const { return Path("other.pem"); }

    // Mosquitto's plugin that can refuse subscriptions (its acl_file never does).
    static QString DynamicSecurityPlugin() {
        const QString path =
            QStringLiteral("/usr/lib/x86_64-linux-gnu/mosquitto_dynamic_security.so");
        return QFile::exists(path) ? path : QString();
    }
    // From the next Start(), anonymous clients may not subscribe to these topics: the broker
    // answers each such subscription with "refused" (0x80), through DynamicSecurityPlugin().
    void DenySubscriptions(const QStringList& topics) { denied_ = topics; }

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
        if (tls_ && requireCertificate_)
            config += "require_certificate true\n";
        if (user.isEmpty()) {
            config += "allow_anonymous true\n";
        } else {
            const QString passwords = dir_.filePath(QStringLiteral("passwords"));
            if (!RunTool(Program(QStringLiteral("mosquitto_passwd")),
                         {QStringLiteral("-c"), QStringLiteral("-b"), passwords, user, password}))
                return false;
            config += "allow_anonymous false\npassword_file " + QFile::encodeName(passwords) + '\n';
        }
        if (!denied_.isEmpty()) {
            QVariantList acls;
            for (const QString& topic : denied_)
                acls << QVariantMap{
                    {"acltype", "subscribeLiteral"}, {"topic", topic}, {"allow", false}};
            const QVariantMap access{{"publishClientSend", true},
                                     {"publishClientReceive", true},
                                     {"subscribe", true},
                                     {"unsubscribe", true}};
            const QVariantMap security{
                {"defaultACLAccess", access},
                {"clients", QVariantList()},
                {"groups", QVariantList{QVariantMap{
                               {"groupname", "anonymous"},
                               {"roles", QVariantList{QVariantMap{{"rolename", "guard"}}}}}}},
                {"roles", QVariantList{QVariantMap{{"rolename", "guard"}, {"acls", acls}}}},
                {"anonymousGroup", "anonymous"}};
            const QString file = dir_.filePath(QStringLiteral("security.json"));
            if (!WriteFile(file, QJsonDocument::fromVariant(security).toJson()))
                return false;
            config += "plugin " + QFile::encodeName(DynamicSecurityPlugin()) +
                      "\nplugin_opt_config_file " + QFile::encodeName(file) + '\n';
        }
        const QString path = dir_.filePath(QStringLiteral("mosquitto.conf"));
        return WriteFile(path, config) && Run(Binary(), {QStringLiteral("-c"), path});
    }

    // The broker's log file; it logs each subscription as "CLIENT QOS TOPIC".
    QString LogPath() const { return dir_.filePath(QStringLiteral("mosquitto.log")); }
    QString Log() const {
        QFile file(LogPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // Publishes one message with the real command-line client. The payload goes through a
    // file, so it may be of any size and hold any bytes.
    bool Publish(const QString& topic, const QByteArray& payload, bool retain = false,
                 const QStringList& extra = {}) {
        const QString file = dir_.filePath(QStringLiteral("payload"));
        if (!WriteFile(file, payload))
            return false;
        QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("-p"), QString::number(port_),
                              QStringLiteral("-t"), topic,
                              QStringLiteral("-f"), file};
        if (retain)
            arguments << QStringLiteral("-r");
        if (tls_)
            arguments << QStringLiteral("--cafile") << CaFile();
        if (tls_ && requireCertificate_)
            arguments << QStringLiteral("--cert") << ClientCertFile() << QStringLiteral("--key")
                      << ClientKeyFile();
        return RunTool(Program(QStringLiteral("mosquitto_pub")), arguments + extra);
    }

private:
    QString Path(const char* name) const { return dir_.filePath(QLatin1String(name)); }
    bool tls_ = false;
    bool requireCertificate_ = false;
    QStringList denied_;
};

class ModbusDevice : public Server {
public:
    // Starts a device holding `units` (see modbus_server.py for the shape); `how` adds the
    // keys that serve a serial port or record the requests.
    bool Start(const QVariantMap& units, QVariantMap how = {}) {
        const QString contents = dir_.filePath(QStringLiteral("device.json"));
        how.insert(QStringLiteral("units"), units);
        return WriteFile(contents, QJsonDocument::fromVariant(how).toJson()) &&
               Run(Python, {QStringLiteral(SVC_TEST_SERVERS_DIR "/modbus_server.py"),
                            QString::number(port_), contents});
    }

    // Starts a device behind a recorder that holds each answer `delaySeconds`; Stats() then
    // tells how the device was asked.
    bool StartRecorded(const QVariantMap& units, double delaySeconds) {
        return Start(units, {{QStringLiteral("watch"), StatsPath()},
                             {QStringLiteral("delay"), delaySeconds}});
    }
    QVariantMap Stats() const {
        QFile file(StatsPath());
        return file.open(QIODevice::ReadOnly)
                   ? QJsonDocument::fromJson(file.readAll()).toVariant().toMap()
                   : QVariantMap();
    }

private:
    QString StatsPath() const { return dir_.filePath(QStringLiteral("stats.json")); }
};

// Two connected pseudo-terminals made by socat: a serial line between the hub and a device.
class SerialLine {
public:
    static QString Binary() { return Program(QStringLiteral("socat")); }
    SerialLine() = default;
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;
    ~SerialLine() {
        if (socat_.state() != QProcess::NotRunning) {
            socat_.terminate();
            if (!socat_.waitForFinished(10000)) {
                socat_.kill();
                socat_.waitForFinished(10000);
            }
        }
    }

    // The two ends, links to fresh /dev/pts entries.
    QString HubEnd() const { return dir_.filePath(QStringLiteral("hub")); }
    QString DeviceEnd() const { return dir_.filePath(QStringLiteral("device")); }

    // Starts socat; true once both ends exist.
    bool Start() {
        socat_.setProcessChannelMode(QProcess::MergedChannels);
        socat_.start(Binary(), {QStringLiteral("-d"), QStringLiteral("-d"),
                                QStringLiteral("pty,raw,echo=0,link=") + HubEnd(),
                                QStringLiteral("pty,raw,echo=0,link=") + DeviceEnd()});
        if (!socat_.waitForStarted(10000))
            return false;
        // socat says "starting data transfer loop" once both ends are made.
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && socat_.state() == QProcess::Running) {
            output_ += socat_.readAll();
            if (output_.contains("starting data transfer loop"))
                return QFile::exists(HubEnd()) && QFile::exists(DeviceEnd());
            socat_.waitForReadyRead(200);
        }
        qWarning("socat: %s", output_.constData());
        return false;
    }

private:
    QTemporaryDir dir_;
    QProcess socat_;
    QByteArray output_;
};

} // namespace testservers
