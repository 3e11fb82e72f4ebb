// The window's start-up, navigation, buttons and settings store.

#include "support/WizardFixture.h"

#include "settings/Config.h"

#include <QHostInfo>
#include <QSignalSpy>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const QString Tags3 = QStringLiteral("Tank1.Level,Pump Speed,Valve");
const QString Values3 = QStringLiteral("Tank1.Level,12.5\tPump Speed,1450\tValve,OPEN");

} // namespace

class TestWizard : public QObject {
    Q_OBJECT

private slots:
    void startupFailureShowsOnlyTheMessage() {
        WizardFixture f;
        ScopedComponent noReader(QLatin1String(HubReaderClassName), nullptr);
        QVERIFY(!f.Start());
        QCOMPARE(f.messages.Texts(),
                 QStringList{QStringLiteral("In order to run SV Application Generator you need to "
                                            "have SV Workstation installed on this machine.")});
        QCOMPARE(f.messages.shown.front().icon, MessageIcon::Stop);
        QCOMPARE(f.messages.shown.front().title, QStringLiteral("SV Workstation not installed."));
        QVERIFY(!f.window->isVisible());
        QVERIFY(f.window->StopSampling());
        QVERIFY(!f.settings.Exists());
    }

    // At start-up the Connect page shows the defaults, and a first start writes nothing; or
    // it shows what is stored, where a method other than 1 means direct. A settings file that
    // cannot be read gives the defaults without a word.
    void startShowsTheConnectPage_data() {
        QTest::addColumn<QString>("stored"); // the method; null when nothing is stored
        QTest::addColumn<bool>("remote");
        QTest::addColumn<QByteArray>("file"); // written as the settings file when not empty
        QTest::newRow("first start") << QString() << false << QByteArray();
        QTest::newRow("direct") << "0" << false << QByteArray();
        QTest::newRow("remote") << "1" << true << QByteArray();
        QTest::newRow("out of range") << "7" << false << QByteArray();
        QTest::newRow("garbage") << "abc" << false << QByteArray();
        QTest::newRow("empty") << "" << false << QByteArray();
        QTest::newRow("unreadable file")
            << QString() << false
            << QByteArray("\x01\x02[[[Settings\nMethod\x00=1\n\xff\xfe garbage ]]]=\n", 40);
    }
    void startShowsTheConnectPage() {
        QFETCH(QString, stored);
        QFETCH(bool, remote);
        QFETCH(QByteArray, file);
        const bool first = stored.isNull();
        WizardFixture f;
        if (!file.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(f.settings.FilePath()).path()));
            QFile out(f.settings.FilePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file);
        }
        if (!first) {
            f.settings.Write(QStringLiteral("Method"), stored);
            f.settings.Write(QStringLiteral("Address"), QStringLiteral("plant-hub"));
            f.settings.Write(QStringLiteral("Port"), QStringLiteral("6001"));
            f.settings.Write(QStringLiteral("SampleRate"), QStringLiteral("250"));
        }
        QVERIFY(f.Start());
        QVERIFY(f.hub.silent);
        QCOMPARE(f.window->CurrentPage(), 0);
        QCOMPARE(f.Tabs()->currentIndex(), 0);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(f.Tabs()->isTabEnabled(i), i == 0);
        QCOMPARE(f.Find<QRadioButton>("optConnectMethod(0)")->isChecked(), !remote);
        QCOMPARE(f.Find<QRadioButton>("optConnectMethod(1)")->isChecked(), remote);
        QCOMPARE(f.Box("txtTCPaddress")->text(), first ? QHostInfo::localHostName() : "plant-hub");
        QCOMPARE(f.Box("txtTCPport")->text(), first ? "6000" : "6001");
        QCOMPARE(f.Box("txtSampleRate")->text(), first ? "0" : "250");
        QCOMPARE(f.Enabled({"lblTCPaddress", "txtTCPaddress", "lblTCPport", "txtTCPport"}).size(),
                 remote ? 4 : 0);
        QCOMPARE(f.Enabled({"cmdPrev", "cmdNext", "cmdFinish", "cmdHelp", "cmdClose"}),
                 (QStringList{"cmdNext", "cmdHelp", "cmdClose"}));
        QVERIFY(!f.Timer()->isActive());
        QCOMPARE(f.settings.Exists(), !first || !file.isEmpty());
        QVERIFY(f.messages.shown.empty());
    }

    void walkForwardAndBackThroughEveryPage() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(1, Tags3, Values3));
        QVERIFY(f.Timer()->isActive());
        for (int page = 2; page <= 4; ++page) {
            f.Click("cmdNext");
            QCOMPARE(f.window->CurrentPage(), page);
            QCOMPARE(f.Tabs()->currentIndex(), page);
            for (int i = 0; i < 5; ++i)
                QCOMPARE(f.Tabs()->isTabEnabled(i), i == page);
            QVERIFY(!f.Timer()->isActive());
            QVERIFY(f.Button("cmdPrev")->isEnabled());
            QCOMPARE(f.Button("cmdNext")->isEnabled(), page != 4);
        }
        QVERIFY(f.messages.shown.empty());

        // Back from 4 and 3: the pages show what they held; from 2 sampling starts again.
        f.Click("cmdPrev");
        QCOMPARE(f.window->CurrentPage(), 3);
        QVERIFY(f.Button("cmdNext")->isEnabled());
        f.Click("cmdPrev");
        QCOMPARE(f.window->CurrentPage(), 2);
        const qsizetype requests = f.hub.requests.size();
        const qint32 samples = f.window->SampleCount();
        f.Click("cmdPrev");
        QCOMPARE(f.window->CurrentPage(), 1);
        QCOMPARE(f.hub.requests.size(), requests + 1);
        QCOMPARE(f.window->SampleCount(), samples + 1);
        QVERIFY(f.Timer()->isActive());

        // Back to the Connect page: the stored settings are shown and the timer stops.
        f.Box("txtTCPaddress")->setText(QStringLiteral("typed but not stored"));
        f.Box("txtSampleRate")->setText(QStringLiteral("5"));
        f.Click("cmdPrev");
        QCOMPARE(f.window->CurrentPage(), 0);
        QVERIFY(!f.Timer()->isActive());
        QVERIFY(!f.window->StopSampling());
        QCOMPARE(f.Box("txtSampleRate")->text(), QStringLiteral("1000"));
        QCOMPARE(f.Box("txtTCPaddress")->text(), QHostInfo::localHostName());
        QCOMPARE(f.Enabled({"cmdPrev", "cmdFinish"}), QStringList());
    }

    // The window's own close command ends sampling and unloads, as the Close button does.
    void closeStopsSamplingAndUnloads() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(1, Tags3, Values3));
        QSignalSpy unloaded(f.window.get(), &frmSVCorblexAppGen::Unloaded);
        QVERIFY(f.window->close());
        QVERIFY(f.window->StopSampling());
        QVERIFY(!f.Timer()->isActive());
        QCOMPARE(f.Timer()->interval(), 0);
        QVERIFY(!f.window->isVisible());
        QCOMPARE(unloaded.count(), 1);
    }

    // Settings: what one settings object writes, another (a later run) reads back as text;
    // a missing key gives the caller's default in its own type.
    void settingsRoundTripAndDefaultType() {
        WizardFixture f;
        QVERIFY(f.Start());
        frmSVCorblexAppGen& w = *f.window;
        const QVariant missing = w.ConfigReadValue("Settings", "Port", 6000);
        QCOMPARE(missing.typeId(), QMetaType::Int);
        QCOMPARE(missing.toInt(), 6000);
        QVERIFY(!f.settings.Exists());

        w.ConfigWriteValue("Settings", "Port", "6000");
        w.ConfigWriteValue("Settings", "Title", "first");
        w.ConfigWriteValue("Settings", "Title", "second");
        const QVariant stored = w.ConfigReadValue("Settings", "Port", 6000);
        QCOMPARE(stored.typeId(), QMetaType::QString);
        QCOMPARE(stored.toString(), missing.toString());

        Config other;
        other.SetApplicationName(QStringLiteral("SVCorblex"));
        other.SetProgramName(ProgramName());
        other.Load();
        QVERIFY(other.SectionExists(QStringLiteral("Settings")));
        QVERIFY(!other.SectionExists(QStringLiteral("Other")));
        auto section = other.GetSection(QStringLiteral("Settings"));
        QCOMPARE(section->ReadValue(QStringLiteral("Title"), QString()), QStringLiteral("second"));
        section->WriteValue(QStringLiteral("Filter"), QStringLiteral("tank"));
        other.Save();
        // Every read loads afresh: the window sees what the other object saved.
        QCOMPARE(w.ConfigReadValue("Settings", "Filter", QString()).toString(),
                 QStringLiteral("tank"));
        QVERIFY_THROWS_EXCEPTION(ComponentError, other.GetSection(QStringLiteral("Other")));
    }

    void unsavableSettingsWarnOnceAndGoOn_data() {
        QTest::addColumn<QString>("blocker");
        QTest::addColumn<QString>("reason");
        QTest::newRow("settings file is a folder") << "file is a folder"
                                                   << "the name is a folder";
        QTest::newRow("settings folder is a file") << "folder is a file"
                                                   << "is a file, not a folder";
        QTest::newRow("settings file is read-only") << "read-only"
                                                    << "the file is read-only";
    }
    void unsavableSettingsWarnOnceAndGoOn() {
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        WizardFixture f;
        const QString path = f.settings.FilePath();
        if (blocker == QLatin1String("folder is a file")) {
            QFile file(QFileInfo(path).path());
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (blocker == QLatin1String("file is a folder")) {
            QVERIFY(QDir().mkpath(path));
        } else {
#ifdef Q_OS_UNIX
            if (geteuid() == 0)
                QSKIP("the superuser writes read-only files");
#endif
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("[Settings]\nTitle=kept\n");
            file.close();
            QVERIFY(file.setPermissions(QFileDevice::ReadOwner));
        }
        QVERIFY(f.Start());
        QVERIFY(f.messages.shown.empty());
        f.ConnectDirect(Tags3, Values3);
        // The hub answered, so the wizard goes on; the user is told why nothing is stored, and
        // where, with the system's own folder separator.
        QVERIFY2(f.messages.OnlyOne(MessageIcon::Exclamation, QDir::toNativeSeparators(path)) &&
                     f.messages.Texts().front().contains(reason),
                 qPrintable(f.messages.Texts().join('|')));
        QVERIFY(!f.busy.busy);
        // Further writes (the filter, the heading lines) say nothing more; reads still work.
        f.Click("cmdNext", 3);
        QCOMPARE(f.window->CurrentPage(), 4);
        QCOMPARE(f.messages.shown.size(), size_t(1));
        if (blocker == QLatin1String("read-only"))
            QCOMPARE(f.Box("txtTitle")->text(), QStringLiteral("kept"));
    }

    // Objects are made by class name; an unknown name is an error. (A class whose factory
    // makes nothing is the start-up failure case above.)
    void createObjectByName() {
        RegisterStandardComponents();
        QVERIFY_THROWS_EXCEPTION(ComponentError,
                                 CreateObjectByName(QStringLiteral("No.SuchClass")));
        QVERIFY(CreateObject<Config>(QLatin1String(ConfigClassName)) != nullptr);
        // A class that exists but is not of the asked interface is an error, not a crash.
        QVERIFY_THROWS_EXCEPTION(ComponentError,
                                 CreateObject<IHubReader>(QLatin1String(ConfigClassName)));
    }

    // A build started from Finish while the tag list is still being fetched ends first; the
    // pointer must stay busy for the fetch. A restore with nothing busy changes nothing.
    void busyPointerNests() {
        IBusyPointer& pointer = *WithRealServices({}).busyPointer;
        {
            BusyScope fetch(pointer);
            { BusyScope build(pointer); }
            QVERIFY(QGuiApplication::overrideCursor() != nullptr);
        }
        QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
        QGuiApplication::setOverrideCursor(Qt::IBeamCursor);
        pointer.SetBusy(false);
        QVERIFY(QGuiApplication::overrideCursor() != nullptr);
        QGuiApplication::restoreOverrideCursor();
    }
};

QTEST_MAIN(TestWizard)
#include "test_wizard.moc"
