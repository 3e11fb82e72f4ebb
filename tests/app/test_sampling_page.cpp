// The Sampling page against a scripted hub: the grid, the heading, the changed-tag-list
// path, and a sample interrupted by the user.

#include "WizardFixture.h"

#include "ui/GridHeader.h"

#include <QSignalSpy>

namespace {

const QColor Cyan(0, 255, 255);
const QColor White(255, 255, 255);
const QString ChangedList = QStringLiteral("SVCorblex Tag List has changed. Please start over!");

QString Heading(FlexGrid* g) {
    return g->TextMatrix(0, 4);
}

} // namespace

class TestSamplingPage : public QObject {
    Q_OBJECT

private slots:
    void gridAndHeadingAfterTheFirstSample() {
        WizardFixture f;
        QVERIFY(f.Start());
        FlexGrid* grid = f.Grid("SamplingGrid");
        QString headingDuringFirstSample;
        f.hub.answerFor = [&](const QString& request) {
            if (request.endsWith(QLatin1String("GETTAGS")))
                return QStringLiteral("Tank1,Msg,Pump");
            headingDuringFirstSample = Heading(grid);
            return QStringLiteral("TANK1,12.5\tMsg,a,b,c\tpump,");
        };
        f.ConnectDirect(QString(), QString());
        QCOMPARE(f.window->CurrentPage(), 1);
        QCOMPARE(headingDuringFirstSample, QStringLiteral("Sample Value #0"));
        QCOMPARE(Heading(grid), QStringLiteral("Sample Value #1, No property changes for 0 secs"));
        QCOMPARE(grid->Rows(), 4);
        QCOMPARE(grid->Cols(), 5);
        const QStringList headings{"Tag Alias", "Type", "Length", "Decimals"};
        for (int c = 0; c < 4; ++c)
            QCOMPARE(grid->TextMatrix(0, c), headings.at(c));
        // Names match ignoring case; a value keeps every comma after the first.
        QCOMPARE(grid->TextMatrix(1, 0), QStringLiteral("Tank1"));
        QCOMPARE(grid->TextMatrix(1, 1), QStringLiteral("N"));
        QCOMPARE(grid->TextMatrix(1, 2), QStringLiteral("4"));
        QCOMPARE(grid->TextMatrix(1, 3), QStringLiteral("1"));
        QCOMPARE(grid->TextMatrix(1, 4), QStringLiteral("12.5"));
        QCOMPARE(grid->TextMatrix(2, 1), QStringLiteral("T"));
        QCOMPARE(grid->TextMatrix(2, 2), QStringLiteral("5"));
        QCOMPARE(grid->TextMatrix(2, 4), QStringLiteral("a,b,c"));
        QCOMPARE(f.window->Tags().At(2).Value(), QStringLiteral("a,b,c"));
        // An empty value changes nothing and paints the row white.
        QCOMPARE(grid->TextMatrix(3, 1), QStringLiteral("N"));
        QCOMPARE(grid->CellBackColor(1, 1), Cyan);
        QCOMPARE(grid->CellBackColor(1, 3), Cyan);
        QCOMPARE(grid->CellBackColor(3, 2), White);
        QVERIFY(f.Timer()->isActive());
    }

    void secondsSinceTheLastChange_data() {
        QTest::addColumn<quint32>("start");
        QTest::addColumn<quint32>("elapsed");
        QTest::addColumn<int>("seconds");
        QTest::newRow("1499 ms") << 5000u << 1499u << 1;
        QTest::newRow("1500 ms") << 5000u << 1500u << 2;
        QTest::newRow("2500 ms") << 5000u << 2500u << 2;
        QTest::newRow("3500 ms") << 5000u << 3500u << 4;
        QTest::newRow("counter wraps") << 0xFFFFFF00u << 2500u << 2;
    }
    void secondsSinceTheLastChange() {
        QFETCH(quint32, start);
        QFETCH(quint32, elapsed);
        QFETCH(int, seconds);
        WizardFixture f;
        QVERIFY(f.Start());
        f.clock.now = start;
        f.ConnectDirect(QStringLiteral("A,B"), QStringLiteral("A,1\tB,OFF"));
        f.clock.now = start + elapsed; // wraps around for the last row
        f.window->SampleValues();
        QCOMPARE(Heading(f.Grid("SamplingGrid")),
                 QStringLiteral("Sample Value #2, No property changes for %1 secs").arg(seconds));
        QCOMPARE(f.Grid("SamplingGrid")->CellBackColor(1, 1), White);
    }

