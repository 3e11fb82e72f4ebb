// The demo hub: its tag file format and simulation in-process, and the real executable for
// answer shapes, synthetic tags, tag file reload, many clients, bad options and shut-down. Its
// fault modes are driven through the real window by the end-to-end fault tests.

#include "gateway/LiveValues.h"
#include "gateway/TagFile.h"
#include "gateway/TagTable.h"
#include "hub/HubReader.h"
#include "support/HubProcess.h"

#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using gateway::TagDef;

namespace {

// The tag names of a GETVALUES answer, in order: each entry up to its first ",".
QStringList Names(const QString& values) {
    QStringList names;
    if (!values.isEmpty())
        for (const QString& entry : values.split(QLatin1Char('\t')))
            names << entry.section(QLatin1Char(','), 0, 0);
    return names;
}

} // namespace

class TestGatewayHub : public QObject {
    Q_OBJECT

private slots:
    void tagFileLines_data();
    void tagFileLines();
    void builtInPlantCoversTheLayoutCases();
    void valuesAreReproducibleAndMove();
    void largePlantAnswerIsWholeAndInOrder();
    void appendedTagsJoinTheAnswers();

    void answersMatchTagList_data();
    void answersMatchTagList();
    void reloadsChangedTagFile();
    void servesManyClients();
    void refusesToStart_data();
    void refusesToStart();
};

// Lines the tag file refuses are rows of test_hub_config's table.
void TestGatewayHub::tagFileLines_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("value"); // value at t = 4 s with seed 1
    const auto row = [](const char* name, const char* line, const char* value) {
        QTest::newRow(name) << QByteArray(line) << QByteArray(value);
    };
    row("constant number", "A\tnumber\tbase=120 decimals=1", "120.0");
    row("small negative keeps its sign", "A\tnumber\tbase=-0.04 decimals=2", "-0.04");
    row("rounds to zero without sign", "A\tnumber\tbase=-0.004 decimals=2", "0.00");
    row("halves round away from zero", "A\tnumber\tbase=42.125 decimals=2", "42.13");
    row("negative halves too", "A\tnumber\tbase=-0.125 decimals=2", "-0.13");
    row("largest base, every digit", "A\tnumber\tbase=-1e15 decimals=2", "-1000000000000000.00");
    row("blanks between parameters", "A\tnumber\t  base=7   decimals=0  ", "7");
    row("counter", "A\tcounter\tstart=41 rate=3", "53");
    row("state with blanks", "A\tstate\tstates=High Strength period=5", "High Strength");
    row("text keeps commas", "A\ttext\tBatch 17, grade A", "Batch 17, grade A");
    row("empty text", "A\ttext", "");
    row("always empty", "A\tnumber\tbase=1 empty=1", "");
    row("kind in capitals", "A\tNUMBER\tbase=2", "2");
    row("empty name is published", "\tnumber\tbase=1", "1");
    row("CR LF line", "A\tnumber\tbase=3\r", "3");
}

void TestGatewayHub::tagFileLines() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, value);

    QStringList warnings;
    // Comments and blank lines around the line never count.
    const auto tags = gateway::ParseTagFile("# plant\n\n" + line + "\n   \n# end", &warnings);
    QCOMPARE(warnings, QStringList());
    QCOMPARE(tags.size(), size_t(1));
    gateway::TagTable plant;
    plant.SetTags(tags, 1);
    QCOMPARE(plant.Value(0, 4), value);
}

void TestGatewayHub::builtInPlantCoversTheLayoutCases() {
    const auto tags = gateway::BuiltInTags();
    QVERIFY(tags.size() >= 35);
    QStringList warnings;
    gateway::ParseTagFile(gateway::BuiltInTagFile(), &warnings);
    QCOMPARE(warnings, QStringList());
    QByteArrayList names;
    for (const TagDef& tag : tags)
        names.append(tag.name);
    for (const char* name : {"Kiln Inlet Temperature", "Boiler Feed Water Flow", "Tank1.Level",
                             "Line3.Speed.PV", "Line_3 Speed"})
        QVERIFY2(names.contains(name), name);
}

void TestGatewayHub::valuesAreReproducibleAndMove() {
    gateway::TagTable a;
    gateway::TagTable b;
    a.SetTags(gateway::BuiltInTags(), 42);
    b.SetTags(gateway::BuiltInTags(), 42);
    QCOMPARE(a.ValuesAnswer(12.3), b.ValuesAnswer(12.3));
    QVERIFY(a.ValuesAnswer(12.3) != a.ValuesAnswer(47.0));
}

