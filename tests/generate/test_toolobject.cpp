// The tool object: splitting command lines, starting a program with exactly one unchanged
// argument and nothing else, waiting for it, and unique temporary names.

#include "generate/ErrorOf.h"
#include "generate/ToolObject.h"
#include "support/TempFolderOverride.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using OptionalText = std::optional<QString>;
Q_DECLARE_METATYPE(OptionalText)

namespace {

QString BinDir() {
    return QCoreApplication::applicationDirPath();
}

} // namespace

class TestToolObject : public QObject {
    Q_OBJECT

private slots:
    void init() {
        // Run each case in a fresh current folder so that anything a shell would have created
        // there is seen.
        work_ = std::make_unique<QTemporaryDir>();
        QVERIFY(work_->isValid());
        QVERIFY(QDir::setCurrent(work_->path()));
        echoFile_ = QDir(work_->path()).filePath(QStringLiteral("echo.out"));
        qputenv("ARGECHO_OUT", QFile::encodeName(echoFile_));
    }

    void splitCommandLine_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("program");
        QTest::addColumn<OptionalText>("argument");
        const auto row = [](const char* name, const char* line, const char* program,
                            const OptionalText& argument) {
            QTest::newRow(name) << QString(line) << QString(program) << argument;
        };
        row("windows paths", "C:\\SV6\\sv6.exe C:\\Temp\\SV0001.SVT", "C:\\SV6\\sv6.exe",
            "C:\\Temp\\SV0001.SVT");
        row("only the first blank separates", "sv6.EXE   a  b  ", "sv6.EXE", "  a  b  ");
        row("later .exe belongs to the argument", "a.exe b.exe c", "a.exe", "b.exe c");
        row(".exe inside a folder name", "/x/my.exec/sv6.exe f", "/x/my.exec/sv6.exe", "f");
        row("blank in the program folder", "/Program Files/sv6.exe f", "/Program Files/sv6.exe",
            "f");
        row("nothing follows", "sv6.exe", "sv6.exe", {});
        row("only the blank follows", "sv6.exe ", "sv6.exe", {});
    }

    void splitCommandLine() {
        QFETCH(QString, line);
        QFETCH(QString, program);
        QFETCH(OptionalText, argument);
        const ToolObject::CommandLine parts = ToolObject::SplitCommandLine(line);
        QCOMPARE(parts.program, program);
        QCOMPARE(parts.argument, argument);
    }

    void programGetsOneUnchangedArgument_data() {
        QTest::addColumn<QString>("program"); // a name without a folder is in the install folder
        QTest::addColumn<OptionalText>("argument");
        const QString absolute = BinDir() + QStringLiteral("/argecho.exe");
        QTest::newRow("path with blanks")
            << absolute << OptionalText(QStringLiteral("/tmp/a b/Line 3.SVT"));
        QTest::newRow("shell metacharacters")
            << absolute
            << OptionalText(
                   QStringLiteral("x; touch PWNED1 && $(touch PWNED2) `touch PWNED3` | "
                                  "tee PWNED4 > PWNED5 & 'q' \"d\" \\ * ? ~ %PATH% !x.SVT"));
        QTest::newRow("leading and trailing blanks")
            << absolute << OptionalText(QStringLiteral("  f.SVT  "));
        QTest::newRow("unicode") << absolute
                                 << OptionalText(QStringLiteral("/tmp/Füllstand 液位.SVT"));
        QTest::newRow("no argument") << absolute << OptionalText();
        QTest::newRow("program in the install folder")
            << QStringLiteral("argecho.exe") << OptionalText(QStringLiteral("a b"));
    }

    void programGetsOneUnchangedArgument() {
        QFETCH(QString, program);
        QFETCH(OptionalText, argument);
        ToolObject tool;
        QCOMPARE(tool.SVInstallDir(QStringLiteral("SV6")), QDir::toNativeSeparators(BinDir()));
        qputenv("ARGECHO_DELAY_MS", "300"); // the result exists only if ShellAndWait waited
        tool.ShellAndWait(argument ? program + QLatin1Char(' ') + *argument : program);
        qunsetenv("ARGECHO_DELAY_MS");

        QFile out(echoFile_);
        QVERIFY2(out.open(QIODevice::ReadOnly), "the program had not finished");
        const QByteArray expected =
            argument ? "1\n" + argument->toUtf8() + QByteArray(1, '\0') : QByteArray("0\n");
        QCOMPARE(out.readAll(), expected);
        QCOMPARE(QDir(work_->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("echo.out")});
    }

    void unstartableProgramThrows_data() {
        QTest::addColumn<QString>("line");    // %1: the test folder, where the files are made
        QTest::addColumn<QString>("message"); // how the error starts
        const QString cannot = QStringLiteral("Cannot start \"%1/");
        QTest::newRow("missing") << QStringLiteral("%1/missing.exe f.SVT")
                                 << cannot + "missing.exe\": the program does not exist.";
#ifdef Q_OS_UNIX
        // Windows has no permission to run a file: its name says it is a program.
        QTest::newRow("not executable") << QStringLiteral("%1/text.exe f.SVT")
                                        << cannot + "text.exe\": it is not an executable program.";
#endif
        QTest::newRow("a folder") << QStringLiteral("%1/folder.exe f.SVT")
                                  << cannot + "folder.exe\": it is not an executable program.";
        // The reason is the system's own wording here.
        QTest::newRow("executable but not a program")
            << QStringLiteral("%1/garbage.exe f.SVT") << cannot + "garbage.exe\": ";
        QTest::newRow("no .exe program")
            << QStringLiteral("/bin/sh -c 'touch PWNED'")
            << QStringLiteral(
                   "Cannot start a program: the command line \"/bin/sh -c 'touch PWNED'\" "
                   "names no \".exe\" program.");
    }

    void unstartableProgramThrows() {
        QFETCH(QString, line);
        QFETCH(QString, message);
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

        ToolObject tool;
        line.replace(QLatin1String("%1"), work.path());
        message.replace(QLatin1String("%1"), work.path());
        const QString error = ErrorOf([&] { tool.ShellAndWait(line); });
        QVERIFY2(error.startsWith(message), qPrintable(error));
        QVERIFY(!QFile::exists(work.filePath(QStringLiteral("PWNED"))));
    }

    void uniqueNamesAreUnusedAndInTempFolder() {
        QTemporaryDir temp;
        const TempFolderOverride tempFolder(temp.path());
        ToolObject tool;
        for (int i = 0; i < 200; ++i) {
            const QString base = tool.GetUniqueFilename(QStringLiteral("SV"));
            const QFileInfo info(base);
            QCOMPARE(info.absolutePath(), QDir(temp.path()).absolutePath());
            QVERIFY(info.fileName().startsWith(QLatin1String("SV")));
            QVERIFY(!info.fileName().contains(QLatin1Char('.')));
            QVERIFY(QDir(temp.path()).entryList({info.fileName() + QStringLiteral("*")}).isEmpty());
            // Use the name as the caller does, so later names must avoid it.
            QFile f(base + QStringLiteral(".SVT"));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
    }

private:
    std::unique_ptr<QTemporaryDir> work_;
    QString echoFile_;
};

QTEST_GUILESS_MAIN(TestToolObject)
#include "test_toolobject.moc"
