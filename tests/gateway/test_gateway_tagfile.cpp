// Following the tag file: the real hub against files that are not what they should be (a
// FIFO, an endless device, a huge file, a folder, an emptied or faulty file, a file still
// being written), SIGHUP, and the warning about a password other users may read. Every hub
// runs with --quiet, which must never hide a refused file.

#include "base/Log.h"
#include "gateway/TagFileFollower.h"
#include "hub/HubReader.h"
#include "support/HubProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Larger than the 64 MiB the hub reads; sparse, so it takes no room.
constexpr qint64 HugeBytes = qint64(2560) * 1024 * 1024;

const QByteArray GoodTags = "A\tnumber\tbase=1\nB\ttext\tb\n";

// Puts something other than a good tag file at `path`: `how` names what. False when the
// system would not.
bool PutBadFile(const QString& path, const QString& how) {
    const QByteArray native = QFile::encodeName(path);
    if (how == QLatin1String("fifo"))
        return QFile::remove(path) && ::mkfifo(native.constData(), 0600) == 0;
    if (how == QLatin1String("endless"))
        return QFile::remove(path) && QFile::link(QStringLiteral("/dev/zero"), path);
    if (how == QLatin1String("huge")) // grows in place, as a runaway writer would
        return QFile::resize(path, HugeBytes);
    if (how == QLatin1String("folder"))
        return QFile::remove(path) && QDir().mkdir(path);
    if (how == QLatin1String("emptied"))
        return QFile::resize(path, 0);
    if (how == QLatin1String("faulty"))
        return WriteFile(path, "A\tnumber\tbase=1\nBroken line\n");
    return false;
}

// Takes away whatever PutBadFile left, so a good file can be written there.
void RemoveBadFile(const QString& path) {
    if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// The state letter of a process in /proc ('T' when stopped).
char ProcessState(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && close + 2 < text.size() ? text[close + 2] : '?';
}

} // namespace

class TestGatewayTagFile : public QObject {
    Q_OBJECT

private slots:
    void refusesToStart_data();
    void refusesToStart();
    void keepsTagsWhenFileGoesBad_data();
    void keepsTagsWhenFileGoesBad();
    void neverPublishesHalfAFile();
    void reloadsOnSighup();
    void warnsOfReadablePassword_data();
    void warnsOfReadablePassword();
    void warnsOfOldNumbering();
};

// A tag file that cannot be read at start fails at once, saying why, with status 2.
void TestGatewayTagFile::refusesToStart_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("message"); // after "cannot read tag file PATH: it "
    QTest::newRow("FIFO") << "fifo"
                          << "is not a regular file";
    QTest::newRow("symlink to /dev/zero") << "endless"
                                          << "is not a regular file";
    QTest::newRow("2.5 GB sparse file") << "huge"
                                        << "is larger than 64 MiB";
    QTest::newRow("folder") << "folder"
                            << "is a folder, not a file";
}

void TestGatewayTagFile::refusesToStart() {
    QFETCH(QString, how);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.tags"));
    QVERIFY(WriteFile(path, GoodTags));
    QVERIFY(PutBadFile(path, how));
    QProcess hub;
    hub.start(HubProcess::Executable(),
              {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--name"),
               HubProcess::UniqueName(), QStringLiteral("--quiet"), QStringLiteral("--tags"),
               path});
    const bool finished = hub.waitForFinished(15000);
    if (!finished) {
        hub.kill();
        hub.waitForFinished(5000);
    }
    QVERIFY2(finished, "the hub hung on the tag file");
    QCOMPARE(hub.exitStatus(), QProcess::NormalExit);
    QCOMPARE(hub.exitCode(), 2);
    QVERIFY(hub.readAllStandardOutput().isEmpty());
    const QString log = QString::fromLocal8Bit(hub.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral("cannot read tag file %1: it %2").arg(path, message)),
             qPrintable(log));
    RemoveBadFile(path);
}

