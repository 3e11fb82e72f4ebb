#pragma once
// Pieces the benchmarks that run servers share (the hub, a broker, a device, a peer): free
// ports, files, waiting for a port, a process's processor time and memory from /proc, and a
// child process that ends with the benchmark. Linux only, like those benchmarks.

#include "ProcessMemory.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace bench {

inline quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

inline bool WriteFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Waits until `process` accepts connections on `port` of 127.0.0.1 (20 s at most); false when
// it ended or did not in time.
inline bool WaitForPort(quint16 port, QProcess& process) {
    const QDeadlineTimer deadline(20000);
    process.waitForStarted(10000);
    while (!deadline.hasExpired() && process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(50);
    }
    return false;
}

// Processor time a process has used so far, in seconds, from /proc/PID/stat; -1 each when it
// cannot be read (the process has gone).
struct CpuTime {
    double user = -1;
    double system = -1;
    double Total() const { return user + system; }
};

inline CpuTime ProcessCpu(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return {};
    const auto tick = double(::sysconf(_SC_CLK_TCK));
    return {double(fields[11].toLongLong()) / tick, double(fields[12].toLongLong()) / tick};
}

// User and system processor seconds together; -1 when they cannot be read.
inline double ProcessCpuSeconds(qint64 pid) {
    const CpuTime cpu = ProcessCpu(pid);
    return cpu.user < 0 ? -1 : cpu.Total();
}

// Ends `process`: SIGTERM, then SIGKILL after 10 s.
inline void StopProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// A server process of a benchmark. It is told to end should the benchmark die first, and is
// stopped (StopProcess) when this object goes.
class Child {
public:
    Child() {
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    virtual ~Child() { Stop(); }

    // Starts the program with at most `files` open files (call before starting it).
    void LimitFiles(rlim_t files) {
        process_.setChildProcessModifier([files] {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = files;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
    }
    // Changes the running program's limit of open files.
    bool SetFileLimit(rlim_t files) const {
        rlimit limit{};
        if (::prlimit(pid_t(pid()), RLIMIT_NOFILE, nullptr, &limit) != 0)
            return false;
        limit.rlim_cur = files;
        return ::prlimit(pid_t(pid()), RLIMIT_NOFILE, &limit, nullptr) == 0;
    }

    QProcess& process() { return process_; }
    qint64 pid() const { return process_.processId(); }
    bool Running() const { return process_.state() == QProcess::Running; }
    void Stop() { StopProcess(process_); }

private:
    QProcess process_;
};

// A Mosquitto broker of the machine on a free loopback port, anonymous and without
// persistence, logging errors only, with `extraConfig` lines added.
class Broker : public Child {
public:
    // False, with `why` set, when it is not installed or did not start.
    bool Start(const QTemporaryDir& dir, const QByteArray& extraConfig, QString* why) {
        const QString program = QStandardPaths::findExecutable(
            QStringLiteral("mosquitto"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
        if (program.isEmpty()) {
            *why = QStringLiteral("mosquitto is not installed (scripts/deps.sh)");
            return false;
        }
        port_ = FreePort();
        QByteArray config = "listener " + QByteArray::number(port_) +
                            " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                            "log_dest stderr\nlog_type error\n" +
                            extraConfig;
        // Run as root, the broker would change to its own user otherwise.
        if (::geteuid() == 0)
            config += "user root\n";
        const QString path = dir.filePath(QStringLiteral("mosquitto-%1.conf").arg(port_));
        if (!WriteFile(path, config)) {
            *why = QStringLiteral("cannot write ") + path;
            return false;
        }
        process().start(program, {QStringLiteral("-c"), path});
        if (WaitForPort(port_, process()))
            return true;
        *why = QStringLiteral("mosquitto did not start");
        return false;
    }
    quint16 port() const { return port_; }

private:
    quint16 port_ = 0;
};

} // namespace bench