// A large plant's answer is written in two halves at once; joined, they must be exactly the
// entries in tag order.
void TestGatewayHub::largePlantAnswerIsWholeAndInOrder() {
    gateway::TagTable plant;
    plant.SetTags(gateway::SyntheticTags(200'001), 7);
    const double seconds = 33.3;
    QByteArray expected;
    for (qsizetype i = 0; i < plant.Count(); ++i) {
        if (i > 0)
            expected += '\t';
        expected += plant.Tags()[size_t(i)].name + ',' + plant.Value(i, seconds);
    }
    const QByteArray answer = plant.ValuesAnswer(seconds);
    QCOMPARE(answer.size(), expected.size());
    QVERIFY(answer == expected);
}

// Live tags a source adds while running come after the others, in the order added, in both
// answers, also when the answer is written in two halves; a name already published is refused.
void TestGatewayHub::appendedTagsJoinTheAnswers() {
    gateway::LiveValues live;
    live.Reset({});
    gateway::TagTable plant;
    plant.SetLiveValues(&live);
    plant.SetTags(gateway::SyntheticTags(200'001), 7);
    const auto append = [&](const char* name) {
        TagDef tag;
        tag.name = name;
        tag.kind = TagDef::Kind::Live;
        tag.slot = live.Count();
        if (!plant.AppendTag(std::move(tag)))
            return false;
        live.Set(live.Add(0), QByteArray(name).toLower());
        return true;
    };
    QVERIFY(append("plant.b.x"));
    QVERIFY(append("plant.a.y"));
    QVERIFY(!append("Area00.Tag000001")); // a tag of the file
    QVERIFY(!append("plant.b.x"));
    QVERIFY(append("plant.c"));
    QCOMPARE(plant.Count(), 200'004);
    QVERIFY(plant.TagsAnswer().endsWith(",Area00.Tag200001,plant.b.x,plant.a.y,plant.c"));
    const double seconds = 12.5;
    QByteArray expected;
    for (qsizetype i = 0; i < plant.Count(); ++i) {
        if (i > 0)
            expected += '\t';
        expected += plant.Tags()[size_t(i)].name + ',' + plant.Value(i, seconds);
    }
    QVERIFY(expected.endsWith("\tplant.b.x,plant.b.x\tplant.a.y,plant.a.y\tplant.c,plant.c"));
    const QByteArray answer = plant.ValuesAnswer(seconds);
    QCOMPARE(answer.size(), expected.size());
    QVERIFY(answer == expected);

    // A new tag list forgets them.
    plant.SetTags(gateway::SyntheticTags(2), 7);
    QVERIFY(append("plant.b.x"));
    QCOMPARE(plant.TagsAnswer(), QByteArray("Area00.Tag000001,Area00.Tag000002,plant.b.x"));
}

void TestGatewayHub::answersMatchTagList_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("count");
    QTest::newRow("built-in plant") << QStringList() << int(gateway::BuiltInTags().size());
    QTest::newRow("no tags") << QStringList{"--synthetic", "0"} << 0;
    QTest::newRow("100,000 synthetic") << QStringList{"--synthetic", "100000"} << 100000;
}

void TestGatewayHub::answersMatchTagList() {
    QFETCH(QStringList, arguments);
    QFETCH(int, count);
    HubProcess hub;
    QVERIFY(hub.Start(arguments << QStringLiteral("--quiet")));
    SVComSrvClass reader(hub.name());
    reader.SetTimeoutMs(30000); // sanitizer builds are slow with 100,000 tags

    // Commands are exact: others get an empty answer, and the connection stays good.
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAG")), QString());
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:gettags")), QString());
    const QString tags = reader.ReadInputFile(QStringLiteral("HUB:GETTAGS"));
    const QStringList names = tags.isEmpty() ? QStringList() : tags.split(QLatin1Char(','));
    QCOMPARE(names.size(), count);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), count);

    for (int round = 0; round < 2; ++round)
        QCOMPARE(Names(reader.ReadInputFile(hub.TcpPrefix() + "GETVALUES")), names);
}

void TestGatewayHub::reloadsChangedTagFile() {
    HubProcess hub;
    const QString path = hub.WriteTags("Tank1.Level\tnumber\tbase=50\nBatch\ttext\tA, B\n");
    QVERIFY(hub.Start({QStringLiteral("--tags"), path}));
    SVComSrvClass reader(hub.name());
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")),
             QStringLiteral("Tank1.Level,Batch"));
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETVALUES")),
             QStringLiteral("Tank1.Level,50\tBatch,A, B"));

    const QString changed = QStringLiteral("Tank1.Level,Line_3 Speed,Batch");
    QVERIFY(!hub.WriteTags("Tank1.Level\tnumber\tbase=50\nLine_3 Speed\tcounter\n"
                           "Batch\ttext\tA, B\n")
                 .isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), changed, 15000);

    // A file with a broken line is refused as a whole, naming file and line; the last good
    // tags stay published.
    QVERIFY(!hub.WriteTags("Tank1.Level\tnumber\tbase=50\nBroken line\n").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral("refused; keeping the tags")),
                             15000);
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), changed);
    QCOMPARE(hub.Stop(), 0);
    QVERIFY2(hub.Log().contains(path + QStringLiteral(": line 2: expected name<TAB>kind")),
             qPrintable(hub.Log()));
}