// While running, a bad version is said once (also under --quiet), the last good tags stay
// served and the hub keeps answering; a good file put back is served again.
void TestGatewayTagFile::keepsTagsWhenFileGoesBad_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("message"); // %1 stands for the path
    QTest::addColumn<bool>("watchLonger");
    QTest::addColumn<bool>("sameBack"); // the version in service comes back, not a new one
    const QString unreadable = QStringLiteral("cannot read tag file %1: it ");
    QTest::newRow("replaced by a FIFO")
        << "fifo" << unreadable + QStringLiteral("is not a regular file") << false << true;
    QTest::newRow("replaced by a symlink to /dev/zero")
        << "endless" << unreadable + QStringLiteral("is not a regular file") << false << false;
    QTest::newRow("grown to a 2.5 GB sparse file")
        << "huge" << unreadable + QStringLiteral("is larger than 64 MiB") << false << false;
    // Nothing about a folder changes by itself: it must be said once, not once a second.
    QTest::newRow("replaced by a folder")
        << "folder" << unreadable + QStringLiteral("is a folder, not a file") << true << false;
    QTest::newRow("truncated to 0 bytes")
        << "emptied" << QStringLiteral("%1 holds no tags") << false << true;
    QTest::newRow("faulty") << "faulty" << QStringLiteral("%1 refused") << false << false;
}

void TestGatewayTagFile::keepsTagsWhenFileGoesBad() {
    QFETCH(QString, how);
    QFETCH(QString, message);
    QFETCH(bool, watchLonger);
    QFETCH(bool, sameBack);
    HubProcess hub;
    const QString path = hub.WriteTags(GoodTags);
    QVERIFY(hub.Start({QStringLiteral("--quiet"), QStringLiteral("--tags"), path}));
    SVComSrvClass reader(hub.name());
    reader.SetTimeoutMs(5000);
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QStringLiteral("A,B"));

    QVERIFY(PutBadFile(path, how));
    const QString line = message.arg(path) + QStringLiteral("; keeping the tags served");
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(line), 15000);
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QStringLiteral("A,B"));
    QCOMPARE(reader.ReadInputFile(hub.TcpPrefix() + QStringLiteral("GETVALUES")),
             QStringLiteral("A,1\tB,b"));

    if (watchLonger) {
        // Something that must not happen takes a while to be sure of: more than three of the
        // hub's once-a-second looks, with the folder's contents changing meanwhile.
        for (int i = 0; i < 7; ++i) {
            QVERIFY(WriteFile(QDir(path).filePath(QStringLiteral("note%1").arg(i)), "x"));
            QTest::qWait(500);
        }
    }

    // A good file put back is served, and the hub says so, so the log never ends on a
    // problem that is over.
    RemoveBadFile(path);
    if (sameBack) {
        QVERIFY(WriteFile(path, GoodTags));
        QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(path + QStringLiteral(" is unchanged; "
                                                                          "keeping its 2 tags")),
                                 15000);
        QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QStringLiteral("A,B"));
    } else {
        QVERIFY(WriteFile(path, GoodTags + "C\tcounter\n"));
        QTRY_COMPARE_WITH_TIMEOUT(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")),
                                  QStringLiteral("A,B,C"), 15000);
        QVERIFY2(hub.Log().contains(QStringLiteral("reloaded 3 tags from ") + path),
                 qPrintable(hub.Log()));
    }
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QVERIFY2(log.count(QStringLiteral("keeping the tags served")) == 1, qPrintable(log));
}

