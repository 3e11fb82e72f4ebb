// The workstation stand-ins: link splitting, log-sheet polling and the variable check as
// logic, then sv6.exe and sv6admin.exe run as programs on generated files.

#include "History.h"
#include "SheetModel.h"
#include "Workstation.h"
#include "generate/Application.h"
#include "hub/Framing.h"
#include "hub/HubReader.h"
#include "hub/IHubReader.h"
#include "support/Csv.h"
#include "support/HubProcess.h"
#include "support/TestOutput.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

using OptionalText = std::optional<QString>;
Q_DECLARE_METATYPE(OptionalText)

namespace {

// Answers from a table keyed by request; records every request.
class FakeHubReader : public IHubReader {
public:
    void SetSilent(bool silent) override { silent_ = silent; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString& request) override {
        requests << request;
        return answers.value(request);
    }
    QHash<QString, QString> answers;
    QStringList requests;

private:
    bool silent_ = true;
};

// A hub on a loopback port that answers each command from a table (the empty text for any
// other), records the commands in the order they came, and holds back the answers to the
// commands in `held` until Release.
class ScriptedHub {
public:
    ScriptedHub() {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* client = server_.nextPendingConnection())
                QObject::connect(client, &QIODevice::readyRead, client, [this, client] {
                    while (client->canReadLine()) {
                        const QString command = QString::fromUtf8(client->readLine()).trimmed();
                        commands << command;
                        const QByteArray answer = hubwire::EncodeAnswer(answers.value(command));
                        if (held.contains(command))
                            heldAnswers_.push_back({client, answer});
                        else
                            client->write(answer);
                    }
                });
        });
        server_.listen(QHostAddress::LocalHost, 0);
    }
    QString Prefix() const { return QStringLiteral("TCP:127.0.0.1:%1!").arg(server_.serverPort()); }
    void Release() {
        for (const auto& [client, answer] : std::exchange(heldAnswers_, {}))
            if (client)
                client->write(answer);
    }

    QHash<QString, QByteArray> answers;
    QStringList held;
    QStringList commands;

private:
    QTcpServer server_;
    std::vector<std::pair<QPointer<QTcpSocket>, QByteArray>> heldAnswers_;
};

workstation::SheetPoller::ReaderFactory QuietReaders() {
    return [] {
        auto reader = std::make_unique<SVComSrvClass>();
        reader->SetSilent(true);
        return reader;
    };
}

void Add(Application& app, const QString& name, const QString& type, qint16 length, qint16 decimals,
         OptionalText link) {
    IVariable& v = app.GetVariables().AddVariable(name, type, length, decimals);
    if (link) {
        v.SetLink(*link);
        v.SetCode(QStringLiteral("P"));
    }
}

Application WithClock() {
    Application app;
    app.SetUp(1);
    app.SetTitle(QStringLiteral("Line 3"));
    Add(app, QStringLiteral("Date"), QStringLiteral("T"), 8, 0, {});
    Add(app, QStringLiteral("Time"), QStringLiteral("T"), 8, 0, {});
    return app;
}

// How a program is started: with the off-screen platform, or with no display of any kind
// (no platform chosen, no X or Wayland display), as on a server.
enum class Screen { Offscreen, None };

