// The application model: .SVT round trips, byte-stable output, refusal of malformed and
// truncated files, and saves that fail without harming an earlier file.

#include "generate/Application.h"
#include "generate/ErrorOf.h"
#include "generate/SvtFormat.h"
#include "support/FailingSaveFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <QScopeGuard>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

struct VariableFields {
    QString name;
    QString type;
    qint16 length;
    qint16 decimals;
    std::optional<QString> link;
    std::optional<QString> code;
};

Application Make(const QString& title, const std::vector<VariableFields>& vars, int setUp = 1) {
    Application app;
    app.SetUp(setUp);
    app.SetTitle(title);
    for (const VariableFields& s : vars) {
        IVariable& v = app.GetVariables().AddVariable(s.name, s.type, s.length, s.decimals);
        if (s.link)
            v.SetLink(*s.link);
        if (s.code)
            v.SetCode(*s.code);
    }
    return app;
}

Application Sample() {
    return Make(QStringLiteral("Line 3"),
                {{QStringLiteral("Date"), QStringLiteral("T"), 8, 0, {}, {}},
                 {QStringLiteral("Time"), QStringLiteral("T"), 8, 0, {}, {}},
                 {QStringLiteral("Tank1_Level"), QStringLiteral("N"), 6, 2,
                  QStringLiteral("HUB:Tank1.Level"), QStringLiteral("P")}});
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void WriteAll(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

} // namespace

using VarList = std::vector<VariableFields>;
Q_DECLARE_METATYPE(VarList)

class TestApplication : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("setUp");
        QTest::addColumn<VarList>("vars");
        const auto one = [](const QString& name,
                            std::optional<QString> link = QStringLiteral("HUB:x"),
                            std::optional<QString> code = QStringLiteral("P")) {
            return VarList{{name, QStringLiteral("N"), 6, 2, link, code}};
        };
        QTest::newRow("commas quotes tabs underscores")
            << QStringLiteral("a,b \"c\" 'd'\te") << 1
            << one(QStringLiteral("Tank,1_Level \"x\" 'y'\tz_"),
                   QStringLiteral("TCP:10.0.0.1:6000!Tank,1\t\"q\""));
        QTest::newRow("unicode") << QStringLiteral("Füllstand Ω 液位 😀") << 1
                                 << one(QStringLiteral("Kessel_Temperatur_°C_😀"),
                                        QStringLiteral("HUB:Kessel.Température"));
        QTest::newRow("line breaks and controls")
            << QStringLiteral("two\nlines\r\n") << 1
            << one(QStringLiteral("a\nb\rc\x01\x1f\x7f") + QChar(0x2028) + QChar(0x85) +
                   QChar(0xFEFF));
        QTest::newRow("backslashes and escape look-alikes")
            << QStringLiteral("C:\\Temp\\n\\u0041\\") << 1
            << one(QStringLiteral("\\s\\t\\\\"), QStringLiteral("HUB:\\"));
        QTest::newRow("blanks at the ends") << QStringLiteral("  padded  ") << 1
                                            << one(QStringLiteral(" "), QStringLiteral(" HUB:x "));
        QTest::newRow("lone surrogates")
            << QString(QChar(0xD800)) << 1
            << one(QString(QChar(0xDC00)) + QStringLiteral("x") + QChar(0xD83D));
        QTest::newRow("empty texts, link and code set but empty")
            << QString() << 0 << VarList{{QString(), QString(), 0, 0, QString(), QString()}};
        QTest::newRow("link and code not set")
            << QStringLiteral("t") << 1 << one(QStringLiteral("Date"), {}, {});
        QTest::newRow("number limits")
            << QStringLiteral("t") << std::numeric_limits<int>::min()
            << VarList{{QStringLiteral("a"), QStringLiteral("T"), -32768, 32767, {}, {}},
                       {QStringLiteral("b"), QStringLiteral("N"), 32767, -32768, {}, {}}};
        QTest::newRow("no variables") << QStringLiteral("empty") << 1 << VarList{};
        // Each section is read into what the one before left behind: nothing may carry over.
        QTest::newRow("sections that differ from the one before")
            << QStringLiteral("t") << 1
            << VarList{{QStringLiteral("A long name with a good many words in it"),
                        QStringLiteral("N"), 12, 3,
                        QStringLiteral("TCP:192.0.2.1:6000!A long tag name, \"quoted\""),
                        QStringLiteral("PCODE")},
                       {QStringLiteral("b"), QStringLiteral("T"), 1, 0, {}, {}},
                       {QStringLiteral("Kessel 😀 ü"), QStringLiteral("X"), 2, 0, QString(), {}},
                       {QStringLiteral("d"), QStringLiteral("NN"), 3, 1, {}, QStringLiteral("Q")},
                       {QStringLiteral(" e\\"), QStringLiteral("N"), 4, 0, QStringLiteral("HUB:e"),
                        QStringLiteral("")}};
    }

    void roundTrip() {
        QFETCH(QString, title);
        QFETCH(int, setUp);
        QFETCH(VarList, vars);
        const Application app = Make(title, vars, setUp);
        const QByteArray text = app.ToSvt();

        // The text is line based: no raw control character, no blank at either end of a line.
        for (const QByteArray& line : text.split('\n')) {
            for (const char c : line)
                QVERIFY2(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, line.constData());
            QVERIFY2(!line.startsWith(' ') && !line.endsWith(' '), line.constData());
        }
        QVERIFY(text.endsWith("[end]\n"));

        const Application back = Application::FromSvt(text, QStringLiteral("mem.SVT"));
        // Equality covers the title, set-up value and every field, set or not, of every variable.
        QVERIFY(back == app);
        QCOMPARE(back.ToSvt(), text); // writing what was read gives the same bytes

        // Saved over a larger earlier file, which it replaces completely.
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("Line 3; $(x).SVT"));
        WriteAll(path, QByteArray(100000, 'x'));
        Application copy = app;
        copy.SaveToFile(path);
        QCOMPARE(ReadAll(path), text);
        QCOMPARE(Entries(dir.path()), QStringList{QStringLiteral("Line 3; $(x).SVT")});
        QVERIFY(Application::LoadFromFile(path) == app);
    }

    void documentedExampleIsWrittenByteForByte() {
        // The example of docs/svt-format.md, its first fenced block.
        const QByteArray doc = ReadAll(QStringLiteral(SVC_SVT_FORMAT_DOC));
        const qsizetype from = doc.indexOf("```\n") + 4;
        QCOMPARE(Sample().ToSvt(), doc.mid(from, doc.indexOf("```", from) - from));
    }

    void variableReferencesStayValid() {
        Application app;
        IVariable& first =
            app.GetVariables().AddVariable(QStringLiteral("a"), QStringLiteral("N"), 1, 0);
        for (int i = 0; i < 5000; ++i)
            app.GetVariables().AddVariable(QString::number(i), QStringLiteral("N"), 1, 0);
        first.SetLink(QStringLiteral("HUB:a"));
        first.SetCode(QStringLiteral("P"));
        QCOMPARE(app.Variables().front().Link(), std::optional<QString>(QStringLiteral("HUB:a")));
        QCOMPARE(app.Variables().front().Code(), std::optional<QString>(QStringLiteral("P")));
    }

    // An empty message: the file is read, as the sample it was edited from.
    void readEditedAndMalformedFiles_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        const QByteArray good = Sample().ToSvt();
        const auto edited = [](QByteArray t, const char* from, const char* to) {
            return t.replace(from, to);
        };
        const auto with = [&](const char* from, const char* to) { return edited(good, from, to); };
        QTest::newRow("CR LF line ends") << with("\n", "\r\n") << QString();
        QTest::newRow("byte-order mark") << "\xEF\xBB\xBF" + good << QString();
        QTest::newRow("no line break after [end]") << good.chopped(1) << QString();
        QTest::newRow("comments and blank lines")
            << with("[variable 2]\n", "\n# the clock\n[variable 2]\n") + "\n# done\n\n"
            << QString();
        QTest::newRow("keys of later versions")
            << edited(with("code=P\n", "code=P\ncolour=red\n"), "setup=1\n", "setup=1\nauthor=x\n")
            << QString();
        QTest::newRow("keys in another order")
            << with("name=Tank1_Level\ntype=N\n", "type=N\nname=Tank1_Level\n") << QString();
        const QString pre = QStringLiteral("Cannot read \"bad %2.SVT\": ");
        QTest::newRow("empty") << QByteArray()
                               << pre + "the file is empty; expected \"[application]\".";
        QTest::newRow("other text")
            << QByteArray("hello\n") << pre + "line 1: expected \"[application]\", found \"hello\"";
        QTest::newRow("no format line")
            << with("format=SVT\n", "")
            << pre + "line 2: expected \"format=SVT\", found \"version=1\"";
        QTest::newRow("newer version")
            << with("version=1", "version=2")
            << pre + "line 3: the file has format version 2; this program reads version 1 only";
        QTest::newRow("bad escape") << with("title=Line 3", "title=Line\\q3")
                                    << pre + "line 5: the value of \"title\" is malformed: unknown "
                                             "escape \"\\q\"";
        QTest::newRow("trailing backslash")
            << with("title=Line 3", "title=Line 3\\")
            << pre +
                   "line 5: the value of \"title\" is malformed: the value ends with a lone \"\\\"";
        QTest::newRow("length not a number")
            << with("length=6", "length=six")
            << pre +
                   "line 20: \"length\" must be a whole number from -32768 to 32767, found \"six\"";
        QTest::newRow("decimals with a plus sign")
            << with("decimals=2", "decimals=+2")
            << pre + "line 21: \"decimals\" must be a whole number from -32768 to 32767, found "
                     "\"+2\"";
        QTest::newRow("variable skipped")
            << with("[variable 2]", "[variable 3]")
            << pre + "line 12: expected \"[variable 2]\" or \"[end]\", found \"[variable 3]\"";
        QTest::newRow("duplicate key") << with("type=N\n", "type=N\ntype=T\n")
                                       << pre + "line 20: \"type\" is given a second time in this "
                                                "section";
        QTest::newRow("missing name")
            << with("name=Time\n", "")
            << pre + "line 16: the section [variable 2] ends without the line \"name=...\"";
        QTest::newRow("count differs")
            << with("variables=3", "variables=4")
            << pre + "line 24: the file declares 4 variables but holds 3";
        QTest::newRow("text after end") << good + "name=x\n"
                                        << pre + "line 25: expected nothing after \"[end]\", found "
                                                 "\"name=x\"";
        QTest::newRow("line without =")
            << with("code=P", "code P")
            << pre + "line 23: expected \"key=value\" or a section line such as \"[end]\", found "
                     "\"code P\"";
        QTest::newRow("invalid UTF-8")
            << with("Line 3", "Line \xff") << pre + "line 5: the text is not valid UTF-8";
    }

    void readEditedAndMalformedFiles() {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        const QString error = ErrorOf(
            [&] { QVERIFY(Application::FromSvt(text, QStringLiteral("bad %2.SVT")) == Sample()); });
        QCOMPARE(error, message.isEmpty() ? QStringLiteral("<no error>") : message);
    }

    void everyTruncationIsRefused() {
        const QByteArray full = Sample().ToSvt();
        // Every cut before the end marker is complete must be refused; the last line break
        // alone may be missing.
        for (qsizetype cut = 0; cut < full.size() - 1; ++cut) {
            const QString error =
                ErrorOf([&] { Application::FromSvt(full.left(cut), QStringLiteral("t.SVT")); });
            QVERIFY2(error.startsWith(QLatin1String("Cannot read \"t.SVT\": ")),
                     qPrintable(QString::number(cut) + QLatin1Char(' ') + error));
        }
        const QString atLineEnd = ErrorOf([&] {
            Application::FromSvt(full.left(full.indexOf("[end]")), QStringLiteral("t.SVT"));
        });
        QCOMPARE(atLineEnd, QStringLiteral("Cannot read \"t.SVT\": the file ends after line 23 "
                                           "without the end marker \"[end]\"; it is truncated or "
                                           "incomplete."));
    }

    void failedSaveKeepsEarlierFile_data() {
        QTest::addColumn<QString>("relativeName"); // inside the test folder; "/..." is absolute
        QTest::addColumn<int>("fault");            // how the device fails; -1: it does not
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing folder") << QStringLiteral("missing/deeper/a.SVT") << -1
                                        << QStringLiteral("the folder does not exist.");
        QTest::newRow("name is a folder")
            << QStringLiteral("folder.SVT") << -1 << QStringLiteral("the name is a folder.");
        QTest::newRow("file used as folder")
            << QStringLiteral("old.SVT/a.SVT") << -1 << QStringLiteral("is a file, not a folder.");
#ifdef Q_OS_UNIX
        QTest::newRow("folder where nothing can be created")
            << QStringLiteral("/proc/svt-test.SVT") << -1
            << QStringLiteral("the file cannot be created");
#endif
        QTest::newRow("disk fills half way")
            << QStringLiteral("old.SVT") << int(SaveFault::DiskFull)
            << QStringLiteral("No space left on device");
        QTest::newRow("I/O error") << QStringLiteral("old.SVT") << int(SaveFault::IoError)
                                   << QStringLiteral("the data cannot be written (only 0 of ");
#ifdef Q_OS_UNIX
        // Windows does not remove a folder while a file in it is open.
        QTest::newRow("folder vanishes")
            << QStringLiteral("old.SVT") << int(SaveFault::FolderVanishes) << QStringLiteral("(");
#endif
    }

    void failedSaveKeepsEarlierFile() {
        QFETCH(QString, relativeName);
        QFETCH(int, fault);
        QFETCH(QString, reason);
        QTemporaryDir top;
        const QString folder = top.filePath(QStringLiteral("work"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/folder.SVT")));
        const QByteArray old = "old contents\n";
        WriteAll(folder + QStringLiteral("/old.SVT"), old);
        const QStringList before = Entries(folder);
        const QString path = relativeName.startsWith(QLatin1Char('/'))
                                 ? relativeName
                                 : folder + QLatin1Char('/') + relativeName;

        Application big = fault < 0 ? Application()
                                    : Application(FailingSaveFile::Factory(SaveFault(fault), 1000));
        big.SetTitle(QStringLiteral("big"));
        for (int i = 0; i < 20000; ++i) // large enough that a partial write is visible
            big.GetVariables().AddVariable(QString::number(i), QStringLiteral("N"), 5, 1);
        const QString error = ErrorOf([&] { big.SaveToFile(path); });

        QVERIFY2(error.startsWith(QStringLiteral("Cannot write \"%1\": ").arg(path)),
                 qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        if (fault == int(SaveFault::FolderVanishes)) {
            QVERIFY(!QFileInfo::exists(folder)); // nothing was made in its place
        } else {
            QCOMPARE(ReadAll(folder + QStringLiteral("/old.SVT")), old);
            QCOMPARE(Entries(folder), before);
        }
        QVERIFY(!QFile::exists(QStringLiteral("/proc/svt-test.SVT")));
    }

#ifdef Q_OS_UNIX
    void fileSizeLimitKeepsEarlierFile_data() {
        // A file size limit makes the write meet the limit for real, as a full disk does; the
        // limit is set in a child process so that this one is not affected. A small file fits
        // a write buffer, so its failure surfaces only when the buffer is written out.
        QTest::addColumn<QString>("program"); // given its input and the target
        QTest::addColumn<QString>("input");
        QTest::addColumn<qint64>("limit");
        QTest::newRow("small application") << "save_child"
                                           << "40" << qint64(1024);
        QTest::newRow("large application") << "save_child"
                                           << "20000" << qint64(64 * 1024);
        QTest::newRow("manual") << "svc-manual" << SVC_MANUAL_SOURCE << qint64(16 * 1024);
    }

    void fileSizeLimitKeepsEarlierFile() {
        QFETCH(QString, program);
        QFETCH(QString, input);
        QFETCH(qint64, limit);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("old.SVT"));
        const QByteArray old(4096, 'o');
        WriteAll(path, old);
        const QStringList arguments{input, path};

        QProcess child;
        child.setChildProcessModifier([limit] {
            std::signal(SIGXFSZ, SIG_IGN); // fail the write with EFBIG instead of ending
            rlimit lowered{};
            getrlimit(RLIMIT_FSIZE, &lowered);
            lowered.rlim_cur = rlim_t(limit);
            setrlimit(RLIMIT_FSIZE, &lowered);
        });
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, arguments);
        QVERIFY(child.waitForFinished(120000));
        const QString out =
            QString::fromLocal8Bit(child.readAllStandardOutput() + child.readAllStandardError());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 1, qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("Cannot write \"%1\": ").arg(path)), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("File too large")), qPrintable(out));
        QCOMPARE(ReadAll(path), old);
        QCOMPARE(Entries(dir.path()), QStringList{QStringLiteral("old.SVT")});

        // Without the limit the same save goes through.
        child.setChildProcessModifier({});
        child.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, arguments);
        QVERIFY(child.waitForFinished(120000));
        QVERIFY2(child.exitCode() == 0, child.readAllStandardOutput().constData());
        QVERIFY(ReadAll(path) != old);
        QCOMPARE(Entries(dir.path()), QStringList{QStringLiteral("old.SVT")});
    }
