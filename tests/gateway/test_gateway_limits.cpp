// The demo hub under load and attack, with real sockets on loopback: a cap on clients, idle
// connections closed, clients that do not read their answers dropped, a listener that comes
// back after the descriptors ran out, and a local endpoint no other user can take first.

#include "base/Log.h"
#include "gateway/HubServer.h"
#include "hub/HubReader.h"
#include "hub/LocalEndpoint.h"
#include "hub/hub_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Sockets = std::vector<std::unique_ptr<QTcpSocket>>;

std::unique_ptr<QTcpSocket> Connect(quint16 port) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}

// `count` clients connected over TCP; fewer when one could not connect.
Sockets Connect(quint16 port, int count) {
    Sockets sockets;
    for (int i = 0; i < count; ++i) {
        sockets.push_back(Connect(port));
        if (!sockets.back())
            return {};
    }
    return sockets;
}

// True when the hub closes the connection within five seconds.
bool ClosedByHub(QTcpSocket& socket) {
    const auto closed = [&socket] { return socket.state() == QAbstractSocket::UnconnectedState; };
    return closed() || socket.waitForDisconnected(5000) || closed();
}

QString Ask(const QString& name, const QString& request, int timeoutMs = 5000) {
    SVComSrvClass reader(name);
    reader.SetSilent(true);
    reader.SetTimeoutMs(timeoutMs);
    return reader.ReadInputFile(request);
}

// Processor time the process has used so far, in seconds (user and system).
double CpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

// How much processor time was used in how much wall time, for a failure message.
QString Used(double cpu, const QElapsedTimer& wall) {
    return QStringLiteral("%1 s of processor time in %2 ms").arg(cpu).arg(wall.elapsed());
}

} // namespace

