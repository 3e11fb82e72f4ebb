// The hub reader: request parsing, the real demo hub on both transports, and hubs that
// misbehave (a fake server that answers exactly what a test tells it).

#include "hub/HubReader.h"
#include "hub/LocalEndpoint.h"
#include "support/HubProcess.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>

namespace {

// A hub that answers every command line with `reply` (nothing at all when reply is null) and
// then closes the connection if asked, on TCP and on a local endpoint. It serves from the
// test's event loop, which the reader keeps running while it waits.
class FakeHub {
public:
    FakeHub(QByteArray reply, bool closeAfter)
        : reply_(std::move(reply)), closeAfter_(closeAfter), name_(HubProcess::UniqueName()) {
        Accept(tcp_, &QTcpSocket::disconnectFromHost);
        Accept(local_, &QLocalSocket::disconnectFromServer);
    }

    bool Begin() {
        return tcp_.listen(QHostAddress::LocalHost, 0) &&
               local_.listen(hubwire::LocalEndpoint(name_));
    }
    quint16 port() const { return tcp_.serverPort(); }
    // A GETTAGS request to this hub over TCP or its local endpoint.
    QString GetTags(bool tcp = true) const {
        return (tcp ? QStringLiteral("TCP:127.0.0.1:%1!").arg(port()) : QStringLiteral("HUB:")) +
               QStringLiteral("GETTAGS");
    }
    const QString& name() const { return name_; }
    // Sends `bytes` on every connection still open, unasked.
    void SendToAll(const QByteArray& bytes) {
        for (QIODevice* socket : sockets_)
            if (socket && socket->isOpen())
                socket->write(bytes);
    }
    int connections() const { return connections_; }
    // Connections the hub has closed completely.
    int closed() const { return closed_; }

private:
    template <typename Server, typename Socket>
    void Accept(Server& server, void (Socket::*close)()) {
        QObject::connect(&server, &Server::newConnection, &server, [this, &server, close] {
            while (Socket* socket = server.nextPendingConnection()) {
                ++connections_;
                sockets_.push_back(socket);
                QObject::connect(socket, &Socket::disconnected, [this] { ++closed_; });
                QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket, close] {
                    while (socket->canReadLine()) {
                        socket->readLine();
                        if (reply_.isNull())
                            continue;
                        socket->write(reply_);
                        if (closeAfter_)
                            (socket->*close)();
                    }
                });
            }
        });
    }

    QByteArray reply_;
    bool closeAfter_;
    QString name_;
    int connections_ = 0;
    int closed_ = 0;
    std::vector<QPointer<QIODevice>> sockets_;
    QTcpServer tcp_;
    QLocalServer local_;
};

} // namespace

class TestHubReader : public QObject {
    Q_OBJECT

private slots:
    void parseRequest_data();
    void parseRequest();

    void brokenHubs_data();
    void brokenHubs();
    void nothingListening();
    void waitingKeepsEventsRunning();
    void abandonEndsTheRequest_data();
    void abandonEndsTheRequest();

    void switchesBetweenEndpoints();
    void requestTool();
};

void TestHubReader::parseRequest_data() {
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("host"); // empty: the local endpoint
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("command"); // empty: the request is refused
    const auto valid = [](const char* name, const char* request, const char* host, int port,
                          const char* command) {
        QTest::newRow(name) << QString::fromUtf8(request) << QString::fromUtf8(host) << port
                            << QByteArray(command);
    };
    valid("local", "HUB:GETTAGS", "", 0, "GETTAGS");
    valid("IPv4", "TCP:127.0.0.1:6000!GETVALUES", "127.0.0.1", 6000, "GETVALUES");
    valid("IPv6 bare", "TCP:::1:6000!GETTAGS", "::1", 6000, "GETTAGS");
    valid("IPv6 brackets", "TCP:[::1]:6000!GETTAGS", "::1", 6000, "GETTAGS");
    valid("blanks around address", "TCP:  localhost :6000!GETTAGS", "localhost", 6000, "GETTAGS");
    valid("half rounds to even, down", "TCP:h:1000.5!X", "h", 1000, "X");
    valid("half rounds to even, up", "TCP:h:1001.5!X", "h", 1002, "X");
    valid("port with blanks and exponent", "TCP:h: 6e3 !X", "h", 6000, "X");
    valid("lower-case prefix", "tcp:h:6000!X", "h", 6000, "X");
    valid("UTF-8 command", "HUB:T\u00c4G", "", 0, "T\xc3\x84G");

    const auto invalid = [](const char* name, const char* request) {
        QTest::newRow(name) << request << "" << 0 << QByteArray();
    };
    invalid("unknown prefix", "FOO:GETTAGS");
    invalid("no prefix", "GETTAGS");
    invalid("no command", "HUB:");
    invalid("no !", "TCP:h:6000GETTAGS");
    invalid("no port", "TCP:h!GETTAGS");
    invalid("blank address", "TCP:   :6000!GETTAGS");
    invalid("empty brackets", "TCP:[]:6000!GETTAGS");
    invalid("letters in port", "TCP:h:60a0!GETTAGS");
    invalid("port 0", "TCP:h:0.4!GETTAGS");
    invalid("port too large", "TCP:h:65536!GETTAGS");
    invalid("line break in command", "HUB:GETTAGS\nGETVALUES");
}