    void changedTagListGoesBackToConnect_data() {
        QTest::addColumn<QString>("values");
        QTest::addColumn<QString>("rowOneAfter");
        QTest::newRow("trailing tab") << "A,1\tB,2\t"
                                      << "";
        QTest::newRow("one entry short") << "A,1"
                                         << "";
        QTest::newRow("empty answer") << ""
                                      << "";
        QTest::newRow("name differs") << "A,7\tC,2"
                                      << "7";
    }
    void changedTagListGoesBackToConnect() {
        QFETCH(QString, values);
        QFETCH(QString, rowOneAfter);
        WizardFixture f;
        QVERIFY(f.Start());
        f.ConnectDirect(QStringLiteral("A,B"), QStringLiteral("A,1\tB,2"));
        QCOMPARE(f.window->CurrentPage(), 1);
        f.hub.values = values;
        f.window->SampleValues();
        QCOMPARE(f.messages.Texts(), QStringList{ChangedList});
        QCOMPARE(f.messages.shown.front().icon, MessageIcon::Stop);
        QCOMPARE(f.window->CurrentPage(), 0);
        QVERIFY(!f.Timer()->isActive());
        QVERIFY(f.Button("cmdNext")->isEnabled());
        // Rows before the mismatch keep what this sample wrote.
        QCOMPARE(f.Grid("SamplingGrid")->TextMatrix(1, 4),
                 rowOneAfter.isEmpty() ? "1" : rowOneAfter);
    }

    // The first sample's entries are matched with the names of the tag list: an empty entry
    // matches an empty name only. A list that does not match never starts the timer.
    void firstSampleMatchesTheNames_data() {
        QTest::addColumn<QString>("tags");
        QTest::addColumn<QString>("values");
        QTest::addColumn<bool>("matches");
        QTest::newRow("empty names, empty entries") << ","
                                                    << "\t" << true;
        QTest::newRow("empty entry for an empty name") << "A,,B"
                                                       << "A,1\t\tB,2" << true;
        QTest::newRow("entry without comma for an empty name") << "A,,B"
                                                               << "A,1\tX\tB,2" << false;
        QTest::newRow("one entry short") << "A,B"
                                         << "A,1" << false;
    }
    void firstSampleMatchesTheNames() {
        QFETCH(QString, tags);
        QFETCH(QString, values);
        QFETCH(bool, matches);
        WizardFixture f;
        QVERIFY(f.Start());
        f.ConnectDirect(tags, values);
        QCOMPARE(f.messages.Texts(), matches ? QStringList() : QStringList{ChangedList});
        QCOMPARE(f.window->CurrentPage(), matches ? 1 : 0);
        QCOMPARE(f.Tabs()->currentIndex(), matches ? 1 : 0);
        QCOMPARE(f.Timer()->isActive(), matches);
        QCOMPARE(f.Button("cmdPrev")->isEnabled(), matches);
    }

    void nextDuringASampleLeavesTheHeadingAsItWas() {
        WizardFixture f;
        QVERIFY(f.Start());
        f.window->SetSampleYieldBudget(0);
        f.ConnectDirect(QStringLiteral("A,B,C"), QStringLiteral("A,1\tB,2\tC,3"));
        FlexGrid* grid = f.Grid("SamplingGrid");
        const QString before = Heading(grid);
        f.hub.values = QStringLiteral("A,10\tB,20\tC,30");
        int row = 0;
        f.pump.onPump = [&] {
            if (++row == 1)
                f.Click("cmdNext");
        };
        f.window->SampleValues();
        QCOMPARE(f.window->CurrentPage(), 2);
        QCOMPARE(Heading(grid), before);
        QCOMPARE(grid->TextMatrix(1, 4), QStringLiteral("10"));
        QCOMPARE(grid->TextMatrix(2, 4), QStringLiteral("2")); // never reached
        QVERIFY(!f.Timer()->isActive());
    }