void TestGatewayHub::servesManyClients() {
    HubProcess hub;
    QVERIFY(hub.Start());
    std::vector<std::unique_ptr<SVComSrvClass>> readers;
    for (int i = 0; i < 20; ++i)
        readers.push_back(std::make_unique<SVComSrvClass>(hub.name()));
    // Each reader keeps its own connection open while the others ask.
    for (int round = 0; round < 3; ++round)
        for (size_t i = 0; i < readers.size(); ++i) {
            const QString prefix = i % 2 ? QStringLiteral("HUB:") : hub.TcpPrefix();
            QVERIFY(!readers[i]->ReadInputFile(prefix + QStringLiteral("GETVALUES")).isEmpty());
        }
    readers.clear();
    QCOMPARE(hub.Stop(), 0);
    QCOMPARE(hub.Log().count(QStringLiteral(" connected (")), 20);
    // Listening on the loopback only, the hub has no reason to warn.
    QVERIFY(!hub.Log().contains(QStringLiteral("authentication")));
}

void TestGatewayHub::refusesToStart_data() {
    QTest::addColumn<QStringList>("arguments"); // %1 stands for the tag file
    QTest::addColumn<QByteArray>("tagFile");
    QTest::addColumn<int>("exitCode"); // -1: any but 0
    QTest::addColumn<QStringList>("errors");
    const auto bad = [](const char* name, const QStringList& arguments) {
        QTest::newRow(name) << arguments << QByteArray() << -1 << QStringList();
    };
    bad("port out of range", {"--port", "70000"});
    bad("address is no address", {"--listen", "example.com"});
    // The misbehaving modes are only in the build for tests.
    bad("no fault modes", {"--fault", "stall"});
    bad("tags and synthetic", {"--synthetic", "5", "--tags", "x"});
    bad("missing tag file", {"--tags", "/nonexistent/plant.tags"});
    bad("stray argument", {"extra"});
    QTest::newRow("faulty tag file")
        << QStringList{"--tags", "%1"}
        << QByteArray("A\tnumber\nplc\tdevice\tpassword=x\nB\tmodbus\tdevice=plc9\n") << 2
        << QStringList{"%1: line 2: unknown parameter \"password\"",
                       "%1: line 3: unknown device \"plc9\""};
    // An address of the documentation range: not on this machine, so the hub warns and then
    // cannot listen, and nothing is opened beyond the loopback.
    QTest::newRow("listening beyond loopback")
        << QStringList{"--listen", "192.0.2.1"} << QByteArray() << -1
        << QStringList{"wire protocol v1 has no authentication"};
}

void TestGatewayHub::refusesToStart() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, tagFile);
    QFETCH(int, exitCode);
    QFETCH(QStringList, errors);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.tags"));
    if (!tagFile.isEmpty())
        QVERIFY(WriteFile(path, tagFile));
    arguments.replaceInStrings(QStringLiteral("%1"), path);
    QProcess hub;
    // A free port and a fresh name come first, so nothing fixed is touched should an option
    // be accepted after all; the row's own options come later and win.
    hub.start(HubProcess::Executable(),
              QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--name"),
                          HubProcess::UniqueName()} +
                  arguments);
    QVERIFY(hub.waitForFinished(20000));
    if (exitCode < 0)
        QVERIFY(hub.exitCode() != 0);
    else
        QCOMPARE(hub.exitCode(), exitCode);
    QVERIFY(hub.readAllStandardOutput().isEmpty());
    const QString stderrText = QString::fromLocal8Bit(hub.readAllStandardError());
    QVERIFY(!stderrText.isEmpty());
    for (const QString& error : errors)
        QVERIFY2(stderrText.contains(QString(error).replace(QStringLiteral("%1"), path)),
                 qPrintable(stderrText));
}

QTEST_GUILESS_MAIN(TestGatewayHub)
#include "test_gateway_hub.moc"