// A large file written in place slowly, in blocks with pauses shorter than the settle time,
// is published once, whole: never a part of it, and never the emptied file it starts as.
void TestGatewayTagFile::neverPublishesHalfAFile() {
    constexpr int Tags = 100'000;
    constexpr int Blocks = 8;
    HubProcess hub;
    const QString path = hub.WriteTags(GoodTags);
    QVERIFY(hub.Start({QStringLiteral("--quiet"), QStringLiteral("--tags"), path}));
    SVComSrvClass reader(hub.name());
    reader.SetTimeoutMs(30000); // sanitizer builds are slow with 100,000 tags

    QByteArray text;
    for (int i = 0; i < Tags; ++i)
        text +=
            "Tag" + QByteArray::number(i) + "\tnumber\tbase=" + QByteArray::number(i % 1000) + "\n";
    // Each block ends at a line's end, so every part written so far is a good tag file.
    QList<qsizetype> ends;
    for (int b = 1; b < Blocks; ++b)
        ends << text.indexOf('\n', text.size() * b / Blocks) + 1;
    ends << text.size();

    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate)); // in place, emptied first
    qsizetype written = 0;
    QTimer writer;
    writer.setInterval(150);
    connect(&writer, &QTimer::timeout, this, [&] {
        const qsizetype end = ends.takeFirst();
        file.write(text.constData() + written, end - written);
        file.flush();
        written = end;
        if (ends.isEmpty()) {
            writer.stop();
            file.close();
        }
    });
    writer.start();

    const QString old = QStringLiteral("A,B");
    QStringList wrong; // the tag counts of lists that were neither the old nor the new one
    int newCount = 0;
    const auto servesNewList = [&] {
        const QString tags = reader.ReadInputFile(QStringLiteral("HUB:GETTAGS"));
        if (tags == old)
            return false;
        const QStringList names = tags.split(QLatin1Char(','));
        if (names.size() != Tags || names.front() != QLatin1String("Tag0") ||
            names.back() != QStringLiteral("Tag%1").arg(Tags - 1)) {
            wrong << QString::number(tags.isEmpty() ? 0 : names.size());
            return false;
        }
        ++newCount;
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(servesNewList() || !wrong.isEmpty(), 60000);
    QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("partial lists of ") + wrong.join(", ")));
    QVERIFY(ends.isEmpty());
    QCOMPARE(hub.Stop(), 0);
    const QString log = hub.Log();
    QVERIFY2(log.count(QStringLiteral("reloaded ")) == 1 &&
                 log.contains(QStringLiteral("reloaded 100000 tags")),
             qPrintable(log));
    QVERIFY2(!log.contains(QStringLiteral("keeping the tags served")), qPrintable(log));
}

// SIGHUP (systemctl reload) reads the file at once: here a change the follower cannot see,
// written while the hub is stopped, of the same size and with the old modification time put
// back.
void TestGatewayTagFile::reloadsOnSighup() {
    HubProcess hub;
    const QString path = hub.WriteTags("A\tnumber\tbase=1\nB\tnumber\tbase=2\n");
    QVERIFY(hub.Start({QStringLiteral("--quiet"), QStringLiteral("--tags"), path}));
    SVComSrvClass reader(hub.name());
    reader.SetTimeoutMs(5000);
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QStringLiteral("A,B"));

    const QByteArray native = QFile::encodeName(path);
    struct stat before {};
    QCOMPARE(::stat(native.constData(), &before), 0);
    const auto pid = pid_t(hub.pid());
    QCOMPARE(::kill(pid, SIGSTOP), 0);
    QTRY_COMPARE_WITH_TIMEOUT(ProcessState(pid), 'T', 5000);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite)); // in place, no truncation
        QCOMPARE(file.write("A\tnumber\tbase=1\nC\tnumber\tbase=2\n"), qint64(before.st_size));
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, native.constData(), times, 0), 0);
    QCOMPARE(::kill(pid, SIGCONT), 0);
    // The change is there, but nothing the follower looks at tells it.
    QCOMPARE(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")), QStringLiteral("A,B"));

    QCOMPARE(::kill(pid, SIGHUP), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reader.ReadInputFile(QStringLiteral("HUB:GETTAGS")),
                              QStringLiteral("A,C"), 5000);
    // Asked again, the hub says the file is as it was.
    QCOMPARE(::kill(pid, SIGHUP), 0);
    QTRY_VERIFY_WITH_TIMEOUT(hub.Log().contains(QStringLiteral("is unchanged; keeping its 2 tags")),
                             5000);
    QCOMPARE(hub.Stop(), 0);
    QVERIFY2(hub.Log().contains(QStringLiteral("reloaded 2 tags from ") + path),
             qPrintable(hub.Log()));
}

