// The tool object: splitting command lines, starting a program with exactly one unchanged
// argument and nothing else, waiting for it, and unique temporary names.

#include "generate/ToolObject.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using OptionalText = std::optional<QString>;
Q_DECLARE_METATYPE(OptionalText)

namespace {

QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ComponentError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

QString BinDir() {
    return QCoreApplication::applicationDirPath();
}

} // namespace

class TestToolObject : public QObject {
    Q_OBJECT

private slots:
    void init();
    void splitCommandLine_data();
    void splitCommandLine();
    void commandLineWithoutProgramIsRefused();
    void programGetsOneUnchangedArgument_data();
    void programGetsOneUnchangedArgument();
    void relativeProgramIsFoundInInstallFolder();
    void unstartableProgramThrows_data();
    void unstartableProgramThrows();
    void uniqueNamesAreUnusedAndInTempFolder();

private:
    std::unique_ptr<QTemporaryDir> work_;
    QString echoFile_;
};

void TestToolObject::init() {
    // Run each case in a fresh current folder so that anything a shell would have created
    // there is seen.
    work_ = std::make_unique<QTemporaryDir>();
    QVERIFY(work_->isValid());
    QVERIFY(QDir::setCurrent(work_->path()));
    echoFile_ = QDir(work_->path()).filePath(QStringLiteral("echo.out"));
    qputenv("ARGECHO_OUT", QFile::encodeName(echoFile_));
}

void TestToolObject::splitCommandLine_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("program");
    QTest::addColumn<OptionalText>("argument");
    QTest::newRow("windows paths") << QStringLiteral("C:\\SV6\\sv6.exe C:\\Temp\\SV0001.SVT")
                                   << QStringLiteral("C:\\SV6\\sv6.exe")
                                   << OptionalText(QStringLiteral("C:\\Temp\\SV0001.SVT"));
    QTest::newRow("only the first blank separates")
        << QStringLiteral("sv6.EXE   a  b  ") << QStringLiteral("sv6.EXE")
        << OptionalText(QStringLiteral("  a  b  "));
    QTest::newRow("later .exe belongs to the argument")
        << QStringLiteral("a.exe b.exe c") << QStringLiteral("a.exe")
        << OptionalText(QStringLiteral("b.exe c"));
    QTest::newRow(".exe inside a folder name")
        << QStringLiteral("/x/my.exec/sv6.exe f") << QStringLiteral("/x/my.exec/sv6.exe")
        << OptionalText(QStringLiteral("f"));
    QTest::newRow("blank in the program folder")
        << QStringLiteral("/Program Files/sv6.exe f") << QStringLiteral("/Program Files/sv6.exe")
        << OptionalText(QStringLiteral("f"));
    QTest::newRow("nothing follows")
        << QStringLiteral("sv6.exe") << QStringLiteral("sv6.exe") << OptionalText();
    QTest::newRow("only the blank follows")
        << QStringLiteral("sv6.exe ") << QStringLiteral("sv6.exe") << OptionalText();
}

void TestToolObject::splitCommandLine() {
    QFETCH(QString, line);
    QFETCH(QString, program);
    QFETCH(OptionalText, argument);
    const ToolObject::CommandLine parts = ToolObject::SplitCommandLine(line);
    QCOMPARE(parts.program, program);
    QCOMPARE(parts.argument, argument);
}

void TestToolObject::commandLineWithoutProgramIsRefused() {
    ToolObject tool;
    QCOMPARE(ErrorOf([&] { tool.ShellAndWait(QStringLiteral("/bin/sh -c 'touch x'")); }),
             QStringLiteral("Cannot start a program: the command line \"/bin/sh -c 'touch x'\" "
                            "names no \".exe\" program."));
    QVERIFY(!QFile::exists(QStringLiteral("x")));
}

void TestToolObject::programGetsOneUnchangedArgument_data() {
    QTest::addColumn<OptionalText>("argument");
    QTest::newRow("path with blanks") << OptionalText(QStringLiteral("/tmp/a b/Line 3.SVT"));
    QTest::newRow("shell metacharacters")
        << OptionalText(QStringLiteral("x; touch PWNED1 && $(touch PWNED2) `touch PWNED3` | tee "
                                       "PWNED4 > PWNED5 & 'q' \"d\" \\ * ? ~ %PATH% !x.SVT"));
    QTest::newRow("leading and trailing blanks") << OptionalText(QStringLiteral("  f.SVT  "));
    QTest::newRow("unicode") << OptionalText(QStringLiteral("/tmp/Füllstand 液位.SVT"));
    QTest::newRow("no argument") << OptionalText();
}

