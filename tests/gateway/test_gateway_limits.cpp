// The demo hub under load and attack, with real sockets on loopback: a cap on clients at which a
// newcomer takes the place of the client of least use, request lines that must end in time, idle
// connections closed, clients that do not read their answers dropped, a listener that comes back
// after the descriptors ran out, and a local endpoint no other user can take first. Most run the
// real executable; the cases that need a shorter time-out or an answer of a given size run the
// server in this process.

#include "base/Log.h"
#include "gateway/HubServer.h"
#include "hub/Framing.h"
#include "hub/HubReader.h"
#include "hub/LocalEndpoint.h"
#include "support/HubProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>

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

// Sends `lines` on a connection kept open and returns the body of the first answer; empty
// when none came within five seconds. For a hub in another process: it blocks this one.
QByteArray AskOn(QTcpSocket& socket, const QByteArray& lines) {
    socket.write(lines);
    hubwire::AnswerDecoder decoder;
    const QDeadlineTimer deadline(5000);
    while (decoder.CurrentStatus() == hubwire::AnswerDecoder::Status::Incomplete) {
        if (socket.bytesAvailable() == 0 &&
            (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime()))))
            return {};
        decoder.Feed(socket.readAll());
    }
    return decoder.TakeBody();
}

QString Ask(const QString& name, const QString& request, int timeoutMs = 5000) {
    SVComSrvClass reader(name);
    reader.SetSilent(true);
    reader.SetTimeoutMs(timeoutMs);
    return reader.ReadInputFile(request);
}

} // namespace