// A password in a file that other users may read is a warning at every load.
void TestGatewayTagFile::warnsOfReadablePassword_data() {
    QTest::addColumn<QByteArray>("broker");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("warns");
    const QByteArray inFile = "site\tbroker\thost=127.0.0.1 user=hub password=Hunter2\n";
    const QByteArray fromVariable =
        "site\tbroker\thost=127.0.0.1 user=hub passwordenv=SVC_TEST_TAGFILE_PASSWORD\n";
    QTest::newRow("password, others may read") << inFile << 0644 << true;
    QTest::newRow("password, the group may read") << inFile << 0640 << true;
    QTest::newRow("password, owner only") << inFile << 0600 << false;
    QTest::newRow("passwordenv, others may read") << fromVariable << 0644 << false;
}

void TestGatewayTagFile::warnsOfReadablePassword() {
    QFETCH(QByteArray, broker);
    QFETCH(int, mode);
    QFETCH(bool, warns);
    qputenv("SVC_TEST_TAGFILE_PASSWORD", "Hunter2");
    QStringList warnings;
    logging::SetSink([&warnings](logging::Level level, const QString& text) {
        if (level == logging::Level::Warning)
            warnings << text;
    });
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.tags"));
    const QByteArray native = QFile::encodeName(path);
    QVERIFY(WriteFile(path, broker + "T\tmqtt\tbroker=site topic=t\n"));
    QCOMPARE(::chmod(native.constData(), mode_t(mode)), 0);
    int loads = 0;
    gateway::TagFileFollower follower(path, [&loads](gateway::HubConfig, bool) { ++loads; });
    QString error;
    QVERIFY2(follower.Load(&error), qPrintable(error));
    // A new version loaded is warned about again.
    QVERIFY(WriteFile(path, broker + "T\tmqtt\tbroker=site topic=t2\n"));
    QCOMPARE(::chmod(native.constData(), mode_t(mode)), 0);
    follower.ReloadNow();
    logging::SetSink({});
    QCOMPARE(loads, 2);
    const QString warning = path +
                            QStringLiteral(" holds a password that other users may read; "
                                           "give it with passwordenv= instead, or chmod "
                                           "600 ") +
                            path;
    QCOMPARE(warnings, warns ? QStringList({warning, warning}) : QStringList());
}

// A Modbus address that looks like the old numbering is used, with a warning at every load.
void TestGatewayTagFile::warnsOfOldNumbering() {
    QStringList warnings;
    logging::SetSink([&warnings](logging::Level level, const QString& text) {
        if (level == logging::Level::Warning)
            warnings << text;
    });
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("plant.tags"));
    const QByteArray device = "plc\tdevice\thost=127.0.0.1\n";
    QVERIFY(WriteFile(path, device + "T\tmodbus\tdevice=plc address=40001\n"));
    int loads = 0;
    gateway::TagFileFollower follower(path, [&loads](gateway::HubConfig, bool) { ++loads; });
    QString error;
    QVERIFY2(follower.Load(&error), qPrintable(error));
    QVERIFY(WriteFile(path, device + "T\tmodbus\tdevice=plc register=40001\n"));
    follower.ReloadNow();
    logging::SetSink({});
    QCOMPARE(loads, 2);
    QCOMPARE(warnings,
             QStringList{path + QStringLiteral(": line 2: address=40001 is 0-based, as sent in "
                                               "requests; if it is register 40001 of the old "
                                               "numbering, write register=40001 instead (it is "
                                               "address=0 of table holding)")});
}

QTEST_GUILESS_MAIN(TestGatewayTagFile)
#include "test_gateway_tagfile.moc"