#endif

    // Only a regular file of a sane size is read; anything else is refused at once with a
    // message, never waited on or read into memory.
    void loadRefusesWhatIsNoApplicationFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "missing"
                                 << "the file does not exist.";
        QTest::newRow("folder") << "folder"
                                << "the name is a folder, not a file.";
#ifdef Q_OS_UNIX
        const QString notRegular =
            QStringLiteral("the name is not a regular file (a pipe, a device or a socket).");
        QTest::newRow("pipe without a writer") << "fifo" << notRegular;
        QTest::newRow("endless device") << "/dev/zero" << notRegular;
        QTest::newRow("sparse file one byte over the limit")
            << "sparse"
            << "the file is larger than 512 MiB, far more than any application holds.";
#endif
    }
    void loadRefusesWhatIsNoApplicationFile() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("a.SVT"));
        if (kind == QLatin1String("folder")) {
            path = dir.path();
        } else if (kind.startsWith(QLatin1Char('/'))) {
            path = kind;
        } else if (kind == QLatin1String("sparse")) {
            QFile sparse(path);
            QVERIFY(sparse.open(QIODevice::WriteOnly));
            QVERIFY(sparse.resize(svt::MaxFileBytes + 1));
        }
#ifdef Q_OS_UNIX
        // A writer that opens the pipe and closes it again as soon as a reader has it open,
        // so that a reader that waits for a writer ends (with a wrong message) instead of
        // hanging the test; released at the end if nobody opened the pipe for reading.
        std::thread writer;
        if (kind == QLatin1String("fifo")) {
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            writer = std::thread([path] {
                const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
                if (fd >= 0)
                    ::close(fd);
            });
        }
        const auto release = qScopeGuard([&] {
            if (!writer.joinable())
                return;
            const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
            writer.join();
            ::close(fd);
        });
#endif
        QCOMPARE(ErrorOf([&] { Application::LoadFromFile(path); }),
                 QStringLiteral("Cannot read \"%1\": %2").arg(path, reason));
    }
};

QTEST_GUILESS_MAIN(TestApplication)
#include "test_application.moc"
