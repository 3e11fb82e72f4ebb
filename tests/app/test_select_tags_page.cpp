// The Select Tags page: check boxes, the select-all box, the filter and leaving the page.

#include "support/WizardFixture.h"

#include <QTableView>

namespace {

const QString Names = QStringLiteral("Tank 12 Level,Main TANK Temp,Pump Speed,Valve 3");
const QString Values = QStringLiteral("Tank 12 Level,1\tMain TANK Temp,2\tPump Speed,3\tValve 3,4");

QList<bool> Hidden(FlexGrid* g) {
    QList<bool> h;
    for (int r = 1; r < g->Rows(); ++r)
        h << g->RowHidden(r);
    return h;
}

// The check boxes of the column, the select-all box in the heading first.
QList<CellCheck> Checks(FlexGrid* g) {
    QList<CellCheck> checks;
    for (int r = 0; r < g->Rows(); ++r)
        checks << g->CellChecked(r, 0);
    return checks;
}

} // namespace

class TestSelectTagsPage : public QObject {
    Q_OBJECT

private slots:
    void everyRowStartsCheckedAndVisible() {
        WizardFixture f;
        f.settings.Write(QStringLiteral("Filter"), QStringLiteral("tank"));
        QVERIFY(f.StartOnPage(2, Names, Values));
        FlexGrid* g = f.Grid("SelectTagsGrid");
        QCOMPARE(RowTexts(g, 0),
                 (QStringList{"", "Tag ALias", "Type", "Length", "Decimals", "Value"}));
        QCOMPARE(Checks(g), QList<CellCheck>(5, CellCheck::Checked));
        // The stored filter is back in the box but hides nothing: every row is chosen.
        QCOMPARE(f.Box("txtFilter")->text(), QStringLiteral("tank"));
        QCOMPARE(Hidden(g), (QList<bool>{false, false, false, false}));
        QCOMPARE(RowTexts(g, 3), (QStringList{"", "Pump Speed", "N", "1", "0", "3"}));
        // Only the check boxes can be changed, and no column resized.
        bool cancel = false;
        g->OnBeforeEdit(2, 1, cancel);
        QVERIFY(cancel);
        cancel = false;
        g->OnBeforeEdit(2, 0, cancel);
        QVERIFY(!cancel);
        g->OnBeforeUserResize(0, 0, cancel);
        QVERIFY(cancel);
    }

