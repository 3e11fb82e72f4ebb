// The Sampling page against a scripted hub: the grid, the heading, the changed-tag-list
// path, and a sample interrupted by the user.

#include "support/WizardFixture.h"

#include "ui/GridHeader.h"

#include <QSignalSpy>
#include <QTableView>

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
        QCOMPARE(grid->Rows(), 4);
        QCOMPARE(RowTexts(grid, 0),
                 (QStringList{"Tag Alias", "Type", "Length", "Decimals",
                              "Sample Value #1, No property changes for 0 secs"}));
        // Names match ignoring case; a value keeps every comma after the first; an empty value
        // changes nothing and paints the row white.
        QCOMPARE(RowTexts(grid, 1), (QStringList{"Tank1", "N", "4", "1", "12.5"}));
        QCOMPARE(RowTexts(grid, 2), (QStringList{"Msg", "T", "5", "0", "a,b,c"}));
        QCOMPARE(RowTexts(grid, 3), (QStringList{"Pump", "N", "1", "0", ""}));
        QCOMPARE(f.window->State().tags->At(2).Value(), QStringLiteral("a,b,c"));
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
        f.clock.now = start;
        QVERIFY(f.StartOnPage(1, QStringLiteral("A,B"), QStringLiteral("A,1\tB,OFF")));
        f.clock.now = start + elapsed; // wraps around for the last row
        f.window->SampleValues();
        QCOMPARE(Heading(f.Grid("SamplingGrid")),
                 QStringLiteral("Sample Value #2, No property changes for %1 secs").arg(seconds));
        QCOMPARE(f.Grid("SamplingGrid")->CellBackColor(1, 1), White);
    }

    // Each sample's entries are matched with the names of the tag list; an empty entry
    // matches an empty name only. When the first sample or a later one does not match, the
    // wizard says the list changed and is back on Connect with the timer stopped; rows before
    // the mismatch keep what that sample wrote.
    void samplesMatchTheNames_data() {
        QTest::addColumn<QString>("tags");
        QTest::addColumn<QString>("first"); // the first sample's answer
        QTest::addColumn<QString>("later"); // a later sample's answer; null when none
        QTest::addColumn<bool>("matches");
        QTest::addColumn<QString>("rowOne"); // the first row's value after a later sample
        const auto row = [](const char* name, const char* tags, const char* first,
                            const char* later, bool matches, const char* rowOne) {
            QTest::newRow(name) << QString(tags) << QString(first) << QString(later) << matches
                                << QString(rowOne);
        };
        row("empty names, empty entries", ",", "\t", nullptr, true, nullptr);
        row("empty entry for an empty name", "A,,B", "A,1\t\tB,2", nullptr, true, nullptr);
        row("comma for an empty name", "A,,B", "A,1\t,\tB,2", nullptr, true, nullptr);
        row("entry without comma for an empty name", "A,,B", "A,1\tX\tB,2", nullptr, false,
            nullptr);
        row("first one entry short", "A,B", "A,1", nullptr, false, nullptr);
        row("later trailing tab", "A,B", "A,1\tB,2", "A,1\tB,2\t", false, "1");
        row("later one entry short", "A,B", "A,1\tB,2", "A,1", false, "1");
        row("later empty answer", "A,B", "A,1\tB,2", "", false, "1");
        row("later name differs", "A,B", "A,1\tB,2", "A,7\tC,2", false, "7");
    }
    void samplesMatchTheNames() {
        QFETCH(QString, tags);
        QFETCH(QString, first);
        QFETCH(QString, later);
        QFETCH(bool, matches);
        QFETCH(QString, rowOne);
        WizardFixture f;
        QCOMPARE(f.StartOnPage(1, tags, first), matches || !later.isNull());
        if (!later.isNull()) {
            f.hub.values = later;
            f.window->SampleValues();
        }
        QCOMPARE(f.messages.Texts(), matches ? QStringList() : QStringList{ChangedList});
        if (!matches)
            QCOMPARE(f.messages.shown.front().icon, MessageIcon::Stop);
        QCOMPARE(f.window->CurrentPage(), matches ? 1 : 0);
        QCOMPARE(f.Tabs()->currentIndex(), matches ? 1 : 0);
        QCOMPARE(f.Timer()->isActive(), matches);
        QCOMPARE(f.Enabled({"cmdPrev", "cmdNext"}),
                 (matches ? QStringList{"cmdPrev", "cmdNext"} : QStringList{"cmdNext"}));
        if (!later.isNull())
            QCOMPARE(f.Grid("SamplingGrid")->TextMatrix(1, 4), rowOne);
    }

    // Next or Close pressed while a sample runs (the event pump is called between rows): the
    // sample ends after that row, the timer stops and the heading keeps the last whole sample.
    void buttonDuringASampleEndsItAfterTheRow_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("row"); // the row during which it is pressed
        QTest::addColumn<QStringList>("values");
        QTest::newRow("Next") << "cmdNext" << 1 << QStringList{"10", "2", "3"};
        QTest::newRow("Close") << "cmdClose" << 2 << QStringList{"10", "20", "3"};
    }
    void buttonDuringASampleEndsItAfterTheRow() {
        QFETCH(QString, button);
        QFETCH(int, row);
        QFETCH(QStringList, values);
        const bool close = button == QLatin1String("cmdClose");
        WizardFixture f;
        QVERIFY(f.StartOnPage(1, QStringLiteral("A,B,C"), QStringLiteral("A,1\tB,2\tC,3")));
        f.window->SetSampleYieldBudget(0);
        QSignalSpy unloaded(f.window.get(), &frmSVCorblexAppGen::Unloaded);
        FlexGrid* grid = f.Grid("SamplingGrid");
        const QString before = Heading(grid);
        f.hub.values = QStringLiteral("A,10\tB,20\tC,30");
        int pumped = 0;
        f.pump.onPump = [&] {
            if (++pumped == row)
                f.Click(qPrintable(button));
        };
        f.window->SampleValues();
        QCOMPARE(unloaded.count(), close ? 1 : 0);
        QVERIFY(f.window->StopSampling());
        if (!close)
            QCOMPARE(f.window->CurrentPage(), 2);
        QCOMPARE(Heading(grid), before);
        QStringList shown;
        for (int r = 1; r <= 3; ++r)
            shown << grid->TextMatrix(r, 4);
        QCOMPARE(shown, values);
        QVERIFY(!f.Timer()->isActive());
        QVERIFY(!f.window->SamplingInProgress());
    }

    void ticksDuringASampleAreSkipped() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(1, QStringLiteral("A,B"), QStringLiteral("A,1\tB,2")));
        f.window->SetSampleYieldBudget(0);
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
        const QStringList names{
            QStringLiteral("Very Long Tag Name Used To Test The Heading Line Layout Of Columns"),
            QStringLiteral("Compressor1.Discharge.Pressure"), QStringLiteral("Batch Description"),
            QStringLiteral("PV")};
        const QString values = names[0] + ",12.5\t" + names[1] + ",7.52\t" + names[2] +
                               ",Batch 17, grade A, silo 3\t" + names[3] + ",1";
        QVERIFY(f.StartOnPage(1, names.join(','), values));
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
        // A name shortened on screen can still be read whole: its cell's tooltip holds it.
        QVERIFY(grid->ColWidth(0) < grid->fontMetrics().horizontalAdvance(names[0]));
        const QAbstractItemModel* model = grid->view()->model();
        for (int r = 0; r < names.size(); ++r)
            QCOMPARE(model->index(r, 0).data(Qt::ToolTipRole).toString(), names[r]);
    }
};

QTEST_MAIN(TestSamplingPage)
#include "test_sampling_page.moc"
