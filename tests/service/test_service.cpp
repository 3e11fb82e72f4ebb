// The hub as a system service: the unit in data/ passes systemd's own checks and stays rated
// "OK" for its confinement; the hub started with the unit's arguments serves the shipped tag
// file, and ends a start that cannot succeed with a status the unit does not restart; it logs
// with the journal's priorities exactly when its standard error is the journal; and it runs
// where memory may never be writable and executable at once (MemoryDenyWriteExecute=).

#include "hub/HubReader.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__) && defined(__x86_64__)
#define SVC_HAVE_SECCOMP 1
#include <cstddef>
#include <iterator>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#endif

namespace {

const QString InstalledHub = QStringLiteral("/usr/lib/svcorblex/svcorblex-hub");
const QString InstalledTags = QStringLiteral("/etc/svcorblex/hub.tags");
// systemd-analyze's rating of the unit's exposure, from 0 (confined) to 10; "OK" up to 2.5
// (it tops out at 9.6 for a unit with no confinement at all).
constexpr double MostExposure = 2.5;

QString SourceFile(const QString& relative) {
    return QStringLiteral(SVC_SOURCE_DIR "/") + relative;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

QString UnitText() {
    return QString::fromUtf8(ReadAll(SourceFile(QStringLiteral("data/svcorblex-hub.service"))));
}

// The value of the last "key=value" line of the unit (a later line overrides an earlier one).
QString UnitValue(const QString& unit, const QString& key) {
    QString value;
    for (const QString& line : unit.split(QLatin1Char('\n')))
        if (line.startsWith(key + QLatin1Char('=')))
            value = line.mid(key.size() + 1).trimmed();
    return value;
}

// The unit as shipped, but starting the hub of this build; written as svcorblex-hub.service in
// `dir`, since systemd takes the unit's name from the file's.
QString WriteUnit(const QTemporaryDir& dir, QString text) {
    text.replace(InstalledHub,
                 QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub"));
    const QString path = dir.filePath(QStringLiteral("svcorblex-hub.service"));
    return WriteAll(path, text.toUtf8()) ? path : QString();
}

struct Result {
    int exitCode = -1;
    QString output;
};

Result Analyze(const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("systemd-analyze"), arguments);
    Result result;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    result.output = QString::fromLocal8Bit(process.readAll());
    return result;
}

// The hub's arguments from the unit's ExecStart= line, reading `tags` instead of the installed
// tag file, on a free port instead of 6000 (a later --port wins).
QStringList UnitArguments(const QString& tags) {
    QStringList words = UnitValue(UnitText(), QStringLiteral("ExecStart"))
                            .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty() || words.takeFirst() != InstalledHub)
        return {};
    for (QString& word : words)
        if (word == InstalledTags)
            word = tags;
    return words << QStringLiteral("--port") << QStringLiteral("0");
}

// "device:inode" of a file, as systemd puts that of the journal's stream into JOURNAL_STREAM.
QByteArray DeviceAndInode(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return QByteArray::number(qulonglong(info.st_dev)) + ':' +
           QByteArray::number(qulonglong(info.st_ino));
}

// The built hub, started as the unit starts it: its tag file, a runtime folder of its own for
// the local endpoint, and standard error going to a file.
class ServiceHub {
public:
    ServiceHub() {
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.remove(QStringLiteral("JOURNAL_STREAM"));
        environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime_.path());
        errorFile_ = files_.filePath(QStringLiteral("stderr.log"));
        WriteAll(errorFile_, {});
    }
    ~ServiceHub() { Stop(); }
    ServiceHub(const ServiceHub&) = delete;
    ServiceHub& operator=(const ServiceHub&) = delete;

