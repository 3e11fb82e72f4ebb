#pragma once
// Starts the real svcorblex-hub executable for a test: on a free TCP port and a local endpoint
// name of its own, and reads where it listens from its first line of output.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <functional>

#ifdef Q_OS_WIN
#include "hub/LocalEndpoint.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpSocket>
#include <qt_windows.h>

#include <memory>
#endif

// Writes a file the way an editor does: a new file renamed over the old one.
inline bool WriteFile(const QString& path, const QByteArray& text) {
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

// What starting a hub takes on every system: its program, a local endpoint name of its own and
// its command line.
class HubProcessBase {
public:
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

protected:
    // The program and arguments for `arguments` plus --port and --name: the test build when
    // the arguments hold a --fault option.
    static QStringList CommandLine(const QStringList& arguments, quint16 port,
                                   const QString& name) {
        const bool faults = std::any_of(arguments.begin(), arguments.end(), [](const QString& a) {
            return a.startsWith(QLatin1String("--fault"));
        });
        return QStringList{Executable(faults)} + arguments +
               QStringList{QStringLiteral("--port"), QString::number(port),
                           QStringLiteral("--name"), name};
    }
};

#ifdef Q_OS_WIN
// The file `windowsPath` as the Linux side names it (Wine's own translation).
inline QString UnixPath(const QString& windowsPath) {
    using Translate = char*(__cdecl*)(const wchar_t*);
    const auto translate = reinterpret_cast<Translate>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!translate)
        return QString();
    const std::wstring native = QDir::toNativeSeparators(windowsPath).toStdWString();
    char* unix = translate(native.c_str());
    if (!unix)
        return QString();
    const QString path = QFile::decodeName(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

// One argument of a Windows command line, quoted so that it reads back unchanged: blanks
// and quotes inside quotes, backslashes doubled where a quote follows them.
inline QString QuotedArgument(const QString& argument) {
    QString quoted = QStringLiteral("\"");
    qsizetype backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        quoted +=
            QString(c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes, QLatin1Char('\\'));
        backslashes = 0;
        quoted += c;
    }
    return quoted + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

// Starts a program of this computer's Linux side from under Wine, without waiting for it.
// Not through QProcess::startDetached: for a program that is no Windows program Wine hands
// back no process and thread handles, and QProcess closes what its structure held anyway,
// which can be handles of this process (its event dispatcher stops working then).
inline bool StartLinuxProgram(const QString& program, const QStringList& arguments) {
    QString line = QuotedArgument(QDir::toNativeSeparators(program));
    for (const QString& argument : arguments)
        line += QLatin1Char(' ') + QuotedArgument(argument);
    std::wstring commandLine = line.toStdWString();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started))
        return false;
    if (started.hThread)
        CloseHandle(started.hThread);
    if (started.hProcess)
        CloseHandle(started.hProcess);
    return true;
}