class TestGatewayLimits : public QObject {
    Q_OBJECT

private slots:
    void clientCapMakesRoomForNewcomers() {
        // With --quiet, so the notices about the cap must show all the same.
        HubProcess hub;
        QVERIFY(hub.Start(
            {QStringLiteral("--max-clients"), QStringLiteral("3"), QStringLiteral("--quiet")}));
        // A wizard that keeps its connection and asks now and then, and two clients that
        // stopped in the middle of a request line.
        const Sockets held = Connect(hub.port(), 3);
        QCOMPARE(held.size(), size_t(3));
        QTcpSocket& wizard = *held[0];
        QVERIFY(!AskOn(wizard, "GETTAGS\n").isEmpty());
        QVERIFY(!AskOn(*held[1], "GETTAGS\nGETVAL").isEmpty());
        QVERIFY(!AskOn(*held[2], "GETTAGS\nGETV").isEmpty());

        // A newcomer is served in the place of the client whose line began first, and stays.
        const auto newcomer = Connect(hub.port());
        QVERIFY(newcomer);
        QVERIFY(!AskOn(*newcomer, "GETTAGS\n").isEmpty());
        QVERIFY(ClosedByHub(*held[1]));
        QVERIFY(!AskOn(wizard, "GETVALUES\n").isEmpty());
        // One on the local endpoint takes the place of the other.
        {
            SVComSrvClass reader(hub.name());
            QString a = reader.ReadInputFile(QStringLiteral("HUB:GETTAGS"));
            QVERIFY2(!a.isEmpty(), qPrintable(hub.Log()));
        }
        QVERIFY(ClosedByHub(*held[2]));

        // The clients that ask were never closed.
        QVERIFY(!AskOn(wizard, "GETVALUES\n").isEmpty());
        QVERIFY(!AskOn(*newcomer, "GETVALUES\n").isEmpty());
        QCOMPARE(wizard.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(newcomer->state(), QAbstractSocket::ConnectedState);
        // Reaching the cap is said once; leaving it once, when the local newcomer has left.
        QTRY_VERIFY2(hub.Log().contains(QStringLiteral("below the most allowed (3) again")),
                     qPrintable(hub.Log()));
        QCOMPARE(hub.Log().count(QStringLiteral("3 clients connected, the most allowed")), 1);
        QCOMPARE(hub.Log().count(QStringLiteral("below the most allowed")), 1);
        // Per-client lines are quiet.
        QVERIFY2(!hub.Log().contains(QRegularExpression(QStringLiteral("client \\d"))),
                 qPrintable(hub.Log()));
    }

    void clientsComingBackAtTheCapCannotKeepTheHubBusy() {
        // Clients that come straight back each time they are closed, and each start a line
        // they never end: at the cap every one of them takes the place of another.
        HubProcess hub;
        QVERIFY(hub.Start({QStringLiteral("--max-clients"), QStringLiteral("3")}));
        const auto wizard = Connect(hub.port());
        QVERIFY(wizard);
        QVERIFY(!AskOn(*wizard, "GETTAGS\n").isEmpty());
        int closed = 0;
        std::vector<std::unique_ptr<QTcpSocket>> attackers;
        const quint16 port = hub.port();
        for (int i = 0; i < 6; ++i) {
            auto* socket = attackers.emplace_back(std::make_unique<QTcpSocket>()).get();
            connect(socket, &QTcpSocket::connected, socket, [socket] { socket->write("G"); });
            connect(socket, &QTcpSocket::stateChanged, socket, [=, &closed](auto state) {
                if (state != QAbstractSocket::UnconnectedState)
                    return;
                ++closed;
                QMetaObject::invokeMethod(
                    socket, [=] { socket->connectToHost(QHostAddress::LocalHost, port); },
                    Qt::QueuedConnection);
            });
            socket->connectToHost(QHostAddress::LocalHost, port);
        }
        // New clients at the cap take the place of others, again and again. How fast they are
        // closed and how much processor time the hub spends meanwhile are measured by
        // bench_gateway_attack (gateway_attack_slowloris_closed_rate, _hub_cpu).
        QTRY_VERIFY_WITH_TIMEOUT(closed >= 150, 30000);
        // Meanwhile the wizard keeps its place and is answered, and a newcomer is served.
        QVERIFY(!AskOn(*wizard, "GETVALUES\n").isEmpty());
        QCOMPARE(wizard->state(), QAbstractSocket::ConnectedState);
        QVERIFY(!Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS")).isEmpty());
        for (const auto& socket : attackers)
            socket->disconnect();
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

    void placesBusySendingAnAnswerAreNotTaken() {
        QStringList log;
        logging::SetSink([&log](logging::Level, const QString& line) { log << line; });
        const auto restore = qScopeGuard([] { logging::SetSink({}); });
        gateway::ServerOptions options;
        options.localName = HubProcess::UniqueName();
        options.port = 0;
        options.maxClients = 2;
        // Far more than the system's socket buffers hold.
        const QByteArray big(qsizetype(32) * 1024 * 1024, 'x');
        gateway::HubServer server(options, [&big](const QByteArray& command) {
            return command == "BIG" ? big : command.toLower();
        });
        QString error;
        QVERIFY2(server.Start(&error), qPrintable(error));
        const auto connectTo = [&server] {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, server.Port());
            return socket;
        };

        // Two clients ask for a big answer and take only its start for now.
        const auto first = connectTo();
        const auto second = connectTo();
        for (const auto& socket : {first.get(), second.get()}) {
            QTRY_COMPARE(socket->state(), QAbstractSocket::ConnectedState);
            socket->setReadBufferSize(1024);
            socket->write("BIG\n");
        }
        QTRY_VERIFY(first->bytesAvailable() > 0 && second->bytesAvailable() > 0);

        // Their places are not taken: a newcomer is closed at once instead.
        const auto refused = connectTo();
        refused->write("GETTAGS\n");
        QTRY_COMPARE_WITH_TIMEOUT(refused->state(), QAbstractSocket::UnconnectedState, 5000);
        QCOMPARE(refused->bytesAvailable(), 0);
        QCOMPARE(log.filter(QStringLiteral("every place is busy sending an answer")).size(), 1);
        QCOMPARE(server.ClientCount(), 2);

        // Once the first has its whole answer, a newcomer takes its place.
        first->setReadBufferSize(0);
        qint64 received = 0;
        const qint64 whole = hubwire::EncodeAnswer(big).size();
        QTRY_VERIFY_WITH_TIMEOUT((received += first->readAll().size()) == whole, 20000);
        const auto newcomer = connectTo();
        newcomer->write("GETTAGS\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += newcomer->readAll()) == "7\ngettags", 5000);
        QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(second->state(), QAbstractSocket::ConnectedState);
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
        Sockets idle = Connect(hub.port(), 100);
        QCOMPARE(idle.size(), size_t(100));
        QLocalSocket local;
        local.connectToServer(hubwire::LocalEndpoint(hub.name()));
        // Each one past the cap is closed, or a client before it in its place; the others
        // are held.
        const auto closed = [&] {
            return std::count_if(idle.begin(), idle.end(),
                                 [](const auto& socket) {
                                     return socket->state() == QAbstractSocket::UnconnectedState;
                                 }) +
                   (local.state() == QLocalSocket::UnconnectedState ? 1 : 0);
        };
        // How much processor time the hub spends meanwhile (it must not spin) is measured by
        // bench_gateway_attack (gateway_attack_few_descriptors_hub_cpu).
        QTRY_COMPARE_WITH_TIMEOUT(closed(), qsizetype(101 - 32), 10000);

        idle.clear();
        local.abort();
        QTRY_VERIFY_WITH_TIMEOUT(
            !Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 1000).isEmpty(), 10000);
        QVERIFY(!Ask(hub.name(), QStringLiteral("HUB:GETTAGS")).isEmpty());
        QVERIFY2(hub.Log().contains(QStringLiteral("at most 32 clients at once")) &&
                     !hub.Log().contains(QStringLiteral("new connections wait")),
                 qPrintable(hub.Log()));
    }

    void listenersComeBackAfterDescriptorsRanOut_data() {
        // Which transport's clients use up the descriptors (the listener that meets the end
        // first), and whether they leave while there are none or only once there are again.
        QTest::addColumn<bool>("local");
        QTest::addColumn<bool>("leaveWhileOut");
        QTest::newRow("tcp clients stay") << false << false;
        QTest::newRow("tcp clients leave while out") << false << true;
        QTest::newRow("local clients stay") << true << false;
        QTest::newRow("local clients leave while out") << true << true;
    }
    void listenersComeBackAfterDescriptorsRanOut() {
        // Other files can use up the descriptors too. Here the hub's limit is lowered after
        // start, below what its clients hold, and raised again later: meanwhile it must retry
        // now and then without spinning, and serve on both transports once it can.
        QFETCH(bool, local);
        QFETCH(bool, leaveWhileOut);
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
        // Clients of one transport, then one of the other.
        std::vector<std::unique_ptr<QIODevice>> idle;
        const auto connectLocal = [&] {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(hubwire::LocalEndpoint(hub.name()));
            idle.push_back(std::move(socket));
        };
        for (int i = 0; i < 60; ++i) {
            if (local)
                connectLocal();
            else
                idle.push_back(Connect(hub.port()));
        }
        if (local)
            idle.push_back(Connect(hub.port()));
        else
            connectLocal();
        // The hub says so once and holds new connections back: a TCP client waits, unserved,
        // while the hub checks again each second without a line each time.
        const QString waiting = QStringLiteral("new connections wait until file descriptors are");
        QTRY_VERIFY2_WITH_TIMEOUT(hub.Log().contains(waiting), qPrintable(hub.Log().right(800)),
                                  10000);
        QVERIFY(Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 2500).isEmpty());
        // Its processor use meanwhile (it must not spin) is measured by bench_gateway_attack
        // (gateway_attack_starved_hub_cpu).

        // The hub sees its clients go while it has no descriptor to spare; it must carry on.
        if (leaveWhileOut) {
            idle.clear();
            // Every client it took sees its client leave.
            const auto allGone = [&hub] {
                const QString log = hub.Log();
                return log.count(QStringLiteral(" disconnected")) >=
                       log.count(QStringLiteral(" connected ("));
            };
            QTRY_VERIFY2_WITH_TIMEOUT(allGone(), qPrintable(hub.Log().right(800)), 10000);
        }
        QVERIFY(setLimit(1024));
        QTRY_VERIFY2_WITH_TIMEOUT(
            !Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS"), 1000).isEmpty(),
            qPrintable(hub.Log()), 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(!Ask(hub.name(), QStringLiteral("HUB:GETTAGS"), 1000).isEmpty(),
                                  qPrintable(hub.Log()), 10000);
        // Clients one after another: each time the hub has taken every waiting connection it
        // goes on taking new ones, without a line and without waiting for its next check.
        for (int i = 0; i < 3; ++i)
            QVERIFY(!Ask(hub.name(), hub.TcpPrefix() + QStringLiteral("GETTAGS")).isEmpty());
        // Running out and coming back are one line each.
        const QString states =
            hub.Log().remove(QRegularExpression(QStringLiteral("[^\n]*client [^\n]*\n")));
        QVERIFY2(states.count(waiting) == 1 &&
                     states.count(QStringLiteral("accepting connections again")) == 1,
                 qPrintable(states));
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
