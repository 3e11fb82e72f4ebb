// Preview, Open SV Application, Open in SV Admin and Help, with a recording tool object.

#include "generate/Application.h"
#include "support/FailingSaveFile.h"
#include "support/WizardFixture.h"

#include "generate/IToolObject.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

struct ToolLog {
    QString installDir;
    QString base;
    QStringList commands;
    std::function<void(const QString&)> onShell;
    bool failCreation = false;
};
ToolLog* tools = nullptr;

struct RecordingTool : IToolObject {
    QString SVInstallDir(const QString& code) override {
        tools->commands << QStringLiteral("SVInstallDir(%1)").arg(code);
        return tools->installDir;
    }
    QString GetUniqueFilename(const QString& prefix) override {
        tools->commands << QStringLiteral("GetUniqueFilename(%1)").arg(prefix);
        return tools->base;
    }
    void ShellAndWait(const QString& line) override {
        tools->commands << line;
        if (tools->onShell)
            tools->onShell(line);
    }
};

} // namespace

class TestWorkstationTools : public QObject {
    Q_OBJECT

private:
    ToolLog log;
    std::unique_ptr<ScopedComponent> registration;

private slots:
    void init() {
        log = ToolLog{};
        tools = &log;
        registration = std::make_unique<ScopedComponent>(
            QLatin1String(ToolObjectClassName), []() -> std::unique_ptr<ComponentBase> {
                if (tools->failCreation)
                    return nullptr;
                return std::make_unique<RecordingTool>();
            });
    }
    void cleanup() { registration.reset(); }