    QString FilePath(const QString& name) const { return files_.filePath(name); }
    const QString& ErrorFile() const { return errorFile_; }
    QString Errors() const { return QString::fromLocal8Bit(ReadAll(errorFile_)); }
    void SetEnvironment(const QString& name, const QByteArray& value) {
        environment_.insert(name, QString::fromLocal8Bit(value));
    }
    void SetChildSetup(std::function<void()> setup) {
        process_.setChildProcessModifier(std::move(setup));
    }

    // Starts the hub; true once it has said where it listens (within 20 s).
    bool Start(const QString& tags) {
        const QStringList arguments = UnitArguments(tags);
        if (arguments.isEmpty())
            return false;
        process_.setProcessEnvironment(environment_);
        process_.setStandardErrorFile(errorFile_, QIODevice::Append);
        process_.start(QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub"),
                       arguments);
        if (!process_.waitForStarted(20000))
            return false;
        QByteArray out;
        const QDeadlineTimer deadline(20000);
        while (!out.contains('\n') && !deadline.hasExpired() &&
               process_.waitForReadyRead(int(deadline.remainingTime())))
            out += process_.readAllStandardOutput();
        static const QRegularExpression where(QStringLiteral(":(\\d+) and local endpoint "));
        const auto match = where.match(QString::fromLocal8Bit(out));
        port_ = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
        return port_ != 0;
    }

    // The exit code of a hub that ends by itself within 20 s; -1 when it does not, or crashes.
    int WaitForExit() {
        if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(20000))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    // SIGTERM, as systemctl stop sends; the exit code, -1 for a crash or a hub that hangs.
    int Stop() {
        if (process_.state() == QProcess::NotRunning)
            return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished(10000);
            return -1;
        }
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    QString Ask(const QString& command) {
        SVComSrvClass reader;
        reader.SetSilent(true);
        return reader.ReadInputFile(QStringLiteral("TCP:127.0.0.1:%1!").arg(port_) + command);
    }

private:
    QTemporaryDir runtime_;
    QTemporaryDir files_;
    QString errorFile_;
    QProcessEnvironment environment_;
    QProcess process_;
    quint16 port_ = 0;
};

// The tag names a tag file defines, in order: the first field of each line that is neither
// blank nor a comment, and not a broker or device.
QStringList TagNames(const QByteArray& file) {
    QStringList names;
    for (const QByteArray& line : file.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (line.trimmed().isEmpty() || line.trimmed().startsWith('#') || fields.size() < 2)
            continue;
        const QByteArray kind = fields[1].trimmed().toLower();
        if (kind != "broker" && kind != "device")
            names << QString::fromUtf8(fields[0]);
    }
    return names;
}

#ifdef SVC_HAVE_SECCOMP
// Refuses with EPERM what MemoryDenyWriteExecute=yes refuses (systemd does it with the same
// kind of filter): a mapping both writable and executable, making memory executable later, and
// executable shared memory. Runs in the child before it starts the hub, checks that the filter
// bites, and ends the child (status 120 to 122) instead of starting the hub when it does not.
void DenyWriteExecute() {
    constexpr auto Arch = offsetof(seccomp_data, arch);
    constexpr auto Number = offsetof(seccomp_data, nr);
    constexpr auto Protection = offsetof(seccomp_data, args[2]); // its low half on x86-64
    constexpr unsigned WriteExecute = PROT_WRITE | PROT_EXEC;
    // Jumps count the instructions they skip; the comments number them.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Arch),                                  // 0
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),              // 1: to 3
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),                              // 2
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Number),                                // 3
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mmap, 0, 3),                      // 4: else 8
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Protection),                            // 5
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, WriteExecute),                         // 6
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, WriteExecute, 8, 7),                   // 7: 16 else 15
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mprotect, 2, 0),                  // 8: to 11
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pkey_mprotect, 1, 0),             // 9: to 11
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_shmat, 2, 4),                     // 10: 13 else 15
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Protection),                            // 11
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 3, 2),                     // 12: 16 else 15
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Protection),                            // 13
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, SHM_EXEC, 1, 0),                      // 14: 16 else 15
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),                              // 15
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)), // 16
    };
    sock_fprog filter{};
    filter.len = static_cast<unsigned short>(std::size(program));
    filter.filter = program;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0)
        ::_exit(120);
    void* probe = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe != MAP_FAILED || errno != EPERM)
        ::_exit(121);
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED || ::mprotect(page, 4096, PROT_READ | PROT_EXEC) == 0 || errno != EPERM)
        ::_exit(122);
    ::munmap(page, 4096);
}
#endif

} // namespace

