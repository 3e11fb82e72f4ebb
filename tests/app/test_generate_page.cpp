// The Generate page, Save As, Finish and the application build.

#include "support/WizardFixture.h"

#include "generate/Application.h"
#include "generate/IApplication.h"
#include "support/FailingSaveFile.h"
#include "support/RecordingApplication.h"

#include <QFileInfo>

namespace {

const QString Names = QStringLiteral("Tank1.Level,Pump Speed,Valve State");
const QString Values = QStringLiteral("Tank1.Level,12.345\tPump Speed,1450\tValve State,OPEN");

// The calls the builder makes on the recording application model, in order.
QStringList calls;

} // namespace

class TestGeneratePage : public QObject {
    Q_OBJECT

private slots:
    void saveAsProposals_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        const QString sep = QDir::separator();
        const QString here = QDir::toNativeSeparators(QDir::currentPath());
        QTest::newRow("title, no file yet") << "Line 3"
                                            << "" << here << "Line 3.svt";
        QTest::newRow("folder of the current file")
            << "Line 3" << sep + "plant" + sep + "apps" + sep + "old.SVT"
            << sep + "plant" + sep + "apps" + sep << "Line 3.svt";
        QTest::newRow("no separator, no title") << ""
                                                << "old.SVT" << QDir::rootPath() << "";
    }
    void saveAsProposals() {
        QFETCH(QString, title);
        QFETCH(QString, current);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, Names, Values));
        f.Box("txtTitle")->setText(title);
        f.Box("txtFilename")->setText(current);
        f.SaveAs(QString());
        QCOMPARE(f.saveDialog.requests.size(), size_t(1));
        const SaveDialogRequest& r = f.saveDialog.requests.front();
        QCOMPARE((QStringList{r.title, r.filterName, r.filterPattern, r.defaultSuffix}),
                 (QStringList{"Save File As ...", "Solvane Files (*.SVT)", "*.svt", "svt"}));
        QVERIFY(r.confirmOverwrite);
        QCOMPARE(r.initialFolder, QDir::toNativeSeparators(folder));
        QCOMPARE(r.initialName, name);
        // Cancelled: the box keeps its text and Finish follows it.
        QCOMPARE(f.Box("txtFilename")->text(), current);
        QCOMPARE(f.Button("cmdFinish")->isEnabled(), !current.isEmpty());
    }

    // Finish builds the application when the name ends in .svt, in any case. A bad name is
    // refused with a warning, a file that cannot be written with an error; either way nothing
    // is stored, nothing half written is left and an old file stays as it was.
    void finishBuildsOrChangesNothing_data() {
        QTest::addColumn<QString>("fileName"); // in the test's folder
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<QString>("refusal"); // a part of the message; empty when built
        const QString invalid = QStringLiteral("Invalid Solvane file specified.");
        QTest::newRow("lower case") << "line3.svt" << false << "";
        QTest::newRow("upper case") << "Line 3.SVT" << false << "";
        QTest::newRow("mixed case") << "x.SvT" << false << "";
        QTest::newRow("other extension") << "line3.txt" << false << invalid;
        QTest::newRow("no name") << "" << false << invalid;
        QTest::newRow("shorter than the extension") << "SVT" << false << invalid;
        QTest::newRow("missing folder") << "no/such/folder/app.SVT" << false << "app.SVT";
        QTest::newRow("name is a folder") << "afolder.SVT" << false << "afolder.SVT";
        QTest::newRow("disk fills") << "full.SVT" << true << "full.SVT";
    }
    void finishBuildsOrChangesNothing() {
        QFETCH(QString, fileName);
        QFETCH(bool, diskFull);
        QFETCH(QString, refusal);
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, Names, Values));
        QVERIFY(QDir(f.settings.dir.path()).mkdir(QStringLiteral("afolder.SVT")));
        const QString path = fileName.isEmpty() ? QString() : f.TempPath(fileName);
        QFile old(path);
        std::optional<ScopedComponent> fullDisk;
        if (diskFull) {
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write("previous content");
            old.close();
            fullDisk.emplace(QLatin1String(ApplicationClassName), [] {
                return std::make_unique<Application>(
                    FailingSaveFile::Factory(SaveFault::DiskFull, 100));
            });
        }
        f.SaveAs(path.isEmpty() ? f.TempPath("x.svt") : path);
        f.Box("txtFilename")->setText(path);
        f.Box("txtTitle")->setText(QStringLiteral("Line 3"));
        f.Click("cmdFinish");
        if (!refusal.isEmpty()) {
            const bool badName = refusal.startsWith(QLatin1String("Invalid"));
            QVERIFY2(
                f.messages.OnlyOne(badName ? MessageIcon::Exclamation : MessageIcon::Stop, refusal),
                qPrintable(f.messages.Texts().join('|')));
            QVERIFY(!f.busy.busy);
            QCOMPARE(f.window->State().appFileName, QString());
            QVERIFY(!f.settings.Read("Title").isValid());
            QVERIFY(!f.Button("cmdOpenSV")->isEnabled());
            if (diskFull) {
                QVERIFY(old.open(QIODevice::ReadOnly));
                QCOMPARE(old.readAll(), QByteArray("previous content"));
            }
            QCOMPARE(QDir(f.settings.dir.path()).entryList(QDir::Files),
                     diskFull ? QStringList{QStringLiteral("full.SVT")} : QStringList{});
            return;
        }
        QCOMPARE(f.messages.Texts(), QStringList{QStringLiteral("SV Application '") + path +
                                                 QStringLiteral("' has been created.")});
        QCOMPARE(f.messages.shown.front().icon, MessageIcon::Information);
        QCOMPARE(f.window->State().appFileName, path);
        QCOMPARE(f.Enabled({"cmdOpenSV", "cmdOpenSVAdmin"}).size(), 2);
        // The file is there; what it holds is the builder's and the end-to-end road's to check.
        QCOMPARE(Application::LoadFromFile(path).Title(), QStringLiteral("Line 3"));

        // The next visit of the page shows what was built, read back from the settings.
        f.Click("cmdPrev");
        f.Box("txtTitle")->setText(QStringLiteral("typed, never built"));
        f.Click("cmdNext");
        QCOMPARE(f.Box("txtTitle")->text(), QStringLiteral("Line 3"));
        QCOMPARE(f.Box("txtFilename")->text(), path);
    }

    // The first visit of the page shows the defaults; after a Save As, Finish stays enabled
    // across pages until a Save As is cancelled with an empty name.
    void finishStaysEnabledAcrossPagesUntilAnEmptySaveAs() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, Names, Values));
        QCOMPARE(f.Box("txtTitle")->text(), QStringLiteral("SVCorblex Generated Application"));
        QCOMPARE(f.Box("txtFilename")->text(), QString());
        QCOMPARE(
            f.Enabled({"txtFilename", "cmdFinish", "cmdOpenSV", "cmdOpenSVAdmin", "cmdPreview"}),
            QStringList{"cmdPreview"});
        f.SaveAs(f.TempPath("new.svt"));
        f.Click("cmdPrev");
        QVERIFY(f.Button("cmdFinish")->isEnabled());
        f.Click("cmdNext");
        // The box shows the stored name again, empty on a first run; Finish stays enabled.
        QCOMPARE(f.Box("txtFilename")->text(), QString());
        QVERIFY(f.Button("cmdFinish")->isEnabled());
        f.SaveAs(QString());
        QVERIFY(!f.Button("cmdFinish")->isEnabled());
    }

    void builderCallsInOrderWithTheDisplayedColumnOrder() {
        calls.clear();
        ScopedComponent recording(QLatin1String(ApplicationClassName),
                                  [] { return std::make_unique<RecordingApplication>(calls); });
        WizardFixture f;
        QVERIFY(f.Start());
        f.Find<QRadioButton>("optConnectMethod(1)")->setChecked(true);
        f.Box("txtTCPaddress")->setText(QStringLiteral("10.1.2.3"));
        f.Box("txtTCPport")->setText(QStringLiteral("6000.0"));
        f.hub.tags = Names;
        f.hub.values = Values;
        f.Box("txtSampleRate")->setText(QStringLiteral("500"));
        f.Click("cmdNext", 3);
        f.Grid("LayoutGrid")->MoveColumn(4, 2); // the third tag first
        f.Click("cmdNext");
        f.Box("txtTitle")->setText(QString());
        f.SaveAs(f.TempPath("b.SVT"));
        f.Click("cmdFinish");
        // The builder itself is tested on its own; here: the order shown and the typed prefix.
        QCOMPARE(calls.filter(QStringLiteral("AddVariable(")),
                 (QStringList{"AddVariable(Date,T,8,0)", "AddVariable(Time,T,8,0)",
                              "AddVariable(Valve State,T,4,0)", "AddVariable(Tank1_Level,N,6,3)",
                              "AddVariable(Pump Speed,N,4,0)"}));
        QVERIFY(calls.contains(QStringLiteral("SetLink(TCP:10.1.2.3:6000.0!Valve State)")));
    }

    void aLayoutOlderThanTheTagListIsRefused_data() {
        QTest::addColumn<QString>("names"); // the tag list fetched again
        QTest::addColumn<QString>("values");
        QTest::newRow("shorter list") << QStringLiteral("Only") << QStringLiteral("Only,1");
        QTest::newRow("same list") << Names << Values;
    }
    void aLayoutOlderThanTheTagListIsRefused() {
        QFETCH(QString, names);
        QFETCH(QString, values);
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, Names, Values));
        f.SaveAs(f.TempPath("stale.SVT"));
        f.Click("cmdPrev", 4);
        f.ConnectDirect(names, values);
        QCOMPARE(f.window->CurrentPage(), 1);
        QVERIFY(f.Button("cmdFinish")->isEnabled());
        f.Click("cmdFinish");
        QVERIFY2(f.messages.OnlyOne(MessageIcon::Stop, QStringLiteral("Layout page again")),
                 qPrintable(f.messages.Texts().join('|')));
        QVERIFY(!QFile::exists(f.saveDialog.answer));
        QVERIFY(!f.busy.busy);
        QVERIFY(!f.Button("cmdOpenSV")->isEnabled());

        // Laid out again, the same Finish builds a file whose every variable has a name.
        f.Click("cmdNext", 3);
        QCOMPARE(f.window->CurrentPage(), 4);
        f.SaveAs(f.TempPath("fresh.SVT"));
        f.Click("cmdFinish");
        QCOMPARE(f.messages.shown.back().icon, MessageIcon::Information);
        const Application saved = Application::LoadFromFile(f.saveDialog.answer);
        QCOMPARE(saved.Variables().size(), size_t(2 + names.count(QLatin1Char(',')) + 1));
        for (const ApplicationVariable& v : saved.Variables())
            QVERIFY(!v.Name().isEmpty());
    }

    // A hub may publish a tag without a name. Finish says which column holds it and how to go
    // on, and following that advice builds the file.
    void aTagWithoutANameIsNamedAndCanBeLeftOut() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(4, "A,,B", "A,1\t,2\tB,3"));
        f.SaveAs(f.TempPath("unnamed.SVT"));
        f.Click("cmdFinish");
        QVERIFY2(
            f.messages.OnlyOne(MessageIcon::Stop, QStringLiteral("Column 4 of the Layout page")),
            qPrintable(f.messages.Texts().join('|')));
        const QString refusal = f.messages.shown.front().text;
        QVERIFY2(refusal.contains(QStringLiteral("no name")), qPrintable(refusal));
        QVERIFY2(refusal.contains(QStringLiteral("Select Tags")), qPrintable(refusal));
        QVERIFY(!QFile::exists(f.saveDialog.answer));

        f.Click("cmdPrev", 2);
        QCOMPARE(f.window->CurrentPage(), 2);
        f.Grid("SelectTagsGrid")->ToggleCheck(2, 0);
        f.Click("cmdNext", 2);
        QCOMPARE(f.window->CurrentPage(), 4);
        f.SaveAs(f.TempPath("named.SVT")); // the page shows the file last made, none yet
        f.Click("cmdFinish");
        QVERIFY2(f.messages.shown.back().icon == MessageIcon::Information,
                 qPrintable(f.messages.Texts().join(QLatin1Char('|'))));
        const Application saved = Application::LoadFromFile(f.saveDialog.answer);
        QStringList names;
        for (const ApplicationVariable& v : saved.Variables())
            names << v.Name();
        QCOMPARE(names, (QStringList{"Date", "Time", "A", "B"}));
    }
};

QTEST_MAIN(TestGeneratePage)
#include "test_generate_page.moc"