// Waits until `done` holds or `timeoutMs` have passed, polling: a Linux program under Wine
// can only be watched through its files. Like QProcess's waits, it does not run the event
// loop, so the test's program goes on only once the wait is over.
template <typename Done> bool WaitForFiles(Done done, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

// Runs a program of the Linux build (SVC_LINUX_BIN), or one of the system given by its
// absolute path, to its end through a shell, which keeps its output in a file (see
// HubProcess): its exit code (-1 when it did not end within 60 s) and its output.
struct LinuxRun {
    int exitCode = -1;
    QString output;
};
inline LinuxRun RunLinuxProgram(const QString& program, const QStringList& arguments) {
    static int counter = 0;
    const QString folder =
        qEnvironmentVariable("SVC_TEST_OUTPUT") +
        QStringLiteral("/linux-runs/%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
    const QString windows = QStringLiteral("Z:") + folder;
    QDir(windows).removeRecursively();
    QDir().mkpath(windows);
    LinuxRun run;
    const QString script = QStringLiteral("\"$@\" >\"$0/out\" 2>&1; echo $? >\"$0/status\"");
    if (!StartLinuxProgram(
            QStringLiteral("/bin/sh"),
            QStringList{QStringLiteral("-c"), script, folder,
                        program.startsWith(QLatin1Char('/'))
                            ? program
                            : qEnvironmentVariable("SVC_LINUX_BIN") + QLatin1Char('/') + program} +
                arguments))
        return run;
    QFile status(windows + QStringLiteral("/status"));
    if (!WaitForFiles([&] { return status.exists() && status.size() > 0; }, 60000) ||
        !status.open(QIODevice::ReadOnly))
        return run;
    run.exitCode = status.readAll().trimmed().toInt();
    QFile out(windows + QStringLiteral("/out"));
    if (out.open(QIODevice::ReadOnly))
        run.output = QString::fromUtf8(out.readAll());
    return run;
}

// Serves a local endpoint on Windows (a named pipe) for a hub that only Linux programs can
// reach that way: every connection to the pipe gets a TCP connection of its own to the hub,
// and bytes pass both ways unchanged until either side closes. It runs in the test's event
// loop, which the reader keeps running while it waits for an answer.
class PipeRelay {
public:
    bool Begin(const QString& name, quint16 port) {
        server_ = std::make_unique<QLocalServer>();
        QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this, port] {
            while (QLocalSocket* pipe = server_->nextPendingConnection()) {
                auto* tcp = new QTcpSocket(pipe);
                QObject::connect(pipe, &QIODevice::readyRead, tcp,
                                 [pipe, tcp] { tcp->write(pipe->readAll()); });
                QObject::connect(tcp, &QIODevice::readyRead, pipe,
                                 [pipe, tcp] { pipe->write(tcp->readAll()); });
                QObject::connect(tcp, &QTcpSocket::disconnected, pipe,
                                 &QLocalSocket::disconnectFromServer);
                QObject::connect(tcp, &QTcpSocket::errorOccurred, pipe,
                                 &QLocalSocket::disconnectFromServer);
                QObject::connect(pipe, &QLocalSocket::disconnected, pipe, &QObject::deleteLater);
                tcp->connectToHost(QStringLiteral("127.0.0.1"), port);
                // What the reader sent before the hub's side was up goes once it is.
                QObject::connect(tcp, &QTcpSocket::connected, pipe,
                                 [pipe, tcp] { tcp->write(pipe->readAll()); });
            }
        });
        return server_->listen(hubwire::LocalEndpoint(name));
    }
    void End() { server_.reset(); }

private:
    std::unique_ptr<QLocalServer> server_;
};

// Under Wine the hub is the Linux build's, which Wine runs as it is. Such a program keeps
// Wine's own standard streams, not a QProcess's pipes, and a Windows program cannot signal
// it; so a shell runs it, with its output in files beside its process id and, once it has
// ended, its exit status, and it is stopped with the system's kill. Its files lie in the test
// output, a folder both sides see (on the Windows side through the drive Z:). Its local
// endpoint is a Unix socket, which Windows programs cannot open; a relay serves the named pipe
// of the same name instead.
class HubProcess : public HubProcessBase {
public:
    // Longer than CTest lets a test run (300 s).
    static constexpr int LongestHubSeconds = 400;

    HubProcess() {
        static int counter = 0;
        const QString base = qEnvironmentVariable("SVC_TEST_OUTPUT") + QStringLiteral("/hubs/");
        folder_ = base + UniqueName() + QStringLiteral("-%1").arg(++counter);
        QDir().mkpath(Windows(folder_));
    }
    HubProcess(const HubProcess&) = delete;
    HubProcess& operator=(const HubProcess&) = delete;
    ~HubProcess() { Stop(); }