    void closeDuringASampleEndsItAfterTheRow() {
        WizardFixture f;
        QVERIFY(f.Start());
        f.window->SetSampleYieldBudget(0);
        f.ConnectDirect(QStringLiteral("A,B,C"), QStringLiteral("A,1\tB,2\tC,3"));
        QSignalSpy unloaded(f.window.get(), &frmSVCorblexAppGen::Unloaded);
        f.hub.values = QStringLiteral("A,10\tB,20\tC,30");
        int row = 0;
        f.pump.onPump = [&] {
            if (++row == 2)
                f.Click("cmdClose");
        };
        f.window->SampleValues();
        QCOMPARE(unloaded.count(), 1);
        QVERIFY(f.window->StopSampling());
        QVERIFY(!f.Timer()->isActive());
        QCOMPARE(f.Grid("SamplingGrid")->TextMatrix(2, 4), QStringLiteral("20"));
        QCOMPARE(f.Grid("SamplingGrid")->TextMatrix(3, 4), QStringLiteral("3"));
        QVERIFY(!f.window->SamplingInProgress());
    }

    void ticksDuringASampleAreSkipped() {
        WizardFixture f;
        QVERIFY(f.Start());
        f.window->SetSampleYieldBudget(0);
        f.ConnectDirect(QStringLiteral("A,B"), QStringLiteral("A,1\tB,2"), QStringLiteral("100"));
        f.Timer()->setInterval(1);
        const qsizetype requests = f.hub.requests.size();
        qsizetype duringSample = -1;
        bool ticked = false;
        f.pump.onPump = [&] {
            // A real tick arrives while the sample runs and must not start a second one.
            QSignalSpy tick(f.Timer(), &QTimer::timeout);
            ticked = tick.wait(5000);
            duringSample = f.hub.requests.size();
        };
        f.window->SampleValues();
        QVERIFY(ticked);
        QCOMPARE(duringSample, requests + 1);
        f.pump.onPump = nullptr;
    }

    // A long tag name (the demo hub has one) gives up width so that the value column and
    // its heading with the figures the user waits for fit without scrolling sideways.
    void valueHeadingFitsBesideLongNames() {
        WizardFixture f;
        QVERIFY(f.Start());
        const QStringList names{
            QStringLiteral("Very Long Tag Name Used To Test The Heading Line Layout Of Columns"),
            QStringLiteral("Compressor1.Discharge.Pressure"), QStringLiteral("Batch Description"),
            QStringLiteral("PV")};
        const QString values = names[0] + ",12.5\t" + names[1] + ",7.52\t" + names[2] +
                               ",Batch 17, grade A, silo 3\t" + names[3] + ",1";
        f.ConnectDirect(names.join(','), values);
        for (int i = 0; i < 120; ++i) // three-digit sample count
            f.window->SampleValues();
        f.clock.now += 45'000;
        f.window->SampleValues();
        FlexGrid* grid = f.Grid("SamplingGrid");
        QCOMPARE(Heading(grid),
                 QStringLiteral("Sample Value #122, No property changes for 45 secs"));
        grid->Refresh();
        int total = 0;
        for (int c = 0; c < grid->Cols(); ++c)
            total += grid->ColWidth(c);
        QVERIFY2(total <= grid->VisibleCellsWidth(),
                 qPrintable(QStringLiteral("%1 > %2").arg(total).arg(grid->VisibleCellsWidth())));
        // The heading's own text is not shortened: its column is as wide as it needs.
        QVERIFY(grid->ColWidth(4) >=
                grid->header()->fontMetrics().horizontalAdvance(Heading(grid)));
        QVERIFY(grid->ColWidth(0) >= grid->fontMetrics().horizontalAdvance("Tag Alias"));
    }
};

QTEST_MAIN(TestSamplingPage)
#include "test_sampling_page.moc"