// Starts a program of the bin folder without a screen.
void Start(QProcess& p, const QString& program, const QStringList& args,
           Screen screen = Screen::Offscreen) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    // A program that runs away with memory (reading an endless file) is stopped by the
    // sanitizer long before it takes the machine's memory.
    e.insert(QStringLiteral("ASAN_OPTIONS"),
             e.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":hard_rss_limit_mb=2048"));
    if (screen == Screen::Offscreen) {
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            e.remove(QLatin1String(name));
    }
    p.setProcessEnvironment(e);
    p.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, args);
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run RunProgram(const QString& program, const QStringList& args, Screen screen = Screen::Offscreen) {
    QProcess p;
    Start(p, program, args, screen);
    Run r;
    if (!p.waitForFinished(60000)) { // the process is killed with p
        r.err = QStringLiteral("did not finish");
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
#ifdef Q_OS_WIN
    // Text on a Windows console ends its lines with CR LF.
    r.out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    r.err.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
    return r;
}

QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// The printed rows of --print-rows, split into cells.
QList<QStringList> PrintedRows(const QString& out) {
    QList<QStringList> rows;
    // Windows ends the lines of a console program with CR LF.
    for (QString line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        rows << line.remove(QLatin1Char('\r')).split(QLatin1Char('\t'));
    return rows;
}

// The folder for pictures the tests take: SVC_TEST_OUTPUT, else one in the temporary folder.

// The history columns of an application made with WithClock and Add.
std::vector<workstation::HistoryColumn> HistoryColumns(const Application& app) {
    std::vector<workstation::HistoryColumn> columns;
    for (const ApplicationVariable& v : app.Variables())
        if (!workstation::IsClockVariable(v))
            columns.push_back({v.Name(), v.Link().value_or(QString()), v.FieldType()});
    return columns;
}

} // namespace

class TestWorkstation : public QObject {
    Q_OBJECT

private slots:
    void splitLink_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QStringList>("parts"); // prefix and tag; none: not a link
        QTest::newRow("local hub") << "HUB:Tank1.Level" << QStringList{"HUB:", "Tank1.Level"};
        QTest::newRow("tcp hub") << "TCP:10.0.0.5:6000!Tank1.Level"
                                 << QStringList{"TCP:10.0.0.5:6000!", "Tank1.Level"};
        QTest::newRow("tag holding !") << "TCP:h:1!a!b" << QStringList{"TCP:h:1!", "a!b"};
        QTest::newRow("empty tag") << "HUB:" << QStringList{"HUB:", ""};
        QTest::newRow("no prefix") << "Tank1.Level" << QStringList();
        QTest::newRow("tcp without !") << "TCP:h:1" << QStringList();
        QTest::newRow("tcp with empty address") << "TCP:!x" << QStringList();
        QTest::newRow("tcp with blank address") << "TCP: :6000!x" << QStringList();
        QTest::newRow("tcp without port") << "TCP:h!x" << QStringList();
        QTest::newRow("port 0") << "TCP:h:0!x" << QStringList();
        QTest::newRow("port 65535") << "TCP:h:65535!x" << QStringList{"TCP:h:65535!", "x"};
        QTest::newRow("port 65536") << "TCP:h:65536!x" << QStringList();
        QTest::newRow("port beyond every integer type")
            << "TCP:h:99999999999999999999!x" << QStringList();
        QTest::newRow("port not a number") << "TCP:h:60a0!x" << QStringList();
        // The Connect page takes a port such as "6000.0" and the reader rounds it.
        QTest::newRow("port as the wizard takes it")
            << "TCP:h:6000.0!x" << QStringList{"TCP:h:6000.0!", "x"};
        QTest::newRow("ipv6 in brackets")
            << "TCP:[::1]:6000!x" << QStringList{"TCP:[::1]:6000!", "x"};
        QTest::newRow("lower-case prefix") << "hub:x" << QStringList();
    }

    void splitLink() {
        QFETCH(QString, link);
        QFETCH(QStringList, parts);
        const auto split = workstation::SplitLink(link);
        QCOMPARE((split ? QStringList{split->prefix, split->tag} : QStringList()), parts);
    }

    void logSheetColumnsAndHeadings() {
        Application app = WithClock();
        Add(app, QStringLiteral("Tank1_Level_%"), QStringLiteral("N"), 6, 2,
            QStringLiteral("HUB:Tank1.Level"));
        Add(app, QStringLiteral("Note"), QStringLiteral("T"), 10, 0, {});
        Add(app, QStringLiteral("Time"), QStringLiteral("N"), 4, 0, QStringLiteral("HUB:Time"));
        const workstation::LogSheet sheet(app);
        // An unlinked Date or Time variable is the clock column; a linked one is a tag.
        QCOMPARE(sheet.Headings(), (QStringList{QStringLiteral("Date"), QStringLiteral("Time"),
                                                QStringLiteral("Tank1\nLevel\n%"),
                                                QStringLiteral("Note"), QStringLiteral("Time")}));
        QCOMPARE(sheet.HubCount(), 1);
        // The status bar counts the variables as the file and the administration program do,
        // the clock's two included.
        QCOMPARE(sheet.Summary(500), QStringLiteral("variables: 5, hubs: 1, a row every 500 ms"));
    }

    void pollSendsOneRequestPerHubAndMatchesNames() {
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, QStringLiteral("HUB:Tank1.Level"));
        Add(app, QStringLiteral("B"), QStringLiteral("T"), 20, 0,
            QStringLiteral("TCP:h:6000!Text"));
        Add(app, QStringLiteral("C"), QStringLiteral("N"), 6, 0, QStringLiteral("HUB:missing"));
        Add(app, QStringLiteral("D"), QStringLiteral("N"), 6, 0, QStringLiteral("HUB:NoComma"));
        Add(app, QStringLiteral("E"), QStringLiteral("N"), 6, 0, QStringLiteral("HUB:twice"));
        Add(app, QStringLiteral("F"), QStringLiteral("N"), 6, 0, QStringLiteral("bad link"));
        FakeHubReader reader;
        reader.answers.insert(QStringLiteral("HUB:GETVALUES"),
                              QStringLiteral("TANK1.LEVEL,12.5\tNoComma\tTwice,1\ttwice,2\tx,9"));
        reader.answers.insert(QStringLiteral("TCP:h:6000!GETVALUES"),
                              QStringLiteral("text,a,b, c"));
        const workstation::LogSheet sheet(app);
        const QDateTime now(QDate(2026, 3, 4), QTime(5, 6, 7));
        const QStringList row = sheet.Poll(reader, now);
        QCOMPARE(row, (QStringList{QStringLiteral("2026-03-04"), QStringLiteral("05:06:07"),
                                   QStringLiteral("12.5"), QStringLiteral("a,b, c"), QString(),
                                   QString(), QStringLiteral("1"), QString()}));
        QCOMPARE(reader.requests, (QStringList{QStringLiteral("HUB:GETVALUES"),
                                               QStringLiteral("TCP:h:6000!GETVALUES")}));
    }

    // The qualities of one hub's tags from its "GETSTATUS" answer, matched by name as the
    // values are.
    void fillQuality_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("qualities"); // codes of A, B, C, "-" for Unknown
        QTest::addColumn<int>("notGood");
        QTest::newRow("every tag good") << "a,good\nB,GOOD\nc,Good"
                                        << "good good good" << 0;
        QTest::newRow("names and codes in any case, other tags between")
            << "X,offline\nA,Stale\nb,offline\nC,waiting"
            << "stale offline waiting" << 3;
        QTest::newRow("refused and invalid") << "A,refused\nB,invalid\nC,good"
                                             << "refused invalid good" << 2;
        QTest::newRow("a code the program does not know") << "A,broken\nB\nC,good"
                                                          << "invalid invalid good" << 2;
        QTest::newRow("a tag missing from the answer") << "A,good\nC,offline"
                                                       << "good - offline" << 1;
        QTest::newRow("the first entry of a name counts") << "A,offline\na,good\nB,good\nC,good"
                                                          << "offline good good" << 1;
        QTest::newRow("lines ending in CR LF") << "A,good\r\nB,stale\r\nC,good"
                                               << "good stale good" << 1;
        QTest::newRow("a name holding a comma splits at the last")
            << "A,x,good\nA,stale\nB,good\nC,good"
            << "stale good good" << 1;
    }

    void fillQuality() {
        QFETCH(QString, answer);
        QFETCH(QString, qualities);
        QFETCH(int, notGood);
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, QStringLiteral("HUB:a"));
        Add(app, QStringLiteral("Other"), QStringLiteral("N"), 6, 2, QStringLiteral("TCP:h:1!a"));
        Add(app, QStringLiteral("B"), QStringLiteral("T"), 6, 0, QStringLiteral("HUB:b"));
        Add(app, QStringLiteral("C"), QStringLiteral("N"), 6, 2, QStringLiteral("HUB:c"));
        const workstation::LogSheet sheet(app);
        std::vector<workstation::Quality> quality(4, workstation::Quality::Refused);
        QCOMPARE(sheet.FillQuality(0, answer, quality), notGood);
        // The other hub's column is left as it was.
        QCOMPARE(quality[1], workstation::Quality::Refused);
        QStringList codes;
        for (const std::size_t i : {std::size_t(0), std::size_t(2), std::size_t(3)}) {
            const QString code = workstation::QualityCode(quality[i]);
            codes << (code.isEmpty() ? QStringLiteral("-") : code);
        }
        QCOMPARE(codes.join(QLatin1Char(' ')), qualities);
    }

    // The poller asks each hub for its values and then their status on the same connection,
    // and the row carries both.
    void pollerFillsQualityFromStatus() {
        ScriptedHub hub;
        hub.answers.insert(QStringLiteral("GETVALUES"), "Flow,5.5\tLevel,\tNote,ok");
        hub.answers.insert(QStringLiteral("GETSTATUS"), "Flow,good\nLevel,offline\nNote,good");
        Application app = WithClock();
        Add(app, QStringLiteral("Flow"), QStringLiteral("N"), 6, 2, hub.Prefix() + "flow");
        Add(app, QStringLiteral("Level"), QStringLiteral("N"), 6, 2, hub.Prefix() + "Level");
        Add(app, QStringLiteral("Unlinked"), QStringLiteral("T"), 6, 0, {});
        Add(app, QStringLiteral("Note"), QStringLiteral("T"), 6, 0, hub.Prefix() + "Note");
        const workstation::LogSheet sheet(app);
        workstation::SheetPoller poller(sheet, QuietReaders());
        QSignalSpy rows(&poller, &workstation::SheetPoller::RowReady);
        const QDateTime t0(QDate(2026, 3, 4), QTime(5, 6, 7));
        poller.Poll(t0);
        QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 1, 10000);
        const auto row = rows.at(0).at(0).value<workstation::SheetRow>();
        QCOMPARE(row.time, t0);
        QCOMPARE(row.values, (QStringList{"5.5", "", "", "ok"}));
        using Q = workstation::Quality;
        QCOMPARE(row.quality, (std::vector<Q>{Q::Good, Q::Offline, Q::Unknown, Q::Good}));
        QCOMPARE(hub.commands, (QStringList{"GETVALUES", "GETSTATUS"}));
        QCOMPARE(poller.StatusText(), hub.Prefix() + " answers, 1 not good | last row 05:06:07");
    }

    // A hub that answers "GETSTATUS" with the empty text does not know it: its values carry
    // Unknown and it is not asked again, until it comes back after not answering or the
    // retry time has passed.
    void pollerStopsAskingAHubWithoutStatus() {
        ScriptedHub hub;
        hub.answers.insert(QStringLiteral("GETVALUES"), "Flow,5.5");
        Application app = WithClock();
        Add(app, QStringLiteral("Flow"), QStringLiteral("N"), 6, 2, hub.Prefix() + "Flow");
        const workstation::LogSheet sheet(app);
        workstation::SheetPoller poller(sheet, QuietReaders());
        QSignalSpy rows(&poller, &workstation::SheetPoller::RowReady);
        QDateTime now(QDate(2026, 3, 4), QTime(5, 0, 0));
        const auto round = [&](int seconds) {
            now = now.addSecs(seconds);
            const qsizetype before = rows.size();
            poller.Poll(now);
            return QTest::qWaitFor([&] { return rows.size() > before; }, 10000);
        };
        const QString v = QStringLiteral("GETVALUES");
        const QString s = QStringLiteral("GETSTATUS");
        QVERIFY(round(1));
        QVERIFY(round(1));
        QCOMPARE(hub.commands, (QStringList{v, s, v}));
        const auto last = rows.back().at(0).value<workstation::SheetRow>();
        QCOMPARE(last.values, QStringList{"5.5"});
        QCOMPARE(last.quality, std::vector<workstation::Quality>{workstation::Quality::Unknown});
        QVERIFY2(poller.StatusText().startsWith(hub.Prefix() + " answers, no quality |"),
                 qPrintable(poller.StatusText()));
        // Replaced by a hub that knows the request: after a round without an answer it is
        // asked again.
        hub.answers.remove(v);
        QVERIFY(round(1));
        hub.answers.insert(v, "Flow,6");
        hub.answers.insert(s, "Flow,stale");
        hub.commands.clear();
        QVERIFY(round(1));
        QCOMPARE(hub.commands, (QStringList{v, s}));
        QCOMPARE(rows.back().at(0).value<workstation::SheetRow>().quality,
                 std::vector<workstation::Quality>{workstation::Quality::Stale});
        // Without it again, a hub that answers all along is asked once the retry time is over.
        hub.answers.remove(s);
        hub.commands.clear();
        QVERIFY(round(1));
        QVERIFY(round(int(workstation::SheetPoller::StatusRetryMs / 1000) - 1));
        QVERIFY(round(1));
        QCOMPARE(hub.commands, (QStringList{v, s, v, v, s}));
    }

    // A status answer that comes after its round was finished leaves that row with quality
    // Unknown, the hub counts as answering, and the free reader fetches the open round's
    // values at once.
    void lateStatusNeitherDelaysNorSilencesTheHub() {
        ScriptedHub hub;
        hub.answers.insert(QStringLiteral("GETVALUES"), "Flow,5.5");
        hub.answers.insert(QStringLiteral("GETSTATUS"), "Flow,good");
        hub.held << QStringLiteral("GETSTATUS");
        Application app = WithClock();
        Add(app, QStringLiteral("Flow"), QStringLiteral("N"), 6, 2, hub.Prefix() + "Flow");
        const workstation::LogSheet sheet(app);
        workstation::SheetPoller poller(sheet, QuietReaders());
        QSignalSpy rows(&poller, &workstation::SheetPoller::RowReady);
        const QDateTime t0(QDate(2026, 3, 4), QTime(5, 0, 0));
        poller.Poll(t0);
        QTRY_COMPARE_WITH_TIMEOUT(hub.commands.size(), 2, 10000);
        QCOMPARE(rows.size(), 0); // the row waits for the status
        poller.Poll(t0.addSecs(1));
        QCOMPARE(rows.size(), 1);
        auto row = rows.at(0).at(0).value<workstation::SheetRow>();
        QCOMPARE(row.values, QStringList{"5.5"});
        QCOMPARE(row.quality, std::vector<workstation::Quality>{workstation::Quality::Unknown});
        QVERIFY2(poller.StatusText().startsWith(hub.Prefix() + " answers |"),
                 qPrintable(poller.StatusText()));
        hub.held.clear();
        hub.Release();
        QTRY_COMPARE_WITH_TIMEOUT(rows.size(), 2, 10000);
        row = rows.at(1).at(0).value<workstation::SheetRow>();
        QCOMPARE(row.time, t0.addSecs(1));
        QCOMPARE(row.values, QStringList{"5.5"});
        QCOMPARE(row.quality, std::vector<workstation::Quality>{workstation::Quality::Good});
        QCOMPARE(hub.commands, (QStringList{"GETVALUES", "GETSTATUS", "GETVALUES", "GETSTATUS"}));
    }

    void checkVariables_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<OptionalText>("link");
        QTest::addColumn<QStringList>("problems");
        const QString n = QStringLiteral("N");
        const QString x = QStringLiteral("x");
        QTest::newRow("clock variable") << "Date"
                                        << "T" << 8 << 0 << OptionalText() << QStringList();
        QTest::newRow("numeric tag")
            << "Tank1_Level" << n << 6 << 2 << OptionalText("TCP:h:1!x") << QStringList();
        QTest::newRow("length 1, no decimals")
            << x << n << 1 << 0 << OptionalText("HUB:x") << QStringList();
        QTest::newRow("decimals equal to length")
            << x << n << 3 << 3 << OptionalText()
            << QStringList{"the decimals 3 are not below the length 3"};
        QTest::newRow("negative decimals")
            << x << n << 3 << -1 << OptionalText() << QStringList{"the decimals -1 are below 0"};
        QTest::newRow("unknown type")
            << x << "X" << 3 << 0 << OptionalText()
            << QStringList{"the field type \"X\" is neither \"N\" nor \"T\""};
        QTest::newRow("link without prefix")
            << x << n << 3 << 0 << OptionalText("Tank1")
            << QStringList{"the link \"Tank1\" has no \"HUB:\" or \"TCP:address:port!\" prefix"};
        QTest::newRow("link to port 0")
            << x << n << 3 << 0 << OptionalText("TCP:h:0!x")
            << QStringList{"the link \"TCP:h:0!x\" has an unusable hub prefix: TCP port \"0\" is "
                           "not a port number"};
        QTest::newRow("link without address")
            << x << n << 3 << 0 << OptionalText("TCP::6000!x")
            << QStringList{"the link \"TCP::6000!x\" has an unusable hub prefix: TCP address is "
                           "empty"};
        QTest::newRow("several faults at once")
            << QString() << n << 0 << 0 << OptionalText()
            << QStringList{"the name is empty", "the length 0 is below 1"};
    }

    void checkVariables() {
        QFETCH(QString, name);
        QFETCH(QString, type);
        QFETCH(int, length);
        QFETCH(int, decimals);
        QFETCH(OptionalText, link);
        QFETCH(QStringList, problems);
        Application app = WithClock();
        Add(app, name, type, qint16(length), qint16(decimals), link);
        QStringList found;
        for (const workstation::VariableProblem& p : workstation::CheckVariables(app)) {
            QCOMPARE(p.index, 2);
            found << p.text;
        }
        QCOMPARE(found, problems);
    }

    void adminCheck_data() {
        QTest::addColumn<bool>("valid");
        QTest::newRow("valid file") << true;
        QTest::newRow("invalid file") << false;
    }

    void adminCheck() {
        QFETCH(bool, valid);
        Application app = WithClock();
        Add(app, QStringLiteral("Tank1_Level"), QStringLiteral("N"), 6, 2,
            QStringLiteral("HUB:Tank1.Level"));
        if (!valid)
            Add(app, QStringLiteral("Bad"), QStringLiteral("N"), 2, 2, QStringLiteral("Tank2"));
        const QString path = Save(app, QStringLiteral("Line 3; $(x) 'q' %2.SVT"));
        const QString arg = QLatin1Char('@') + path;
        // The check shows no window, so it runs where there is no display at all.
        const Run r = RunProgram(QStringLiteral("sv6admin.exe"), {QStringLiteral("--check"), arg},
                                 Screen::None);
        // The window, as the wizard starts it, is opened by the end-to-end road test.
        if (valid) {
            QCOMPARE(r.exitCode, 0);
            QCOMPARE(r.out, path + QStringLiteral(": all 3 variables are valid.\n"));
        } else {
            QCOMPARE(r.exitCode, 2);
            QCOMPARE(r.out,
                     path + QStringLiteral(": 1 of 4 variables are invalid.\n"
                                           "variable 4 \"Bad\": the decimals 2 are not below the "
                                           "length 2\n"
                                           "variable 4 \"Bad\": the link \"Tank2\" has no \"HUB:\" "
                                           "or \"TCP:address:port!\" prefix\n"));
        }
    }

    // The program: three rows a fifth of a second apart beside a stalled hub come within the
    // hub reader's time-out of 5 s; each row holds the answering hub's value, and the status
    // names the hub that does not answer.
    void sheetKeepsPollingBesideAStalledHub() {
        // Two demo hubs publish one tag "Flow": one answers, the other takes requests and never
        // answers. The application shows Flow from both.
        HubProcess good;
        HubProcess stalled;
        const QString tags = good.WriteTags("Flow\tnumber\tbase=5 amplitude=1 decimals=1\n");
        QVERIFY2(good.Start({QStringLiteral("--tags"), tags, QStringLiteral("--quiet")}),
                 qPrintable(good.Log()));
        QVERIFY2(stalled.Start({QStringLiteral("--tags"), tags, QStringLiteral("--fault"),
                                QStringLiteral("stall"), QStringLiteral("--quiet")}),
                 qPrintable(stalled.Log()));
        Application app = WithClock();
        Add(app, QStringLiteral("Good"), QStringLiteral("N"), 6, 2, good.TcpPrefix() + "Flow");
        Add(app, QStringLiteral("Stalled"), QStringLiteral("N"), 6, 2,
            stalled.TcpPrefix() + "Flow");
        const QString path = Save(app, QStringLiteral("two hubs.SVT"));
        const Run r = RunProgram(QStringLiteral("sv6.exe"),
                                 {QStringLiteral("--exit-after-polls"), QStringLiteral("3"),
                                  QStringLiteral("--poll-interval-ms"), QStringLiteral("200"),
                                  QStringLiteral("--print-rows"), path});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QStringList rows = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 3);
        QList<QDateTime> times;
        for (const QString& row : rows) {
            const QStringList cells = row.split(QLatin1Char('\t'));
            QCOMPARE(cells.size(), 4);
            QVERIFY2(!cells.at(2).isEmpty(), qPrintable(row));
            QCOMPARE(cells.at(3), QString());
            times << QDateTime::fromString(cells.at(0) + ' ' + cells.at(1), "yyyy-MM-dd hh:mm:ss");
        }
        QVERIFY2(times.front().secsTo(times.back()) < 5, qPrintable(r.out));
        const QStringList statuses =
            r.err.split(QLatin1Char('\n')).filter(QStringLiteral("status: "));
        QCOMPARE(statuses.size(), 3);
        QVERIFY2(statuses.back().contains(good.TcpPrefix() + " answers | " + stalled.TcpPrefix() +
                                          " no answer since "),
                 qPrintable(statuses.back()));
    }

    // The program: the status bar counts the values a hub reports as not good and names the
    // hub that reports no quality.
    void sheetTellsTheQualityOfEachHub() {
        quint16 closedPort = 0;
        {
            QTcpServer probe; // a loopback port nobody listens on once it is closed
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            closedPort = probe.serverPort();
        }
        HubProcess plant;
        HubProcess old;
        const QString tags = plant.WriteTags("Flow\tnumber\tbase=5 amplitude=1 decimals=1\n"
                                             "plc1\tdevice\thost=127.0.0.1 port=" +
                                             QByteArray::number(closedPort) +
                                             " poll=0.1 timeout=0.2\n"
                                             "Drum\tmodbus\tdevice=plc1 register=40001\n");
        QVERIFY2(plant.Start({QStringLiteral("--tags"), tags, QStringLiteral("--quiet")}),
                 qPrintable(plant.Log()));
        QVERIFY2(old.Start({QStringLiteral("--tags"), tags, QStringLiteral("--fault"),
                            QStringLiteral("nostatus"), QStringLiteral("--quiet")}),
                 qPrintable(old.Log()));
        Application app = WithClock();
        Add(app, QStringLiteral("Flow"), QStringLiteral("N"), 6, 2, plant.TcpPrefix() + "Flow");
        Add(app, QStringLiteral("Drum"), QStringLiteral("N"), 6, 2, plant.TcpPrefix() + "Drum");
        Add(app, QStringLiteral("Old_Flow"), QStringLiteral("N"), 6, 2, old.TcpPrefix() + "Flow");
        const QString path = Save(app, QStringLiteral("quality.SVT"));
        const Run r = RunProgram(QStringLiteral("sv6.exe"),
                                 {QStringLiteral("--exit-after-polls"), QStringLiteral("4"),
                                  QStringLiteral("--poll-interval-ms"), QStringLiteral("300"),
                                  QStringLiteral("--print-rows"), path});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QStringList statuses =
            r.err.split(QLatin1Char('\n')).filter(QStringLiteral("status: "));
        QCOMPARE(statuses.size(), 4);
        // Drum is waiting or offline, neither of them good. A row whose status answer came
        // late (a busy machine) says nothing of it, so any row after the first will do.
        const QString expected = plant.TcpPrefix() + " answers, 1 not good | " + old.TcpPrefix() +
                                 " answers, no quality | last row ";
        QVERIFY2(!statuses.filter(expected).isEmpty(), qPrintable(statuses.join('\n')));

        // The qualities went into the history with the values, and the sheet marks them when
        // it shows that history: Drum's cells are coloured and say why, the others are not.
        QString error;
        const auto history = workstation::History::Open(
            workstation::HistoryPath(path), app.Title(), HistoryColumns(app),
            workstation::History::Access::ReadOnly, &error);
        QVERIFY2(history && history->HasSheet(), qPrintable(error));
        const std::vector<workstation::SheetRow> rows = history->Rows(0, history->RowCount());
        QCOMPARE(rows.size(), std::size_t(4));
        workstation::SheetModel model(workstation::LogSheet(app).Headings(), history.get());
        bool marked = false;
        for (int i = 1; i < int(rows.size()); ++i) {
            const workstation::SheetRow& row = rows[std::size_t(i)];
            const workstation::Quality drum = row.quality.at(1);
            if (row.quality.at(0) != workstation::Quality::Good)
                continue; // the plant's status answer came late for this row
            QVERIFY2(drum == workstation::Quality::Offline || drum == workstation::Quality::Waiting,
                     qPrintable(workstation::QualityCode(drum)));
            QCOMPARE(row.quality.at(2), workstation::Quality::Unknown);
            QCOMPARE(model.data(model.index(i, 3), Qt::ToolTipRole).toString(),
                     QStringLiteral("Status: ") + workstation::QualityCode(drum));
            QVERIFY(model.data(model.index(i, 3), Qt::BackgroundRole).value<QColor>().isValid());
            QVERIFY(!model.data(model.index(i, 2), Qt::BackgroundRole).isValid());
            QVERIFY(!model.data(model.index(i, 4), Qt::ToolTipRole).isValid());
            marked = true;
        }
        QVERIFY2(marked, "no row after the first had the plant's status");
    }

    void sheetStopsOnTerminate() {
        const QString path = Save(WithClock(), QStringLiteral("clock.SVT"));
        QProcess p;
        Start(p, QStringLiteral("sv6.exe"), {QStringLiteral("--print-rows"), path});
        QVERIFY(p.waitForStarted());
        QVERIFY(p.waitForReadyRead(30000)); // the first row: the window is up
        p.terminate();
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

    // Both programs refuse what is no application file at once, with the reader's message:
    // a pipe without a writer or an endless device neither hangs nor floods them.
    void viewersRefuseMissingOrBadFile_data() {
        QTest::addColumn<QString>("kind"); // "fifo", a path of its own, or contents to write
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << QString() << QStringLiteral("the file does not exist.");
        QTest::newRow("truncated") << QStringLiteral("[application]\nformat=SVT\nversion=1\n")
                                   << QStringLiteral("without the end marker");
#ifdef Q_OS_UNIX
        const QString notRegular = QStringLiteral("the name is not a regular file");
        QTest::newRow("pipe without a writer") << QStringLiteral("fifo") << notRegular;
        QTest::newRow("endless device") << QStringLiteral("/dev/zero") << notRegular;
#endif
    }

    void viewersRefuseMissingOrBadFile() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("a.SVT"));
        if (kind == QLatin1String("fifo")) {
#ifdef Q_OS_UNIX
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
#endif
        } else if (kind.startsWith(QLatin1Char('/'))) {
            path = kind;
        } else if (!kind.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(kind.toUtf8());
        }
        const Run sheet =
            RunProgram(QStringLiteral("sv6.exe"),
                       {QStringLiteral("--exit-after-polls"), QStringLiteral("1"), path});
        QCOMPARE(sheet.exitCode, 1);
        QVERIFY2(sheet.err.contains(message), qPrintable(sheet.err));
        const Run admin =
            RunProgram(QStringLiteral("sv6admin.exe"),
                       {QStringLiteral("--check"), QLatin1Char('@') + path}, Screen::None);
        QCOMPARE(admin.exitCode, 1);
        QVERIFY2(admin.err.contains(message), qPrintable(admin.err));
    }

    // The history: rows of a first run are there in the second (which says how many it
    // found), and the CSV export without a window holds every row either run printed, cell
    // by cell, with the text that needs quoting intact.
    void historyAcrossRunsAndCsvExport() {
        HubProcess hub;
        const QString tags = hub.WriteTags("Flow\tnumber\tbase=5 amplitude=1 decimals=1\n"
                                           "Batch\ttext\tBatch 17, \"grade\" A\n");
        QVERIFY2(hub.Start({QStringLiteral("--tags"), tags, QStringLiteral("--quiet")}),
                 qPrintable(hub.Log()));
        Application app = WithClock();
        Add(app, QStringLiteral("Tank_Flow"), QStringLiteral("N"), 6, 2, hub.TcpPrefix() + "Flow");
        Add(app, QStringLiteral("Batch"), QStringLiteral("T"), 40, 0, hub.TcpPrefix() + "Batch");
        const QString path = Save(app, QStringLiteral("recorded.SVT"));
        const QString historyPath = QDir(dir_.path()).filePath(QStringLiteral("recorded.svh"));
        QList<QStringList> printed;
        for (const int polls : {3, 2}) {
            // A picture of the second run's window: the first run's rows are in it.
            const QString shot =
                polls == 2 ? TestOutputFolder() + QStringLiteral("/sv6-history.png") : QString();
            qputenv("SV6_SCREENSHOT", shot.toLocal8Bit());
            const Run r = RunProgram(QStringLiteral("sv6.exe"),
                                     {QStringLiteral("--exit-after-polls"), QString::number(polls),
                                      QStringLiteral("--poll-interval-ms"), QStringLiteral("100"),
                                      QStringLiteral("--print-rows"), path});
            QVERIFY2(r.exitCode == 0, qPrintable(r.err));
            QVERIFY2(r.err.contains(QStringLiteral("recording the history to %1 (%2 rows so far)")
                                        .arg(historyPath, QString::number(printed.size()))),
                     qPrintable(r.err));
            printed += PrintedRows(r.out);
        }
        qunsetenv("SV6_SCREENSHOT");
        QCOMPARE(printed.size(), 5);
        QCOMPARE(printed.front().at(3), QStringLiteral("Batch 17, \"grade\" A"));
        const QString csv = QDir(dir_.path()).filePath(QStringLiteral("recorded.csv"));
        const Run e = RunProgram(QStringLiteral("sv6.exe"),
                                 {QStringLiteral("--export-csv"), printed.front().at(0),
                                  printed.back().at(0), csv, path},
                                 Screen::None);
        QVERIFY2(e.exitCode == 0, qPrintable(e.err));
        QList<QStringList> exported = ParseCsv(QString::fromUtf8(Contents(csv)));
        QCOMPARE(exported.value(0), (QStringList{"Date", "Time", "Tank Flow", "Batch"}));
        exported.removeFirst();
        QCOMPARE(exported, printed);
    }

    // An export that cannot be made says why on standard error and exits 1.
    void exportCsvRefuses_data() {
        QTest::addColumn<QString>("history"); // "", "foreign" or "recorded"
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("out"); // "folder": the temporary folder itself
        QTest::addColumn<QString>("message");
        QTest::newRow("no history") << ""
                                    << "2026-12-06"
                                    << "x.csv"
                                    << "There is no history file";
        QTest::newRow("foreign history") << "foreign"
                                         << "2026-12-06"
                                         << "x.csv"
                                         << "is not a log-sheet history";
        QTest::newRow("not a date") << "recorded"
                                    << "yesterday"
                                    << "x.csv"
                                    << "\"yesterday\" is not a date and time";
        QTest::newRow("unwritable out file") << "recorded"
                                             << "2026-12-06T08:00"
                                             << "folder"
                                             << "cannot be written";
    }

    void exportCsvRefuses() {
        QFETCH(QString, history);
        QFETCH(QString, from);
        QFETCH(QString, out);
        QFETCH(QString, message);
        QTemporaryDir dir;
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, {});
        const QString path = dir.filePath(QStringLiteral("a.SVT"));
        app.SaveToFile(path);
        const QString historyPath = dir.filePath(QStringLiteral("a.svh"));
        if (history == QLatin1String("foreign")) {
            QFile f(historyPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("Date,Time\n");
        } else if (history == QLatin1String("recorded")) {
            QString error;
            auto h = workstation::History::Open(historyPath, app.Title(), HistoryColumns(app),
                                                workstation::History::Access::Record, &error);
            QVERIFY2(h, qPrintable(error));
            workstation::SheetRow row{QDateTime::currentDateTime(), {QStringLiteral("1")}, {}};
            QVERIFY(h->Append(row));
        }
        const Run r =
            RunProgram(QStringLiteral("sv6.exe"),
                       {QStringLiteral("--export-csv"), from, QStringLiteral("2099-01-01"),
                        out == QLatin1String("folder") ? dir.path() : dir.filePath(out), path},
                       Screen::None);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("x.csv"))));
    }

    // Two sheets on one application: the first records, the second shows the history as it
    // grows and says it does not record; when the first ends, the second records on. The
    // file stays sound.
    void secondSheetReadsWhileFirstRecords() {
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, {});
        const QString path = Save(app, QStringLiteral("shared.SVT"));
        const QStringList args{QStringLiteral("--poll-interval-ms"), QStringLiteral("50"),
                               QStringLiteral("--print-rows"), path};
        QProcess writer;
        Start(writer, QStringLiteral("sv6.exe"), args);
        QVERIFY(writer.waitForStarted());
        QVERIFY(writer.waitForReadyRead(30000)); // a first row is recorded
        QProcess reader;
        Start(reader, QStringLiteral("sv6.exe"), args);
        QVERIFY(reader.waitForStarted());
        QByteArray readerErr;
        const auto readerSaid = [&](const char* text) {
            readerErr += reader.readAllStandardError();
            return readerErr.contains(text);
        };
        QTRY_VERIFY_WITH_TIMEOUT(readerSaid("status: "), 30000);
        QVERIFY2(readerSaid("not recording: another sv6.exe records this history"),
                 readerErr.constData());
        writer.terminate();
        QVERIFY(writer.waitForFinished(30000));
        const int written =
            int(PrintedRows(QString::fromUtf8(writer.readAllStandardOutput())).size());
        QTRY_VERIFY_WITH_TIMEOUT(readerSaid("now that the sv6.exe that recorded it has ended"),
                                 30000);
        // Rows the reader records after it took over.
        reader.readAllStandardOutput();
        QByteArray readerOut;
        QTRY_VERIFY_WITH_TIMEOUT((readerOut += reader.readAllStandardOutput()).count('\n') > 3,
                                 30000);
        reader.terminate();
        QVERIFY(reader.waitForFinished(30000));
        QString error;
        auto h = workstation::History::Open(
            QDir(dir_.path()).filePath(QStringLiteral("shared.svh")), app.Title(),
            HistoryColumns(app), workstation::History::Access::Record, &error);
        QVERIFY2(h, qPrintable(error));
        QVERIFY(h->Recording());
        QVERIFY2(h->RowCount() >= written + 4, qPrintable(QString::number(h->RowCount())));
        QCOMPARE(h->IntegrityCheck(), QStringLiteral("ok"));
        const auto rows = h->Rows(0, h->RowCount());
        for (std::size_t i = 1; i < rows.size(); ++i)
            QVERIFY(rows[i - 1].time <= rows[i].time);
    }

    // Killed while recording, the sheet loses no row it had shown: the next program finds
    // them all, takes over the lock and records on.
    void killedWhileRecordingLosesNothingShown() {
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, {});
        const QString path = Save(app, QStringLiteral("killed.SVT"));
        QProcess p;
        Start(p, QStringLiteral("sv6.exe"),
              {QStringLiteral("--poll-interval-ms"), QStringLiteral("20"),
               QStringLiteral("--print-rows"), path});
        QVERIFY(p.waitForStarted());
        QByteArray out;
        while (out.count('\n') < 10 && p.waitForReadyRead(30000))
            out += p.readAllStandardOutput();
        p.kill();
        QVERIFY(p.waitForFinished(30000));
        out += p.readAllStandardOutput();
        const QList<QStringList> printed = PrintedRows(QString::fromUtf8(out));
        QVERIFY(printed.size() >= 10);
        QString error;
        auto h = workstation::History::Open(
            QDir(dir_.path()).filePath(QStringLiteral("killed.svh")), app.Title(),
            HistoryColumns(app), workstation::History::Access::Record, &error);
        QVERIFY2(h, qPrintable(error));
        QVERIFY(h->Recording());
        QCOMPARE(h->IntegrityCheck(), QStringLiteral("ok"));
        // Each row is recorded before it is printed; the one being written may be gone.
        QVERIFY2(h->RowCount() >= printed.size(), qPrintable(QString::number(h->RowCount())));
        const auto rows = h->Rows(0, printed.size());
        for (qsizetype i = 0; i < printed.size(); ++i)
            QCOMPARE(workstation::DisplayRow(rows[std::size_t(i)]), printed[i]);
    }

    // A disk that fills up: the status bar says so once, the log says so once, and the live
    // sheet goes on.
    void fullDiskKeepsTheSheetGoing() {
        Application app = WithClock();
        for (int i = 0; i < 20; ++i)
            Add(app, QStringLiteral("V%1").arg(i), QStringLiteral("N"), 6, 2, {});
        const QString path = Save(app, QStringLiteral("full.SVT"));
        qputenv("SV6_HISTORY_MAX_PAGES", "1"); // no more pages than the new file has
        const Run r = RunProgram(QStringLiteral("sv6.exe"),
                                 {QStringLiteral("--exit-after-polls"), QStringLiteral("400"),
                                  QStringLiteral("--poll-interval-ms"), QStringLiteral("5"),
                                  QStringLiteral("--print-rows"), path});
        qunsetenv("SV6_HISTORY_MAX_PAGES");
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QCOMPARE(PrintedRows(r.out).size(), 400);
        const QStringList lines = r.err.split(QLatin1Char('\n'));
        const QStringList statuses = lines.filter(QStringLiteral("status: "));
        QCOMPARE(lines.filter(QStringLiteral("history not written since")).size() -
                     statuses.filter(QStringLiteral("history not written since")).size(),
                 1);
        QVERIFY2(
            statuses.back().contains(QStringLiteral("the disk is full; the rows wait in memory")),
            qPrintable(statuses.back()));
        QVERIFY2(!statuses.front().contains(QStringLiteral("disk is full")),
                 qPrintable(statuses.front()));
    }

    // A history file that is not one is refused with a message and kept as it is; the live
    // sheet goes on.
    void foreignHistoryIsKept() {
        Application app = WithClock();
        Add(app, QStringLiteral("A"), QStringLiteral("N"), 6, 2, {});
        const QString path = Save(app, QStringLiteral("foreign.SVT"));
        const QString historyPath = QDir(dir_.path()).filePath(QStringLiteral("elsewhere.db"));
        QFile f(historyPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("SQLite format 3") + QByteArray(200, '\0') + "someone else's");
        f.close();
        const QByteArray before = Contents(historyPath);
        const Run r = RunProgram(QStringLiteral("sv6.exe"),
                                 {QStringLiteral("--exit-after-polls"), QStringLiteral("2"),
                                  QStringLiteral("--history"), historyPath,
                                  QStringLiteral("--print-rows"), path});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QCOMPARE(PrintedRows(r.out).size(), 2);
        QVERIFY2(r.err.contains(QStringLiteral("history not kept: The file %1").arg(historyPath)),
                 qPrintable(r.err));
        QCOMPARE(Contents(historyPath), before);
    }

private:
    QTemporaryDir dir_;
    QString Save(const Application& app, const QString& name) {
        const QString path = QDir(dir_.path()).filePath(name);
        Application copy = app;
        copy.SaveToFile(path);
        return path;
    }
};

QTEST_GUILESS_MAIN(TestWorkstation)
#include "test_workstation.moc"