void TestHubReader::parseRequest() {
    QFETCH(QString, request);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QByteArray, command);

    QString why;
    const auto target = hubreader::ParseRequest(request, &why);
    QCOMPARE(target.has_value(), !command.isEmpty());
    if (!target) {
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(target->kind == hubreader::Target::Kind::Tcp, !host.isEmpty());
    QCOMPARE(target->host, host);
    QCOMPARE(int(target->port), port);
    QCOMPARE(target->command, command);
}

void TestHubReader::brokenHubs_data() {
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("connections");    // made by two requests
    QTest::addColumn<QByteArray>("between"); // sent unasked between the requests

    for (const bool tcp : {true, false}) {
        // A null reply: the hub never answers.
        const auto row = [tcp](const char* name, const char* reply, bool closeAfter,
                               const char* answer, int connections, const char* between = "") {
            QTest::addRow("%s, %s", tcp ? "tcp" : "local", name)
                << tcp << (reply ? QByteArray(reply) : QByteArray()) << closeAfter
                << QString::fromUtf8(answer) << connections << QByteArray(between);
        };
        row("good answer", "5\nhello", false, "hello", 1);
        row("UTF-8 answer", "6\nK\xc3\xbchl\n", false, "K\u00fchl\n", 1);
        row("empty answer", "0\n", false, "", 1);
        // A kept connection that is dead at the next request, or holds bytes no request
        // asked for, is replaced instead of giving "" or the stray bytes.
        row("good answer, then closed", "2\nok", true, "ok", 2);
        row("bytes after the answer", "3\nabcXYZ", false, "abc", 2);
        row("bytes between the requests", "2\nok", false, "ok", 2, "2\nno");
        row("closed mid-answer", "10\nhello", true, "", 2);
        row("closed in the header", "1", true, "", 2);
        row("closed without answer", "", true, "", 2);
        row("malformed header", "hello\n", false, "", 2);
        row("oversized header", "99999999999\n", false, "", 2);
        row("never answers", nullptr, false, "", 2);
        row("answer never completes", "10\nhello", false, "", 2);
    }
}

void TestHubReader::brokenHubs() {
    QFETCH(bool, tcp);
    QFETCH(QByteArray, reply);
    QFETCH(bool, closeAfter);
    QFETCH(QString, answer);
    QFETCH(int, connections);
    QFETCH(QByteArray, between);

    FakeHub hub(reply, closeAfter);
    QVERIFY(hub.Begin());
    SVComSrvClass reader(hub.name());
    reader.SetSilent(true);
    reader.SetTimeoutMs(500);
    for (int i = 1; i <= 2; ++i) {
        QCOMPARE(reader.ReadInputFile(hub.GetTags(tcp)), answer);
        // The hub has closed, so the next request really meets a dead connection.
        if (closeAfter)
            QTRY_COMPARE(hub.closed(), i);
        if (i == 1 && !between.isEmpty()) {
            hub.SendToAll(between);
            // They wait, unread, on the reader's side when the next request starts.
            QTRY_VERIFY(std::ranges::any_of(reader.findChildren<QIODevice*>(),
                                            [](QIODevice* d) { return d->bytesAvailable() > 0; }));
        }
    }
    QCOMPARE(hub.connections(), connections);
}

void TestHubReader::nothingListening() {
    // Where a hub listened until it stopped.
    HubProcess gone;
    QVERIFY(gone.Start());
    QCOMPARE(gone.Stop(), 0);
    SVComSrvClass reader(gone.name());
    reader.SetTimeoutMs(2000);
    QCOMPARE(reader.ReadInputFile(gone.TcpPrefix() + QStringLiteral("GETTAGS")), QString());
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QString());
    QCOMPARE(reader.ReadInputFile(QStringLiteral("NOPE:GETTAGS")), QString());
}