class TestGatewayLimits : public QObject {
    Q_OBJECT

private slots:
    void clientCapClosesNewcomersAndServesTheRest() {
        HubProcess hub;
        QVERIFY(hub.Start({QStringLiteral("--max-clients"), QStringLiteral("3")}));
        const Sockets held = Connect(hub.port(), 3);
        QCOMPARE(held.size(), size_t(3));
        QTRY_COMPARE(hub.Log().count(QStringLiteral(" connected (")), 3);

        // One more, on either transport, is closed at once instead of waiting to time out.
        const auto extra = Connect(hub.port());
        QVERIFY(extra);
        QVERIFY(ClosedByHub(*extra));
        QVERIFY(Ask(hub.name(), QStringLiteral("HUB:GETTAGS")).isEmpty());
        QTRY_VERIFY(hub.Log().contains(QStringLiteral("3 clients connected, the most allowed")));
        QCOMPARE(hub.Log().count(QStringLiteral("the most allowed")), 1); // said once

        // The clients it holds are served as before; when one leaves, a newcomer is served.
        held[0]->write("GETTAGS\n");
        QVERIFY(held[0]->waitForReadyRead(5000));
        held[1]->disconnectFromHost();
        QTRY_VERIFY(hub.Log().contains(QStringLiteral("accepting new clients again")));
        QVERIFY(!Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS")).isEmpty());
    }

    void requestLineMustEndInTime() {
        QStringList log;
        logging::SetSink([&log](logging::Level, const QString& line) { log << line; });
        const auto restore = qScopeGuard([] { logging::SetSink({}); });
        gateway::ServerOptions options;
        options.localName = HubProcess::UniqueName();
        options.port = 0;
        options.requestLineTimeoutMs = 600;
        gateway::HubServer server(options,
                                  [](const QByteArray& command) { return command.toLower(); });
        QString error;
        QVERIFY2(server.Start(&error), qPrintable(error));
        QTcpSocket trickler;
        QTcpSocket patient;
        trickler.connectToHost(QHostAddress::LocalHost, server.Port());
        patient.connectToHost(QHostAddress::LocalHost, server.Port());
        QTRY_COMPARE(trickler.state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE(patient.state(), QAbstractSocket::ConnectedState);

        // One sends a byte every 50 ms and never ends its line: each byte keeps it from being
        // idle, yet it is closed.
        QTimer drip;
        drip.setInterval(50);
        connect(&drip, &QTimer::timeout, &trickler, [&trickler] { trickler.write("G"); });
        drip.start();
        // The other takes 350 ms for each of two lines: more than the time-out in all, but
        // each line ends in time.
        patient.write("GETT");
        QTimer::singleShot(350, &patient, [&patient] { patient.write("AGS\nGET"); });
        QTimer::singleShot(700, &patient, [&patient] { patient.write("TAGS\n"); });

        QTRY_COMPARE_WITH_TIMEOUT(trickler.state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(log.filter(QStringLiteral("did not end its request line within 0.6 s")).size(), 1);
        QByteArray answers;
        QTRY_VERIFY((answers += patient.readAll()) == "7\ngettags7\ngettags");
        QCOMPARE(patient.state(), QAbstractSocket::ConnectedState);
    }

    void idleClientsAreClosed() {
        HubProcess hub;
        QVERIFY(hub.Start({QStringLiteral("--idle-timeout"), QStringLiteral("0.3")}));
        const auto idle = Connect(hub.port());
        QVERIFY(idle);
        QVERIFY(ClosedByHub(*idle));
        QTRY_VERIFY(hub.Log().contains(QStringLiteral("was idle for 0.3 s; closing")));
        // A client that asks is served; the hub still takes new clients.
        QVERIFY(!Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETVALUES")).isEmpty());
    }

    void clientsThatDoNotReadCannotDelayOthers() {
        HubProcess hub;
        QVERIFY(hub.Start());
        // Eight clients each send a flood of requests and never read an answer.
        const QByteArray flood = QByteArray("GETVALUES\n").repeated(20000);
        const Sockets greedy = Connect(hub.port(), 8);
        QCOMPARE(greedy.size(), size_t(8));
        for (const auto& socket : greedy) {
            socket->write(flood);
            socket->flush();
        }
        // A normal request meanwhile is answered within a second.
        QVERIFY(!Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 1000).isEmpty());
        for (const auto& socket : greedy)
            QVERIFY(ClosedByHub(*socket));
        QTRY_COMPARE(hub.Log().count(QStringLiteral("does not read its answers")), 8);
    }

    void fewDescriptorsLowerTheCapInsteadOfStoppingTheListener() {
        // Each client costs the hub a descriptor; with few of them, more clients than it may
        // hold must not stop its listeners (they used to stay dead or spin).
        HubProcess hub;
        hub.SetChildSetup([] {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 64;
            setrlimit(RLIMIT_NOFILE, &limit);
        });
        QVERIFY(hub.Start());
        const double cpuBefore = CpuSeconds(hub.pid());
        QElapsedTimer wall;
        wall.start();
        Sockets idle = Connect(hub.port(), 100);
        QCOMPARE(idle.size(), size_t(100));
        QLocalSocket local;
        local.connectToServer(hubwire::LocalEndpoint(hub.name()));
        // The ones past the cap are closed at once; the others are held.
        const auto closed = [&] {
            return std::count_if(idle.begin(), idle.end(), [](const auto& socket) {
                return socket->state() == QAbstractSocket::UnconnectedState;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(closed(), qsizetype(100 - 32), 10000);
        const double cpu = CpuSeconds(hub.pid()) - cpuBefore;
        QVERIFY2(cpu < 0.5 * double(wall.elapsed()) / 1000.0 + 0.5, qPrintable(Used(cpu, wall)));

        idle.clear();
        local.abort();
        QTRY_VERIFY_WITH_TIMEOUT(
            !Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 1000).isEmpty(), 10000);
        QVERIFY(!Ask(hub.name(), QStringLiteral("HUB:GETTAGS")).isEmpty());
        QVERIFY2(hub.Log().contains(QStringLiteral("at most 32 clients at once")) &&
                     !hub.Log().contains(QStringLiteral("cannot accept")),
                 qPrintable(hub.Log()));
    }

    void listenersComeBackAfterDescriptorsRanOut() {
        // Other files can use up the descriptors too. Here the hub's limit is lowered after
        // start, below what its clients hold, and raised again later: meanwhile it must retry
        // now and then without spinning, and serve on both transports once it can.
        HubProcess hub;
        QVERIFY(hub.Start({QStringLiteral("--max-clients"), QStringLiteral("200")}));
        const auto setLimit = [&](rlim_t files) {
            rlimit limit{};
            prlimit(pid_t(hub.pid()), RLIMIT_NOFILE, nullptr, &limit);
            limit.rlim_cur = files;
            return prlimit(pid_t(hub.pid()), RLIMIT_NOFILE, &limit, nullptr) == 0;
        };
        const auto raise = qScopeGuard([&] { setLimit(1024); });
        QVERIFY(setLimit(48));
        Sockets idle = Connect(hub.port(), 60);
        QCOMPARE(idle.size(), size_t(60));
        QLocalSocket local;
        local.connectToServer(hubwire::LocalEndpoint(hub.name()));
        // The hub says so, and tries again a second later.
        const QString failed = QStringLiteral("; trying again in 1 s");
        QTRY_VERIFY_WITH_TIMEOUT(hub.Log().count(failed) >= 2, 10000);
        const int before = int(hub.Log().count(failed));
        QElapsedTimer wall;
        wall.start();
        const double cpuBefore = CpuSeconds(hub.pid());
        QTRY_VERIFY_WITH_TIMEOUT(hub.Log().count(failed) >= before + 2, 10000);
        const double cpu = CpuSeconds(hub.pid()) - cpuBefore;
        QVERIFY2(cpu < 0.5 * double(wall.elapsed()) / 1000.0, qPrintable(Used(cpu, wall)));

        QVERIFY(setLimit(1024));
        QTRY_VERIFY2_WITH_TIMEOUT(
            !Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 1000).isEmpty(),
            qPrintable(hub.Log()), 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(!Ask(hub.name(), QStringLiteral("HUB:GETTAGS"), 1000).isEmpty(),
                                  qPrintable(hub.Log()), 10000);
        idle.clear();
    }

    void localEndpointIsPrivate_data() {
        // XDG_RUNTIME_DIR: "-" none, else a folder that is "private" (the user's, mode 0700),
        // "open" (0777), "group" (0770), "other" (another user's) or "link" (a link to a private
        // folder); only a private one is used, the others count as none.
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<QString>("squat");   // what another user left in the temporary folder
        QTest::addColumn<QString>("refusal"); // empty: the hub starts and the reader finds it
        const auto row = [](const char* name, const char* runtime, const char* squat,
                            const char* refusal) {
            QTest::newRow(name) << runtime << squat << refusal;
        };
        row("runtime folder", "private", "", "");
        row("runtime folder wins over a squatter", "private", "open", "");
        row("runtime folder open to others", "open", "", "");
        row("runtime folder open to its group", "group", "", "");
        row("runtime folder of another user", "other", "", "");
        row("runtime folder is a link", "link", "", "");
        row("runtime folder open to others, and a squatter", "open", "open",
            "is open to other users");
        row("private temporary folder", "-", "", "");
        row("temporary folder open to others", "-", "open", "is open to other users");
        row("temporary folder of another user", "-", "other", "belongs to another user");
    }
    void localEndpointIsPrivate() {
        QFETCH(QString, runtime);
        QFETCH(QString, squat);
        QFETCH(QString, refusal);
        if ((runtime == QLatin1String("other") || squat == QLatin1String("other")) &&
            ::geteuid() != 0)
            QSKIP("only the superuser can make a folder another user's");
        QTemporaryDir temp;
        const QString runtimeDir = temp.filePath(QStringLiteral("run"));
        if (runtime == QLatin1String("link")) {
            const QString real = temp.filePath(QStringLiteral("real"));
            QVERIFY(QDir().mkpath(real));
            QCOMPARE(::chmod(QFile::encodeName(real).constData(), 0700), 0);
            QVERIFY(QFile::link(real, runtimeDir));
        } else {
            QVERIFY(QDir().mkpath(runtimeDir));
            const QByteArray native = QFile::encodeName(runtimeDir);
            const mode_t mode = runtime == QLatin1String("open")    ? 0777
                                : runtime == QLatin1String("group") ? 0770
                                                                    : 0700;
            QCOMPARE(::chmod(native.constData(), mode), 0);
            if (runtime == QLatin1String("other"))
                QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
        }
        const QString tmp = temp.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(tmp));
        const QString folder = tmp + QStringLiteral("/svcorblex-%1").arg(::geteuid());
        if (!squat.isEmpty()) {
            const QByteArray native = QFile::encodeName(folder);
            QVERIFY(QDir().mkpath(folder));
            QCOMPARE(::chmod(native.constData(), squat == QLatin1String("open") ? 0777 : 0700), 0);
            if (squat == QLatin1String("other"))
                QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
        }
        // The hub and this process (the reader) look in the same place.
        const QByteArray oldTmp = qgetenv("TMPDIR");
        const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
        // An empty variable counts as none, so putting back an unset one as empty is harmless.
        qputenv("TMPDIR", QFile::encodeName(tmp));
        qputenv("XDG_RUNTIME_DIR",
                runtime == QLatin1String("-") ? QByteArray() : QFile::encodeName(runtimeDir));
        const auto restore = qScopeGuard([&] {
            qputenv("TMPDIR", oldTmp);
            qputenv("XDG_RUNTIME_DIR", oldRuntime);
        });

        const QString name = HubProcess::UniqueName();
        QString why;
        const QString path = hubwire::LocalEndpoint(name, &why);
        HubProcess hub;
        const bool started = hub.Start({}, 0, name);
        if (!refusal.isEmpty()) {
            QVERIFY(path.isEmpty());
            QVERIFY2(why.contains(refusal), qPrintable(why));
            QVERIFY(!started);
            QVERIFY2(hub.Log().contains(refusal), qPrintable(hub.Log()));
            QVERIFY(Ask(name, QStringLiteral("HUB:GETTAGS"), 1000).isEmpty());
            return;
        }
        QVERIFY2(started, qPrintable(hub.Log()));
        const bool inRuntime = runtime == QLatin1String("private");
        QCOMPARE(path, (inRuntime ? runtimeDir : folder) + QLatin1Char('/') + name);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0700u);
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(!Ask(name, QStringLiteral("HUB:GETTAGS")).isEmpty());
        // A full path is taken as it is.
        QCOMPARE(hubwire::LocalEndpoint(path), path);
    }
};

QTEST_GUILESS_MAIN(TestGatewayLimits)
#include "test_gateway_limits.moc"