void TestToolObject::programGetsOneUnchangedArgument() {
    QFETCH(OptionalText, argument);
    qputenv("ARGECHO_DELAY_MS", "300"); // the result exists only if ShellAndWait waited
    ToolObject tool;
    QString line = BinDir() + QStringLiteral("/argecho.exe");
    if (argument)
        line += QLatin1Char(' ') + *argument;
    tool.ShellAndWait(line);
    qunsetenv("ARGECHO_DELAY_MS");

    QFile out(echoFile_);
    QVERIFY2(out.open(QIODevice::ReadOnly), "the program had not finished");
    const QByteArray expected =
        argument ? "1\n" + argument->toUtf8() + QByteArray(1, '\0') : QByteArray("0\n");
    QCOMPARE(out.readAll(), expected);
    QCOMPARE(QDir(work_->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("echo.out")});
}

void TestToolObject::relativeProgramIsFoundInInstallFolder() {
    ToolObject tool;
    QCOMPARE(tool.SVInstallDir(QStringLiteral("SV6")), QDir::toNativeSeparators(BinDir()));
    tool.ShellAndWait(QStringLiteral("argecho.exe a b"));
    QFile out(echoFile_);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), QByteArray("1\na b", 6));
}

void TestToolObject::unstartableProgramThrows_data() {
    QTest::addColumn<QString>("program"); // relative names are made in the test folder
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("missing.exe")
                             << QStringLiteral("the program does not exist.");
    QTest::newRow("not executable")
        << QStringLiteral("text.exe") << QStringLiteral("it is not an executable program.");
    QTest::newRow("a folder") << QStringLiteral("folder.exe")
                              << QStringLiteral("it is not an executable program.");
    // The reason is the system's own wording here.
    QTest::newRow("executable but not a program") << QStringLiteral("garbage.exe") << QString();
}

void TestToolObject::unstartableProgramThrows() {
    QFETCH(QString, program);
    QFETCH(QString, reason);
    QDir work(work_->path());
    QFile text(work.filePath(QStringLiteral("text.exe")));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("#!/bin/sh\ntouch PWNED\n");
    text.close();
    QVERIFY(work.mkdir(QStringLiteral("folder.exe")));
    QFile garbage(work.filePath(QStringLiteral("garbage.exe")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("\x01\x02 not a program\n");
    garbage.setPermissions(garbage.permissions() | QFileDevice::ExeOwner);
    garbage.close();

    const QString path = work.filePath(program);
    ToolObject tool;
    const QString error = ErrorOf([&] { tool.ShellAndWait(path + QStringLiteral(" f.SVT")); });
    QVERIFY2(error.startsWith(QStringLiteral("Cannot start \"%1\": ").arg(path)),
             qPrintable(error));
    QVERIFY2(error.contains(reason), qPrintable(error));
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("PWNED"))));
}

void TestToolObject::uniqueNamesAreUnusedAndInTempFolder() {
    QTemporaryDir temp;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    const auto restore = qScopeGuard([&] { qputenv("TMPDIR", oldTmp); });
    ToolObject tool;
    QStringList seen;
    for (int i = 0; i < 200; ++i) {
        const QString base = tool.GetUniqueFilename(QStringLiteral("SV"));
        const QFileInfo info(base);
        QCOMPARE(info.absolutePath(), QDir(temp.path()).absolutePath());
        QVERIFY(info.fileName().startsWith(QLatin1String("SV")));
        QVERIFY(!info.fileName().contains(QLatin1Char('.')));
        QVERIFY(!seen.contains(base));
        QVERIFY(QDir(temp.path()).entryList({info.fileName() + QStringLiteral("*")}).isEmpty());
        // Use the name as the caller does, so later names must avoid it.
        QFile f(base + QStringLiteral(".SVT"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        seen << base;
    }
}

QTEST_GUILESS_MAIN(TestToolObject)
#include "test_toolobject.moc"
