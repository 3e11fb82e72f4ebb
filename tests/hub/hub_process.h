#pragma once
// Starts the real svcorblex-hub executable for a test: on a free TCP port and a local endpoint
// name of its own, and reads where it listens from its first line of output.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>

// Writes a file the way an editor does: a new file renamed over the old one.
inline bool WriteFile(const QString& path, const QByteArray& text) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

class HubProcess {
public:
    HubProcess() = default;
    HubProcess(const HubProcess&) = delete;
    HubProcess& operator=(const HubProcess&) = delete;
    ~HubProcess() { Stop(); }

    // The hub users install; with `faults`, the test build that can also misbehave on purpose.
    // The hub is a Linux program: under Wine the Windows tests start the Linux build's, which
    // Wine runs as it is (SVC_LINUX_BIN).
    static QString Executable(bool faults = false) {
#ifdef Q_OS_WIN
        const QString folder = qEnvironmentVariable("SVC_LINUX_BIN");
#else
        const QString folder = QCoreApplication::applicationDirPath();
#endif
        return folder + (faults ? QStringLiteral("/svcorblex-hub-faults")
                                : QStringLiteral("/svcorblex-hub"));
    }

    // A process id alone is not unique enough: under Wine it is Wine's own, small and soon
    // used again, while the socket files of the Linux hubs it starts stay in one folder.
    static QString UniqueName() {
        static int counter = 0;
        static const quint32 run = QRandomGenerator::system()->generate();
        return QStringLiteral("svc-test-%1-%2-%3")
            .arg(QCoreApplication::applicationPid())
            .arg(run, 8, 16, QLatin1Char('0'))
            .arg(++counter);
    }

    // Starts the hub with `arguments` plus --port (0 unless given) and --name (a fresh one
    // unless given); the test build when the arguments hold a --fault option. Returns false when it
    // did not report where it listens within 20 s.
    bool Start(const QStringList& arguments = {}, quint16 port = 0, const QString& name = {}) {
        Stop();
        name_ = name.isEmpty() ? UniqueName() : name;
        QStringList all = arguments;
        all << QStringLiteral("--port") << QString::number(port) << QStringLiteral("--name")
            << name_;
        const bool faults = std::any_of(arguments.begin(), arguments.end(), [](const QString& a) {
            return a.startsWith(QLatin1String("--fault"));
        });
        process_.start(Executable(faults), all);
        if (!process_.waitForStarted(20000))
            return false;
        QByteArray out;
        const QDeadlineTimer deadline(20000);
        while (!out.contains('\n') && !deadline.hasExpired()) {
            if (!process_.waitForReadyRead(int(deadline.remainingTime())))
                break;
            out += process_.readAllStandardOutput();
        }
        const QString firstLine = QString::fromLocal8Bit(out.left(out.indexOf('\n')));
        static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
        const auto match = where.match(firstLine);
        if (!match.hasMatch())
            return false;
        port_ = quint16(match.captured(1).toUInt());
        return true;
    }

    // Writes `text` to a tag file of this hub's own and returns its path ("" when it cannot
    // be written); written again while the hub runs, the hub reloads it.
    QString WriteTags(const QByteArray& text) {
        const QString path = tagDir_.filePath(QStringLiteral("plant.tags"));
        return WriteFile(path, text) ? path : QString();
    }

    // Ends the hub the way a user would (SIGTERM) and returns its exit code.
    int Stop() {
        if (process_.state() == QProcess::NotRunning)
            return process_.exitCode();
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
            return -1;
        }
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    QString Log() {
        log_ += QString::fromLocal8Bit(process_.readAllStandardError());
        return log_;
    }

#ifdef Q_OS_UNIX
    // Runs in the hub's process before it starts (limits, signals); set before Start.
    void SetChildSetup(std::function<void()> setup) {
        process_.setChildProcessModifier(std::move(setup));
    }
#endif
    qint64 pid() const {
        return process_.processId();
    }
    quint16 port() const {
        return port_;
    }
    const QString& name() const {
        return name_;
    }
    QString TcpPrefix(const QString& host = QStringLiteral("127.0.0.1")) const {
        return QStringLiteral("TCP:%1:%2!").arg(host).arg(port_);
    }

private:
    QTemporaryDir tagDir_;
    QProcess process_;
    QString name_;
    QString log_;
    quint16 port_ = 0;
};