class TestService : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void unitVerifies_data();
    void unitVerifies();
    void unitIsConfined_data();
    void unitIsConfined();
    void unitServesShippedTagFile();
    void startThatCannotSucceedIsNotRestarted_data();
    void startThatCannotSucceedIsNotRestarted();
    void journalPriorities_data();
    void journalPriorities();
    void runsWithoutWritableExecutableMemory();
};

void TestService::initTestCase() {
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty(),
             "systemd-analyze is missing: install Debian's systemd package (scripts/deps.sh)");
    QVERIFY2(UnitText().contains(QStringLiteral("ExecStart=") + InstalledHub),
             "the unit does not start the installed hub");
}

void TestService::unitVerifies_data() {
    QTest::addColumn<QString>("extraLine"); // added at the end of [Service]
    QTest::addColumn<bool>("clean");
    QTest::newRow("as shipped") << QString() << true;
    // systemd-analyze verify exits 0 on a misspelt or unreadable setting and only says so:
    // anything it prints counts as a fault.
    QTest::newRow("misspelt setting") << QStringLiteral("ProtectSytem=strict") << false;
    QTest::newRow("bad value") << QStringLiteral("RestartSec=soon") << false;
}

void TestService::unitVerifies() {
    QFETCH(QString, extraLine);
    QFETCH(bool, clean);
    QString text = UnitText();
    if (!extraLine.isEmpty())
        text.replace(QStringLiteral("\n[Install]"),
                     QLatin1Char('\n') + extraLine + QStringLiteral("\n\n[Install]"));
    QTemporaryDir dir;
    const QString unit = WriteUnit(dir, text);
    QVERIFY(!unit.isEmpty());

    const Result result = Analyze({QStringLiteral("verify"), unit});
    QVERIFY2((result.exitCode == 0 && result.output.trimmed().isEmpty()) == clean,
             qPrintable(QStringLiteral("exit %1: %2").arg(result.exitCode).arg(result.output)));
}

void TestService::unitIsConfined_data() {
    QTest::addColumn<bool>("confined");
    QTest::newRow("as shipped") << true;
    // The same unit with every line of its confinement taken out rates far worse; this keeps
    // the check honest about reading the rating.
    QTest::newRow("without confinement") << false;
}

void TestService::unitIsConfined() {
    QFETCH(bool, confined);
    QString text = UnitText();
    if (!confined) {
        const qsizetype from = text.indexOf(QStringLiteral("\nDynamicUser="));
        const qsizetype to = text.indexOf(QStringLiteral("\n[Install]"));
        QVERIFY(from > 0 && to > from);
        text.remove(from, to - from);
    }
    QTemporaryDir dir;
    const QString unit = WriteUnit(dir, text);
    QVERIFY(!unit.isEmpty());

    const Result result = Analyze({QStringLiteral("security"), QStringLiteral("--offline=true"),
                                   QStringLiteral("--no-pager"), unit});
    static const QRegularExpression overall(
        QStringLiteral("Overall exposure level for svcorblex-hub\\.service: (\\d+\\.\\d+) (\\w+)"));
    const auto match = overall.match(result.output);
    QVERIFY2(match.hasMatch(), qPrintable(result.output));
    const double exposure = match.captured(1).toDouble();
    if (confined) {
        QVERIFY2(exposure <= MostExposure && match.captured(2) == QStringLiteral("OK"),
                 qPrintable(match.captured(0)));
        QCOMPARE(result.exitCode, 0);
    } else {
        QVERIFY2(exposure > MostExposure, qPrintable(match.captured(0)));
    }
}

