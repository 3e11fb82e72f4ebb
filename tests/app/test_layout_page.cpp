// The Layout page: the preview grid, heading lines, the heading-lines list and moving columns.

#include "support/WizardFixture.h"

#include <QDate>

namespace {

const QString Names =
    QStringLiteral("Kiln Inlet Temperature,Boiler Feed Water Flow,Pump Discharge PV,Tank1.Level");
const QString Values = QStringLiteral(
    "Kiln Inlet Temperature,812.5\tBoiler Feed Water Flow,14.25\tPump Discharge PV,3.5\t"
    "Tank1.Level,77");

QList<int> ColumnTags(FlexGrid* g) {
    QList<int> tags;
    for (int c = 2; c < g->Cols(); ++c)
        tags << g->ColData(c);
    return tags;
}

} // namespace

class TestLayoutPage : public QObject {
    Q_OBJECT

private slots:
    void previewGridFromTheSelectedTags() {
        WizardFixture f;
        QVERIFY(f.Start());
        // The list starts at 3 until the Layout page is entered.
        auto* list = f.Find<QComboBox>("cboMaxLines");
        QCOMPARE(list->currentIndex(), 3);
        f.ConnectDirect(Names, Values);
        f.Click("cmdNext");
        f.Grid("SelectTagsGrid")->ToggleCheck(2, 0); // leave out the second tag
        f.Click("cmdNext");
        FlexGrid* g = f.Grid("LayoutGrid");
        QCOMPARE(g->Rows(), 11);
        QCOMPARE(ColumnTags(g), (QList<int>{1, 3, 4}));
        // No stored entry: list entry "0", names untouched but dots become line breaks.
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(RowTexts(g, 0), (QStringList{"Date", "Time", "Kiln Inlet Temperature",
                                              "Pump Discharge PV", "Tank1\r\nLevel"}));
        // The heading row is as tall as the tallest heading, of two lines here.
        QCOMPARE(g->RowHeight(0), (g->RowHeight(1) - 15) * 2);
        // The date and time are the clock's.
        for (int r = 1; r <= 10; ++r) {
            QCOMPARE(g->TextMatrix(r, 0), QStringLiteral("2026-03-04"));
            QCOMPARE(g->TextMatrix(r, 1), QStringLiteral("05:06:07"));
            QCOMPARE(g->TextMatrix(r, 3), QStringLiteral("3.5"));
        }
        QCOMPARE(f.window->State().tags->At(2).Variable(),
                 QString()); // not selected, not formatted
    }

    void columnMoveRule_data() {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("to");
        QTest::addColumn<QList<int>>("order"); // tags of columns 2.. afterwards
        QTest::newRow("date stays") << 0 << 3 << QList<int>{1, 2, 3, 4};
        QTest::newRow("time stays") << 1 << 4 << QList<int>{1, 2, 3, 4};
        QTest::newRow("onto date") << 3 << 0 << QList<int>{1, 2, 3, 4};
        QTest::newRow("onto time") << 4 << 1 << QList<int>{1, 2, 3, 4};
        QTest::newRow("to the front of the tags") << 4 << 2 << QList<int>{3, 1, 2, 4};
        QTest::newRow("to the end") << 2 << 5 << QList<int>{2, 3, 4, 1};
    }
    void columnMoveRule() {
        QFETCH(int, col);
        QFETCH(int, to);
        QFETCH(QList<int>, order);
        WizardFixture f;
        QVERIFY(f.StartOnPage(3, Names, Values));
        FlexGrid* g = f.Grid("LayoutGrid");
        g->MoveColumn(col, to);
        QCOMPARE(RowTexts(g, 0).mid(0, 2), (QStringList{"Date", "Time"}));
        QCOMPARE(ColumnTags(g), order);
        // Back to the Select Tags page and forward again, the columns are built afresh.
        f.Click("cmdPrev");
        f.Click("cmdNext");
        QCOMPARE(ColumnTags(g), (QList<int>{1, 2, 3, 4}));
    }

    // Choosing another entry formats the headings again: the columns keep their order, each
    // heading is found by its tag, and the heading row is as tall as the tallest heading.
    void reformattingKeepsTheOrderAndFindsEachTag() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(3, Names, Values));
        FlexGrid* g = f.Grid("LayoutGrid");
        g->MoveColumn(5, 2);
        g->MoveColumn(5, 3);
        QCOMPARE(ColumnTags(g), (QList<int>{4, 3, 1, 2}));
        f.Find<QComboBox>("cboMaxLines")->setCurrentIndex(1);
        QCOMPARE(g->TextMatrix(0, 5), QStringLiteral("Boiler Feed Water Flow"));
        QCOMPARE(g->RowHeight(0), g->RowHeight(1) - 15);
        f.Find<QComboBox>("cboMaxLines")->setCurrentIndex(2);
        QCOMPARE(ColumnTags(g), (QList<int>{4, 3, 1, 2}));
        QCOMPARE(g->RowHeight(0), (g->RowHeight(1) - 15) * 2);
        QCOMPARE(g->TextMatrix(0, 2), QStringLiteral("Tank1.Level"));
        QCOMPARE(g->TextMatrix(0, 3), QStringLiteral("Pump\r\nDischarge PV"));
        QCOMPARE(g->TextMatrix(0, 4), QStringLiteral("Kiln Inlet\r\nTemperature"));
        QCOMPARE(g->TextMatrix(1, 2), QStringLiteral("77")); // values travel with the column
        f.Find<QComboBox>("cboMaxLines")->setCurrentIndex(3);
        QCOMPARE(g->TextMatrix(0, 5), QStringLiteral("Boiler\r\nFeed\r\nWater Flow"));
        QCOMPARE(g->RowHeight(0), (g->RowHeight(1) - 15) * 3);
    }

    void storedMaxLines_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("index");
        QTest::newRow("five") << "5" << 5;
        QTest::newRow("nine") << "9" << 9;
        QTest::newRow("too many") << "12" << 0;
        QTest::newRow("negative") << "-1" << 0;
        QTest::newRow("fraction") << "2.5" << 0;
        QTest::newRow("garbage") << "lots" << 0;
    }
    void storedMaxLines() {
        QFETCH(QString, stored);
        QFETCH(int, index);
        WizardFixture f;
        f.settings.Write(QStringLiteral("MaxLines"), stored);
        QVERIFY(f.StartOnPage(3, Names, Values));
        QCOMPARE(f.Find<QComboBox>("cboMaxLines")->currentIndex(), index);
        f.Click("cmdNext");
        QCOMPARE(f.settings.Read("MaxLines").toString(), QString::number(index));
    }
};

QTEST_MAIN(TestLayoutPage)
#include "test_layout_page.moc"