    // The filter, when typed, hides the rows that neither match nor are chosen; the select-all
    // box reaches hidden rows too.
    void filterHidesOnlyRowsNeitherMatchingNorChosen() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(2, Names, Values));
        FlexGrid* g = f.Grid("SelectTagsGrid");
        g->ToggleCheck(3, 0); // Pump Speed cleared; Valve 3 stays checked
        f.Box("txtFilter")->setText(QStringLiteral("tank"));
        QCOMPARE(Hidden(g), (QList<bool>{false, false, true, false}));
        // Clearing a box after filtering does not filter again.
        g->ToggleCheck(4, 0);
        QCOMPARE(Hidden(g), (QList<bool>{false, false, true, false}));
        // A plain substring, not a pattern.
        f.Box("txtFilter")->setText(QStringLiteral("t*"));
        QCOMPARE(Hidden(g), (QList<bool>{false, false, true, true}));
        f.Box("txtFilter")->setText(QString());
        QCOMPARE(Hidden(g), (QList<bool>{false, false, false, false}));

        // The select-all box reaches hidden rows too.
        f.Box("txtFilter")->setText(QStringLiteral("tank"));
        QCOMPARE(Hidden(g), (QList<bool>{false, false, true, true}));
        g->ToggleCheck(0, 0); // clear all
        QCOMPARE(Checks(g), QList<CellCheck>(5, CellCheck::Cleared));
        g->ToggleCheck(0, 0); // check all
        QCOMPARE(Checks(g), QList<CellCheck>(5, CellCheck::Checked));
        f.Click("cmdNext");
        for (const TagItems::Ptr& t : *f.window->State().tags)
            QVERIFY(t->Selected());
        QCOMPARE(f.settings.Read("Filter").toString(), QStringLiteral("tank"));
    }

    // Typing in the filter keeps the user's place: the row at the top stays at the top and
    // the current row stays current, as long as the filter still shows them.
    void filterKeepsTheCurrentRowAndTheScrollPosition() {
        WizardFixture f;
        QStringList names, values;
        for (int i = 1; i <= 300; ++i) {
            names << QStringLiteral("Tag %1").arg(i);
            values << names.last() + QStringLiteral(",1");
        }
        QVERIFY(f.StartOnPage(2, names.join(','), values.join('\t')));
        FlexGrid* g = f.Grid("SelectTagsGrid");
        g->ToggleCheck(0, 0); // nothing chosen: the filter hides every row that does not match
        QTableView* view = g->view();
        view->scrollTo(view->model()->index(149, 0), QAbstractItemView::PositionAtTop);
        view->setCurrentIndex(view->model()->index(154, 1));
        const auto topName = [view] {
            return view->model()->index(view->rowAt(0), 1).data().toString();
        };
        const auto currentName = [view] {
            return view->currentIndex().sibling(view->currentIndex().row(), 1).data().toString();
        };
        QCOMPARE(topName(), QStringLiteral("Tag 150"));
        // While enough rows are left, Tag 150 stays on top; the current row stays current and
        // in sight throughout, and is still where the user left it once every row is back.
        const QList<std::pair<QString, QString>> steps{
            {"T", "Tag 150"}, {"Tag 1", "Tag 150"}, {"Tag 15", ""}, {"Tag 155", ""}, {"", ""}};
        for (const auto& [typed, top] : steps) {
            f.Box("txtFilter")->setText(typed);
            g->Refresh();
            if (!top.isEmpty())
                QCOMPARE(topName(), top);
            QCOMPARE(currentName(), QStringLiteral("Tag 155"));
            QVERIFY(view->visualRect(view->currentIndex()).intersects(view->viewport()->rect()));
        }
    }

    // Clicking a row's check box makes that row the current one, highlight included, as a
    // click anywhere else in the row does.
    void clickingACheckBoxMakesItsRowCurrent() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(2, Names, Values));
        FlexGrid* g = f.Grid("SelectTagsGrid");
        g->Refresh();
        QTableView* view = g->view();
        view->setCurrentIndex(view->model()->index(0, 1));
        const QModelIndex box = view->model()->index(2, 0);
        const QRect cell = view->visualRect(box);
        const int width = view->style()->pixelMetric(QStyle::PM_IndicatorWidth);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                          QPoint(cell.left() + 3 + width / 2, cell.center().y()));
        QCOMPARE(g->CellChecked(3, 0), CellCheck::Cleared);
        QCOMPARE(view->currentIndex().row(), 2);
        QVERIFY(view->selectionModel()->isSelected(box));
        QVERIFY(!view->selectionModel()->isSelected(view->model()->index(0, 1)));
    }

    void noTagsSelectedIsRefused() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(2, Names, Values));
        FlexGrid* g = f.Grid("SelectTagsGrid");
        g->ToggleCheck(0, 0);
        f.Box("txtFilter")->setText(QStringLiteral("pump"));
        f.Click("cmdNext");
        QCOMPARE(f.messages.Texts(), QStringList{QStringLiteral("No tags selected!")});
        QCOMPARE(f.messages.shown.front().icon, MessageIcon::Exclamation);
        QCOMPARE(f.window->CurrentPage(), 2);
        QVERIFY(f.Button("cmdNext")->isEnabled());
        QVERIFY(!f.settings.Read("Filter").isValid());

        // One chosen row, hidden or not, is enough; its flag alone is set.
        g->ToggleCheck(2, 0);
        f.Click("cmdNext");
        QCOMPARE(f.window->CurrentPage(), 3);
        QList<bool> selected;
        for (const TagItems::Ptr& t : *f.window->State().tags)
            selected << t->Selected();
        QCOMPARE(selected, (QList<bool>{false, true, false, false}));

        // Entered again from the Sampling page, every row is checked and shown once more.
        f.Click("cmdPrev", 2);
        f.Click("cmdNext");
        QCOMPARE(Checks(g), QList<CellCheck>(5, CellCheck::Checked));
        QCOMPARE(Hidden(g), QList<bool>(4, false));
    }
};

QTEST_MAIN(TestSelectTagsPage)
#include "test_select_tags_page.moc"