// While a request waits, timers and other events keep running; a request made from inside
// that wait is refused at once instead of mixing into the stream, and Abandon ends the wait.
void TestHubReader::waitingKeepsEventsRunning() {
    FakeHub silent(QByteArray(), false);
    FakeHub good("2\nok", false);
    QVERIFY(silent.Begin());
    QVERIFY(good.Begin());
    SVComSrvClass reader(silent.name());
    reader.SetSilent(true);
    reader.SetTimeoutMs(60'000); // far beyond the test's own time-out: only Abandon ends it
    QString nested = QStringLiteral("not asked");
    QTimer::singleShot(100, [&] {
        QVERIFY(reader.Busy());
        nested = reader.ReadInputFile(good.GetTags());
        reader.Abandon();
    });
    QCOMPARE(reader.ReadInputFile(silent.GetTags()), QString());
    QCOMPARE(nested, QString());
    QVERIFY(!reader.Busy());
    QCOMPARE(good.connections(), 0);
    // The next request starts afresh.
    QCOMPARE(reader.ReadInputFile(good.GetTags()), QStringLiteral("ok"));
}

void TestHubReader::abandonEndsTheRequest_data() {
    QTest::addColumn<QString>("request"); // %1 = port of a hub that never answers
    QTest::addColumn<bool>("reachesTheHub");
    QTest::newRow("waiting for the answer") << "TCP:127.0.0.1:%1!GETTAGS" << true;
    QTest::newRow("looking up the host name") << "TCP:localhost:%1!GETTAGS" << false;
    QTest::newRow("local endpoint") << "HUB:GETTAGS" << true;
    QTest::newRow("request that cannot be sent") << "NOPE:GETTAGS" << false;
}

// Send returns at once; its callback runs exactly once, from the event loop, with "" when
// the request is abandoned at any stage, and never after.
void TestHubReader::abandonEndsTheRequest() {
    QFETCH(QString, request);
    QFETCH(bool, reachesTheHub);
    FakeHub silent(QByteArray(), false);
    FakeHub good("2\nok", false);
    QVERIFY(silent.Begin() && good.Begin());
    SVComSrvClass reader(silent.name());
    reader.SetSilent(true);
    reader.SetTimeoutMs(60'000);
    QStringList answers;
    reader.Send(request.contains(QLatin1String("%1")) ? request.arg(silent.port()) : request,
                [&answers](const QString& answer) { answers << answer; });
    QVERIFY(answers.isEmpty());
    if (reachesTheHub)
        QTRY_COMPARE(silent.connections(), 1);
    reader.Abandon();
    QTRY_COMPARE(answers, QStringList{QString()});
    QVERIFY(!reader.Busy());
    // The sockets go once control is back in the event loop.
    QTRY_VERIFY(reader.findChildren<QTcpSocket*>().isEmpty() &&
                reader.findChildren<QLocalSocket*>().isEmpty());
    // A whole request afterwards, with a lookup of the same name, gives whatever the
    // abandoned one left behind (its lookup, its socket) time to arrive: it changes nothing.
    QCOMPARE(reader.ReadInputFile(QStringLiteral("TCP:localhost:%1!GETTAGS").arg(good.port())),
             QStringLiteral("ok"));
    QCOMPARE(answers, QStringList{QString()});
}

void TestHubReader::switchesBetweenEndpoints() {
    HubProcess first;
    HubProcess second;
    QVERIFY(first.Start());
    QVERIFY(second.Start({QStringLiteral("--synthetic"), QStringLiteral("3")}));

    SVComSrvClass reader(first.name());
    const QString builtIn = reader.ReadInputFile(QStringLiteral("HUB:GETTAGS"));
    const QString synthetic = reader.ReadInputFile(second.TcpPrefix() + QStringLiteral("GETTAGS"));
    QVERIFY(!builtIn.isEmpty());
    QCOMPARE(synthetic.count(QLatin1Char(',')), 2);
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), builtIn);
    QCOMPARE(reader.ReadInputFile(first.TcpPrefix() + QStringLiteral("GETTAGS")), builtIn);
    QCOMPARE(reader.ReadInputFile(first.TcpPrefix(QStringLiteral("localhost")) +
                                  QStringLiteral("GETTAGS")),
             builtIn);
}

void TestHubReader::requestTool() {
    HubProcess hub;
    QVERIFY(hub.Start({QStringLiteral("--synthetic"), QStringLiteral("2")}));
    const QString tool =
        QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-request");

    QProcess ok;
    ok.start(tool, {QStringLiteral("--repeat"), QStringLiteral("2"),
                    hub.TcpPrefix() + QStringLiteral("GETTAGS")});
    QVERIFY(ok.waitForFinished(30000));
    QCOMPARE(ok.exitCode(), 0);
    // The answer ends with the system's line end: a console program's text on Windows.
#ifdef Q_OS_WIN
    const QByteArray lineEnd = "\r\n";
#else
    const QByteArray lineEnd = "\n";
#endif
    QCOMPARE(ok.readAllStandardOutput(), "Area00.Tag000001,Area00.Tag000002" + lineEnd);
    QCOMPARE(ok.readAllStandardError().count("ms"), 2);

    // Any command word goes through as it is: GETSTATUS gives one line per tag.
    QProcess status;
    status.start(tool, {hub.TcpPrefix() + QStringLiteral("GETSTATUS")});
    QVERIFY(status.waitForFinished(30000));
    QCOMPARE(status.exitCode(), 0);
    QCOMPARE(status.readAllStandardOutput(),
             "Area00.Tag000001,good" + lineEnd + "Area00.Tag000002,good" + lineEnd);

    QProcess failed;
    failed.start(
        tool, {QStringLiteral("--name"), HubProcess::UniqueName(), QStringLiteral("HUB:GETTAGS")});
    QVERIFY(failed.waitForFinished(30000));
    QCOMPARE(failed.exitCode(), 1);
    QVERIFY(failed.readAllStandardOutput().isEmpty());
    QVERIFY(failed.readAllStandardError().contains("failed"));
}

QTEST_GUILESS_MAIN(TestHubReader)
#include "test_hub_reader.moc"