void TestService::unitServesShippedTagFile() {
    const QString tags = SourceFile(QStringLiteral("data/hub.tags"));
    const QStringList names = TagNames(ReadAll(tags));
    QVERIFY(!names.isEmpty());
    ServiceHub hub;
    QVERIFY2(hub.Start(tags), qPrintable(hub.Errors()));
    QCOMPARE(hub.Ask(QStringLiteral("GETTAGS")), names.join(QLatin1Char(',')));
    QCOMPARE(hub.Stop(), 0);
    // The shipped file has nothing to complain about.
    const QString errors = hub.Errors();
    QVERIFY2(errors.contains(QStringLiteral("loaded %1 tags").arg(names.size())),
             qPrintable(errors));
    QVERIFY2(!errors.contains(QStringLiteral("line ")), qPrintable(errors));
}

void TestService::startThatCannotSucceedIsNotRestarted_data() {
    QTest::addColumn<QByteArray>("tagFile"); // empty: no file at all
    QTest::newRow("faulty line") << QByteArray("Tank\tnumber\tbase=1\nBroken line\n");
    QTest::newRow("unknown device") << QByteArray("Speed\tmodbus\tdevice=plc9\n");
    QTest::newRow("password variable not set")
        << QByteArray("site\tbroker\tpasswordenv=SVC_TEST_NO_SUCH_VARIABLE\n"
                      "Level\tmqtt\tbroker=site topic=a/b\n");
    QTest::newRow("no file") << QByteArray();
}

// Restarting a hub whose tag file is faulty or missing would fail again at once, for ever: the
// hub ends with a status that the unit's RestartPreventExitStatus= holds.
void TestService::startThatCannotSucceedIsNotRestarted() {
    QFETCH(QByteArray, tagFile);
    ServiceHub hub;
    const QString tags = hub.FilePath(QStringLiteral("hub.tags"));
    if (!tagFile.isEmpty())
        QVERIFY(WriteAll(tags, tagFile));
    QVERIFY(!hub.Start(tags));
    const int code = hub.WaitForExit();
    QVERIFY2(code > 0, qPrintable(hub.Errors()));
    const QStringList prevented = UnitValue(UnitText(), QStringLiteral("RestartPreventExitStatus"))
                                      .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QVERIFY2(prevented.contains(QString::number(code)),
             qPrintable(QStringLiteral("exit %1 is restarted").arg(code)));
    QVERIFY2(hub.Errors().contains(tags), qPrintable(hub.Errors()));
}

void TestService::journalPriorities_data() {
    QTest::addColumn<QString>("stream");
    QTest::addColumn<bool>("prefixed");
    QTest::newRow("standard error is the journal") << QStringLiteral("stderr") << true;
    // A service that sends its standard error elsewhere still has the variable.
    QTest::newRow("journal is another file") << QStringLiteral("other") << false;
    QTest::newRow("no journal") << QString() << false;
}