    void previewBuildsRunsAndCleansUp_data() {
        QTest::addColumn<QString>("installDir");
        const QString sep = QDir::separator();
        QTest::newRow("no trailing separator") << sep + "opt" + sep + "sv6";
        QTest::newRow("trailing separator") << sep + "opt" + sep + "sv6" + sep;
    }
    void previewBuildsRunsAndCleansUp() {
        QFETCH(QString, installDir);
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, "A,B", "A,1\tB,2"));
        QTemporaryDir temp;
        log.installDir = installDir;
        log.base = QDir::toNativeSeparators(temp.filePath(QStringLiteral("SV 0001")));
        QFile other(temp.filePath(QStringLiteral("SV 00012.SVT"))); // shares no base name
        QVERIFY(other.open(QIODevice::WriteOnly));
        other.close();
        bool hiddenWhileRunning = false;
        bool fileCompleteWhileRunning = false;
        log.onShell = [&](const QString&) {
            hiddenWhileRunning = !f.window->isVisible();
            fileCompleteWhileRunning = QFileInfo(log.base + QStringLiteral(".SVT")).size() > 0;
            QFile extra(log.base + QStringLiteral(".log")); // written by the program
            QVERIFY(extra.open(QIODevice::WriteOnly));
        };
        f.Click("cmdPreview");
        const QString d =
            installDir.endsWith(QDir::separator()) ? installDir : installDir + QDir::separator();
        QCOMPARE(log.commands, (QStringList{"SVInstallDir(SV6)", "GetUniqueFilename(SV)",
                                            d + "sv6.exe " + log.base + ".SVT"}));
        QVERIFY(hiddenWhileRunning);
        QVERIFY(fileCompleteWhileRunning);
        QVERIFY(f.window->isVisible());
        QVERIFY(f.Button("cmdPreview")->isEnabled());
        QCOMPARE(QDir(temp.path()).entryList(QDir::Files), QStringList{"SV 00012.SVT"});
        // Preview changes nothing else.
        QCOMPARE(f.window->State().appFileName, QString());
        QCOMPARE(f.Enabled({"cmdOpenSV", "cmdOpenSVAdmin"}), QStringList());
        QVERIFY(!f.settings.Read("FileName").isValid());
        QVERIFY(f.messages.shown.empty());
    }

    // The Open buttons pass the file unquoted to the workstation programs; Help opens the
    // manual.
    void openButtonsAndHelp() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, "A,B", "A,1\tB,2"));
        const QString file = f.TempPath(QStringLiteral("Line 3.SVT"));
        f.SaveAs(file);
        f.Click("cmdFinish");
        log.installDir = QStringLiteral("inst");
        bool disabledWhileRunning = false;
        log.onShell = [&](const QString&) {
            disabledWhileRunning =
                !f.Button("cmdOpenSV")->isEnabled() || !f.Button("cmdOpenSVAdmin")->isEnabled();
        };
        f.Click("cmdOpenSV");
        QVERIFY(disabledWhileRunning);
        f.Click("cmdOpenSVAdmin");
        const QString d = QStringLiteral("inst") + QDir::separator();
        QCOMPARE(log.commands.filter(QStringLiteral(".exe")),
                 (QStringList{d + "sv6.exe " + file, d + "sv6admin.exe @" + file}));
        QVERIFY(f.window->isVisible());
        QCOMPARE(f.Enabled({"cmdOpenSV", "cmdOpenSVAdmin"}).size(), 2);

        // Help opens the manual beside the program.
        f.Click("cmdHelp");
        QCOMPARE(f.shell.opened,
                 QStringList{QDir::toNativeSeparators(QCoreApplication::applicationDirPath()) +
                             QDir::separator() + ProgramName() + QStringLiteral(".pdf")});
    }

    // A preview that fails says why in a Stop message and leaves the window as it was and no
    // file behind: the tool object cannot be made, the disk fills (and nothing is started), or
    // the workstation program cannot be started (the tool object throws, as the real one does).
    void previewFailuresComeBackAsMessages_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // a part of it
        QTest::newRow("no tool object") << "no tool object"
                                        << "";
        QTest::newRow("disk full") << "disk full"
                                   << "No space left";
        QTest::newRow("program missing") << "program missing"
                                         << "sv6.exe";
    }
    void previewFailuresComeBackAsMessages() {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, "A,B", "A,1\tB,2"));
        QTemporaryDir temp;
        log.installDir = QStringLiteral("/opt/sv6");
        log.base = QDir::toNativeSeparators(temp.filePath(QStringLiteral("SV0002")));
        log.failCreation = fault == QLatin1String("no tool object");
        std::optional<ScopedComponent> replaced;
        if (fault == QLatin1String("disk full")) {
            replaced.emplace(QLatin1String(ApplicationClassName), [] {
                return std::make_unique<Application>(
                    FailingSaveFile::Factory(SaveFault::DiskFull, 100));
            });
        } else if (fault == QLatin1String("program missing")) {
            log.onShell = [](const QString& line) {
                throw ComponentError(QStringLiteral("Cannot start ") + line);
            };
        }
        f.Click("cmdPreview");
        // Only the missing program was tried.
        QCOMPARE(log.commands.filter(QStringLiteral(".exe")).size(),
                 qsizetype(fault == "program missing"));
        QVERIFY2(f.messages.OnlyOne(MessageIcon::Stop, message),
                 qPrintable(f.messages.Texts().join('|')));
        QVERIFY(f.window->isVisible());
        QVERIFY(f.Button("cmdPreview")->isEnabled());
        QVERIFY(!f.busy.busy);
        QCOMPARE(QDir(temp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    }

    // Preview's refusals advise what Preview can do: never to press Finish.
    void previewRefusalsDoNotSendTheUserToFinish() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, "A,,B", "A,1\t,2\tB,3"));
        log.installDir = QStringLiteral("/opt/sv6");
        f.Click("cmdPreview");
        QVERIFY2(f.messages.OnlyOne(MessageIcon::Stop, QStringLiteral("no name")),
                 qPrintable(f.messages.Texts().join('|')));
        QVERIFY2(!f.messages.shown.front().text.contains(QStringLiteral("Finish")),
                 qPrintable(f.messages.shown.front().text));
        QVERIFY(log.commands.filter(QStringLiteral(".exe")).isEmpty());
    }
};

QTEST_MAIN(TestWorkstationTools)
#include "test_workstation_tools.moc"