    bool Start(const QStringList& arguments = {}, quint16 port = 0, const QString& name = {}) {
        Stop();
        name_ = name.isEmpty() ? UniqueName() : name;
        for (const char* file : {"out", "err", "pid", "status"})
            QFile::remove(Windows(Path(file)));
        // The hub outlives a test that is killed (at its time-out, say): nothing here can see
        // the Windows test process end. So the shell also ends the hub once it has run longer
        // than any test may, with a watcher that goes when the hub does.
        const QString script =
            QStringLiteral("\"$@\" >\"$0/out\" 2>\"$0/err\" & h=$!; echo $h >\"$0/pid\"; "
                           "(timeout %1 tail --pid=$h -f /dev/null || kill -KILL $h) </dev/null "
                           ">/dev/null 2>&1 & "
                           "wait $h; echo $? >\"$0/status\"")
                .arg(LongestHubSeconds);
        if (!StartLinuxProgram(QStringLiteral("/bin/sh"),
                               QStringList{QStringLiteral("-c"), script, folder_} +
                                   CommandLine(arguments, port, name_)))
            return false;
        static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
        QRegularExpressionMatch match;
        const bool listening = WaitForFiles(
            [&] {
                const QString out = ReadFile("out");
                match = where.match(out.left(out.indexOf(QLatin1Char('\n'))));
                return match.hasMatch() || QFile::exists(Windows(Path("status")));
            },
            20000);
        if (!listening || !match.hasMatch())
            return false;
        port_ = quint16(match.captured(1).toUInt());
        return relay_.Begin(name_, port_);
    }

    QString WriteTags(const QByteArray& text) {
        const QString path = Path("plant.tags");
        return WriteFile(Windows(path), text) ? path : QString();
    }

    // Ends the hub (SIGTERM, after 10 s SIGKILL) and returns its exit code; -1 when it had to be
    // killed or ended by a signal.
    int Stop() {
        relay_.End();
        const QString pid = ReadFile("pid").trimmed();
        if (pid.isEmpty())
            return -1;
        const auto ended = [this] { return QFile::exists(Windows(Path("status"))); };
        if (!ended()) {
            StartLinuxProgram(QStringLiteral("/bin/kill"), {QStringLiteral("-TERM"), pid});
            if (!WaitForFiles(ended, 10000)) {
                StartLinuxProgram(QStringLiteral("/bin/kill"), {QStringLiteral("-KILL"), pid});
                (void)WaitForFiles(ended, 10000);
            }
        }
        QFile::remove(Windows(Path("pid")));
        bool ok = false;
        const int status = ReadFile("status").trimmed().toInt(&ok);
        return ok && status < 128 ? status : -1;
    }

    QString Log() { return ReadFile("err"); }

    qint64 pid() const { return ReadFile("pid").trimmed().toLongLong(); }
    quint16 port() const { return port_; }
    const QString& name() const { return name_; }
    QString TcpPrefix(const QString& host = QStringLiteral("127.0.0.1")) const {
        return QStringLiteral("TCP:%1:%2!").arg(host).arg(port_);
    }

private:
    // A path as the Linux side writes it, and as the Windows side opens it.
    QString Path(const char* file) const {
        return folder_ + QLatin1Char('/') + QLatin1String(file);
    }
    static QString Windows(const QString& path) { return QStringLiteral("Z:") + path; }
    QString ReadFile(const char* file) const {
        QFile f(Windows(Path(file)));
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }

    QString folder_;
    QString name_;
    quint16 port_ = 0;
    PipeRelay relay_;
};
#else
class HubProcess : public HubProcessBase {
public:
    HubProcess() = default;
    HubProcess(const HubProcess&) = delete;
    HubProcess& operator=(const HubProcess&) = delete;
    ~HubProcess() { Stop(); }

    // Starts the hub with `arguments` plus --port (0 unless given) and --name (a fresh one
    // unless given); the test build when the arguments hold a --fault option. Returns false when it
    // did not report where it listens within 20 s.
    bool Start(const QStringList& arguments = {}, quint16 port = 0, const QString& name = {}) {
        Stop();
        name_ = name.isEmpty() ? UniqueName() : name;
        QStringList command = CommandLine(arguments, port, name_);
        const QString program = command.takeFirst();
        process_.start(program, command);
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
#endif