// Each level of line carries the journal's priority in front when standard error is the
// journal's stream (systemd names it in JOURNAL_STREAM), and none otherwise.
void TestService::journalPriorities() {
    QFETCH(QString, stream);
    QFETCH(bool, prefixed);
    ServiceHub hub;
    const QString tags = hub.FilePath(QStringLiteral("plant.tags"));
    QVERIFY(WriteAll(tags, "Tank\tnumber\tbase=1\n"));
    if (stream == QStringLiteral("stderr"))
        hub.SetEnvironment(QStringLiteral("JOURNAL_STREAM"), DeviceAndInode(hub.ErrorFile()));
    else if (stream == QStringLiteral("other"))
        hub.SetEnvironment(QStringLiteral("JOURNAL_STREAM"), DeviceAndInode(tags));
    QVERIFY2(hub.Start(tags), qPrintable(hub.Errors()));

    QVERIFY(!hub.Ask(QStringLiteral("GETTAGS")).isEmpty()); // a client: info
    // A faulty new version: an error naming the line, then a warning that it is refused.
    QVERIFY(WriteAll(tags, "Tank\tnumber\tbase=1\nBroken line\n"));
    const QString escapedTags = QRegularExpression::escape(tags);
    const QRegularExpression aboutTheFile(QStringLiteral("^(<\\d>)?svcorblex-hub: ") + escapedTags,
                                          QRegularExpression::MultilineOption);
    QTRY_VERIFY_WITH_TIMEOUT(hub.Errors().count(aboutTheFile) >= 2, 15000);
    QCOMPARE(hub.Stop(), 0);

    const QString errors = hub.Errors();
    const struct {
        int priority;
        QString text;
    } expected[] = {
        {5, QStringLiteral("loaded 1 tags from ") + escapedTags},
        {6, QStringLiteral("client \\d+ connected")},
        {3, escapedTags + QStringLiteral(": line 2: ")},
        {4, escapedTags},
        {5, QStringLiteral("stopped$")},
    };
    for (const auto& line : expected) {
        const QString priority = prefixed ? QStringLiteral("<%1>").arg(line.priority) : QString();
        const QRegularExpression pattern(QLatin1Char('^') + priority +
                                             QStringLiteral("svcorblex-hub: ") + line.text,
                                         QRegularExpression::MultilineOption);
        QVERIFY2(errors.contains(pattern),
                 qPrintable(pattern.pattern() + QStringLiteral(" not in:\n") + errors));
    }
    // Every line, not only those above.
    const QRegularExpression start(prefixed ? QStringLiteral("^<[3-6]>svcorblex-hub: ")
                                            : QStringLiteral("^svcorblex-hub: "));
    for (const QString& line : errors.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(line.contains(start), qPrintable(line));
}

// Qt compiles the tag file's regular expressions to machine code when it may; under
// MemoryDenyWriteExecute= it may not, and must interpret them instead of failing.
void TestService::runsWithoutWritableExecutableMemory() {
#ifdef SVC_HAVE_SECCOMP
    ServiceHub hub;
    const QString tags = hub.FilePath(QStringLiteral("plant.tags"));
    QVERIFY(WriteAll(tags, "Kiln Speed\tnumber\tbase=12 decimals=1\n"
                           "Kiln State\tstate\tstates=OFF|RUNNING period=60\n"));
    hub.SetChildSetup(DenyWriteExecute);
    // Qt's own switch, so that the hub tries machine code even in a debug build of Qt.
    hub.SetEnvironment(QStringLiteral("QT_ENABLE_REGEXP_JIT"), "1");
    // A child that ends at once tells by its status whether the filter could be set up.
    if (!hub.Start(tags))
        QFAIL(qPrintable(QStringLiteral("exit %1: %2").arg(hub.WaitForExit()).arg(hub.Errors())));
    QCOMPARE(hub.Ask(QStringLiteral("GETTAGS")), QStringLiteral("Kiln Speed,Kiln State"));
    QVERIFY(hub.Ask(QStringLiteral("GETVALUES"))
                .startsWith(QStringLiteral("Kiln Speed,12.0\tKiln State,")));

    // A reload parses the file again under the same restriction.
    QVERIFY(WriteAll(tags, "Kiln Speed\tnumber\tbase=14 decimals=1\n"));
    QTRY_COMPARE_WITH_TIMEOUT(hub.Ask(QStringLiteral("GETVALUES")),
                              QStringLiteral("Kiln Speed,14.0"), 15000);
    QCOMPARE(hub.Stop(), 0);
#else
    QSKIP("the seccomp filter here is written for Linux on x86-64");
#endif
}

QTEST_GUILESS_MAIN(TestService)
#include "test_service.moc"
