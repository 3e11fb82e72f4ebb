// Behaviour of the grid the wizard pages share: column moving with its notification,
// hidden rows, the heading row, check boxes and their notifications, fitting widths.

#include "ui/FlexGrid.h"
#include "ui/GridHeader.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QtTest>

namespace {

const QColor Cyan(0, 255, 255);

// Records every notification in the order it arrives.
struct Recorder {
    QStringList events;
    bool cancelEdit = false;
    bool cancelResize = false;
    int redirect = -1; // when >= 0, OnBeforeMoveColumn answers this position

    void attach(FlexGrid& grid) {
        grid.OnCellChanged = [this](int row, int col) {
            events << QStringLiteral("changed %1,%2").arg(row).arg(col);
        };
        grid.OnBeforeEdit = [this](int row, int col, bool& cancel) {
            events << QStringLiteral("before %1,%2").arg(row).arg(col);
            cancel = cancelEdit;
        };
        grid.OnBeforeMoveColumn = [this](int col, int& position) {
            events << QStringLiteral("move %1->%2").arg(col).arg(position);
            if (redirect >= 0)
                position = redirect;
        };
        grid.OnBeforeUserResize = [this](int row, int col, bool& cancel) {
            events << QStringLiteral("resize %1,%2").arg(row).arg(col);
            cancel = cancelResize;
        };
    }
};

// Four columns carrying 10, 20, 30, 40; heading "H<n>", cell "v<n>", width 40 + n, and the
// column carrying 30 is cyan.
void fillColumns(FlexGrid& grid) {
    grid.SetRows(3);
    grid.SetCols(4);
    for (int c = 0; c < 4; ++c) {
        const int n = 10 * (c + 1);
        grid.SetColData(c, n);
        grid.SetTextMatrix(0, c, QStringLiteral("H%1").arg(n));
        grid.SetTextMatrix(1, c, QStringLiteral("v%1").arg(n));
        grid.SetCellAlignment(1, c, CellAlignment::CenterCenter);
        grid.header()->resizeSection(c, 40 + n);
    }
    grid.SetCellBackColor(1, 2, 2, Cyan);
    grid.Refresh();
}

QList<int> colData(const FlexGrid& grid) {
    QList<int> result;
    for (int c = 0; c < grid.Cols(); ++c)
        result << grid.ColData(c);
    return result;
}

// Every column shows what belongs to the number it carries.
void verifyColumnsIntact(FlexGrid& grid) {
    QAbstractItemModel* model = grid.view()->model();
    for (int c = 0; c < grid.Cols(); ++c) {
        const int n = grid.ColData(c);
        QCOMPARE(grid.TextMatrix(0, c), QStringLiteral("H%1").arg(n));
        QCOMPARE(grid.TextMatrix(1, c), QStringLiteral("v%1").arg(n));
        QCOMPARE(model->headerData(c, Qt::Horizontal).toString(), QStringLiteral("H%1").arg(n));
        QCOMPARE(model->index(0, c).data().toString(), QStringLiteral("v%1").arg(n));
        const QVariant back = model->index(0, c).data(Qt::BackgroundRole);
        QCOMPARE(back.isValid(), n == 30);
        if (back.isValid())
            QCOMPARE(back.value<QBrush>().color(), Cyan);
        QCOMPARE(grid.ColWidth(c), 40 + n);
        QCOMPARE(grid.header()->sectionSize(c), 40 + n);
        // The header's own order never differs from the columns' order.
        QCOMPARE(grid.header()->visualIndex(c), c);
    }
}

// A point halfway down a heading: at its centre, or on its right edge.
QPoint onHeading(FlexGrid& grid, int col, bool edge = false) {
    GridHeader* header = grid.header();
    const int left = header->sectionViewportPosition(col);
    const int x = edge ? left + header->sectionSize(col) - 1 : left + header->sectionSize(col) / 2;
    return {x, header->viewport()->height() / 2};
}

void showGrid(FlexGrid& grid) {
    grid.resize(553, 329);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
}

} // namespace

class TestGrid : public QObject {
    Q_OBJECT
private slots:
    // The item model behind the grid keeps Qt's contract through everything the pages do to
    // it: growing and shrinking, hiding rows, moving columns, rewriting cells in batches.
    void modelKeepsTheItemModelContract() {
        FlexGrid grid;
        QAbstractItemModelTester tester(grid.view()->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        showGrid(grid);
        grid.SetCols(4);
        grid.SetRows(30);
        for (int r = 0; r < 30; ++r)
            for (int c = 0; c < 4; ++c)
                grid.SetTextMatrix(r, c, QStringLiteral("r%1c%2").arg(r).arg(c));
        grid.SetCellChecked(3, 0, CellCheck::Checked);
        grid.Refresh();
        grid.SetRedraw(false);
        for (int r = 2; r < 30; r += 3)
            grid.SetRowHidden(r, true);
        grid.SetRedraw(true);
        grid.Refresh();
        grid.MoveColumn(1, 3);
        grid.Refresh();
        grid.SetRowHidden(5, false);
        grid.SetRows(10);
        grid.SetCols(2);
        grid.Refresh();
        grid.SetRows(1);
        grid.SetRows(50);
        grid.SetCols(6);
        grid.Refresh();
        QCOMPARE(grid.view()->model()->columnCount(), 6);
    }

    void moveColumn_data() {
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("position");
        QTest::addColumn<int>("redirect");
        QTest::addColumn<QList<int>>("order");

        QTest::newRow("to the right") << 1 << 3 << -1 << QList<int>{10, 30, 40, 20};
        QTest::newRow("to the left") << 3 << 0 << -1 << QList<int>{40, 10, 20, 30};
        QTest::newRow("neighbours") << 2 << 1 << -1 << QList<int>{10, 30, 20, 40};
        QTest::newRow("refused") << 2 << 0 << 2 << QList<int>{10, 20, 30, 40};
        QTest::newRow("redirected") << 3 << 0 << 2 << QList<int>{10, 20, 40, 30};
        QTest::newRow("past the end") << 0 << 7 << -1 << QList<int>{20, 30, 40, 10};
    }

    void moveColumn() {
        QFETCH(int, col);
        QFETCH(int, position);
        QFETCH(int, redirect);
        QFETCH(QList<int>, order);

        FlexGrid grid;
        fillColumns(grid);
        Recorder recorder;
        recorder.redirect = redirect;
        recorder.attach(grid);

        grid.MoveColumn(col, position);
        QCOMPARE(recorder.events,
                 QStringList{QStringLiteral("move %1->%2").arg(col).arg(position)});
        QCOMPARE(colData(grid), order);
        verifyColumnsIntact(grid);
    }

    void moveColumnByKeyboard() {
        FlexGrid grid;
        fillColumns(grid);
        Recorder recorder;
        recorder.attach(grid);
        showGrid(grid);
        QTableView* view = grid.view();

        view->setCurrentIndex(view->model()->index(0, 1));
        QTest::keyClick(view, Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(colData(grid), (QList<int>{10, 30, 20, 40}));
        QCOMPARE(view->currentIndex().column(), 2); // the cursor stays on the moved column
        QTest::keyClick(view, Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(colData(grid), (QList<int>{10, 30, 40, 20}));
        QCOMPARE(recorder.events,
                 (QStringList{QStringLiteral("move 1->2"), QStringLiteral("move 2->3")}));
        verifyColumnsIntact(grid);

        // The last column cannot go further right; nobody is asked.
        recorder.events.clear();
        QTest::keyClick(view, Qt::Key_Right, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(recorder.events.isEmpty());
        QCOMPARE(colData(grid), (QList<int>{10, 30, 40, 20}));

        // Pressing a heading makes its column the one the keys move.
        QTest::mouseClick(grid.header()->viewport(), Qt::LeftButton, {}, onHeading(grid, 1));
        QTest::keyClick(view, Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(colData(grid), (QList<int>{30, 10, 40, 20}));
    }

    void userResize_data() {
        QTest::addColumn<bool>("refuse");
        QTest::newRow("allowed") << false;
        QTest::newRow("refused") << true;
    }

    void userResize() {
        QFETCH(bool, refuse);
        FlexGrid grid;
        fillColumns(grid);
        grid.SetTextMatrix(1, 1, QStringLiteral("a text much wider than the column"));
        Recorder recorder;
        recorder.cancelResize = refuse;
        recorder.attach(grid);
        showGrid(grid);
        QWidget* viewport = grid.header()->viewport();

        // Dragging the right edge of a heading.
        const QPoint grip = onHeading(grid, 0, true);
        QTest::mousePress(viewport, Qt::LeftButton, {}, grip);
        QTest::mouseMove(viewport, grip + QPoint(30, 0));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, grip + QPoint(30, 0));
        QCOMPARE(recorder.events, QStringList{QStringLiteral("resize 0,0")});
        QCOMPARE(grid.ColWidth(0), refuse ? 50 : 80);
        QCOMPARE(colData(grid), (QList<int>{10, 20, 30, 40})); // no column moved

        // Double-clicking the edge fits the column to its contents.
        recorder.events.clear();
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, onHeading(grid, 1, true));
        QVERIFY(recorder.events.contains(QStringLiteral("resize 0,1")));
        const int wide = grid.view()->fontMetrics().horizontalAdvance(grid.TextMatrix(1, 1));
        QCOMPARE(grid.ColWidth(1) > wide, !refuse);
    }

    void hiddenRows() {
        FlexGrid grid;
        grid.SetCols(2);
        grid.SetRows(11);
        for (int r = 1; r < 11; ++r) {
            grid.SetTextMatrix(r, 1, QStringLiteral("r%1").arg(r));
            grid.SetCellChecked(r, 0, CellCheck::Cleared);
        }
        QAbstractItemModel* model = grid.view()->model();

        grid.SetRedraw(false);
        grid.SetRedraw(false); // nested: drawing resumes with the outer call only
        for (int r : {2, 4, 6})
            grid.SetRowHidden(r, true);
        grid.SetRedraw(true);
        QCOMPARE(model->rowCount(), 10); // applied only when drawing resumes
        grid.SetRedraw(true);
        QCOMPARE(model->rowCount(), 7);
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("r3"));
        QCOMPARE(model->index(6, 1).data().toString(), QStringLiteral("r10"));

        // Hidden rows keep their data, and their check boxes can still be set.
        QCOMPARE(grid.TextMatrix(2, 1), QStringLiteral("r2"));
        grid.SetCellChecked(4, 0, CellCheck::Checked);

        // With drawing on, showing a row reaches the view on refresh, with its check box as set.
        grid.SetRowHidden(4, false);
        grid.Refresh();
        QCOMPARE(model->rowCount(), 8);
        QCOMPARE(model->index(2, 1).data().toString(), QStringLiteral("r4"));
        QCOMPARE(model->index(2, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));

        // Shrinking drops hidden rows beyond the end; growing adds visible rows.
        grid.SetRows(5);
        QCOMPARE(model->rowCount(), 3); // rows 1, 3, 4
        grid.SetRows(8);
        QCOMPARE(model->rowCount(), 6); // rows 1, 3, 4 and the new rows 5 to 7

        // Hiding every other row of many in one batch.
        grid.SetRows(10001);
        grid.SetRedraw(false);
        for (int r = 1; r < 10001; r += 2)
            grid.SetRowHidden(r, true);
        grid.SetRedraw(true);
        QCOMPARE(model->rowCount(), 5000 - 1); // row 2 is hidden too
        QCOMPARE(model->index(0, 1).data().toString(), QStringLiteral("r4"));
    }

    void resizeKeepsCells() {
        FlexGrid grid;
        grid.SetRows(3);
        grid.SetCols(3);
        const QString longText = QStringLiteral("a long text kept apart");
        grid.SetTextMatrix(2, 2, longText);
        grid.SetTextMatrix(2, 1, QStringLiteral("short"));
        grid.SetCellChecked(2, 0, CellCheck::Checked);
        grid.SetColData(2, 5);
        grid.SetColData(1, 9);

        grid.SetCols(5);
        QCOMPARE(grid.TextMatrix(2, 2), longText);
        QCOMPARE(grid.ColData(2), 5);
        QCOMPARE(grid.ColData(4), 0);

        // A column removed and added again starts afresh.
        grid.SetCols(1);
        grid.SetCols(3);
        QCOMPARE(grid.ColData(1), 0);
        QCOMPARE(grid.TextMatrix(2, 2), QString());
        QCOMPARE(grid.CellChecked(2, 0), CellCheck::Checked);

        // Rows dropped and added again come back empty, whatever they held.
        grid.SetTextMatrix(2, 2, longText);
        grid.SetTextMatrix(2, 1, QStringLiteral("short"));
        grid.SetRows(1);
        grid.SetRows(3);
        QCOMPARE(grid.CellChecked(2, 0), CellCheck::None);
        QCOMPARE(grid.TextMatrix(2, 1), QString());
        QCOMPARE(grid.TextMatrix(2, 2), QString());
    }

    void cellTexts() {
        // Short texts are kept in place, long ones apart; every change from one kind to the
        // other must read back exactly and leave the neighbours alone.
        const QStringList texts{QString(),
                                QStringLiteral("a"),
                                QStringLiteral("exactly 11c"),
                                QStringLiteral("twelve chars"),
                                QStringLiteral("Plant.Area7.Tank12.Level.PV"),
                                QStringLiteral("two\r\nlines"),
                                QString::fromUtf8("\u00e9\u00fc \u2713 \u6f22\u5b57 long enough")};
        const QString neighbour = QStringLiteral("a neighbouring long text");
        FlexGrid grid;
        grid.SetRows(4);
        grid.SetCols(2);
        for (const QString& before : texts) {
            for (const QString& after : texts) {
                grid.SetTextMatrix(1, 0, before);
                grid.SetTextMatrix(2, 0, neighbour);
                grid.SetTextMatrix(1, 0, after);
                QCOMPARE(grid.TextMatrix(1, 0), after);
                QCOMPARE(grid.TextMatrix(2, 0), neighbour);
            }
        }
        grid.Refresh();
        QCOMPARE(grid.view()->model()->index(0, 0).data().toString(), texts.last());
    }

    void changesReachTheViewOnce() {
        FlexGrid grid;
        grid.SetCols(3);
        grid.SetRows(5001);
        showGrid(grid);
        QAbstractItemModel* model = grid.view()->model();
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);

        // Writes far below the visible rows reach the view only when scrolled to.
        for (int r = 4000; r < 4100; ++r)
            grid.SetTextMatrix(r, 1, QStringLiteral("far"));
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 0);

        // A cell on screen is announced once, at the next pass of the event loop.
        grid.SetTextMatrix(2, 1, QStringLiteral("near"));
        grid.SetCellBackColor(2, 1, 1, Cyan);
        QCOMPARE(changed.count(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), model->index(1, 1));
        QCOMPARE(model->index(1, 1).data().toString(), QStringLiteral("near"));

        // Once scrolled there, those rows show what was written and are announced again.
        grid.view()->scrollTo(model->index(4049, 1));
        QCoreApplication::processEvents();
        QCOMPARE(model->index(4049, 1).data().toString(), QStringLiteral("far"));
        changed.clear();
        grid.SetTextMatrix(4050, 1, QStringLiteral("seen"));
        grid.SetTextMatrix(2, 1, QStringLiteral("gone")); // now off screen
        QCoreApplication::processEvents();
        // Announced: the cell written on screen, nothing off screen.
        const int top = grid.view()->rowAt(0);
        const int bottom = grid.view()->rowAt(grid.view()->viewport()->height() - 1);
        bool seen = false;
        for (const QList<QVariant>& signal : changed) {
            const QModelIndex first = signal.at(0).toModelIndex();
            const QModelIndex last = signal.at(1).toModelIndex();
            QVERIFY(first.row() >= top && last.row() <= bottom);
            seen = seen || (first.row() <= 4049 && last.row() >= 4049 && first.column() <= 1 &&
                            last.column() >= 1);
        }
        QVERIFY(seen);

        // A taller grid shows more rows, and those are announced too.
        grid.view()->scrollToTop();
        QCoreApplication::processEvents();
        const int lastShown = grid.view()->rowAt(grid.view()->viewport()->height() - 1);
        grid.resize(553, 329 * 2);
        QCoreApplication::processEvents();
        changed.clear();
        grid.SetTextMatrix(lastShown + 10, 2, QStringLiteral("taller"));
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex(), model->index(lastShown + 9, 2));
    }

    void headingRowHeightsAndColours() {
        FlexGrid grid;
        grid.SetRows(2);
        grid.SetCols(2);
        grid.SetTextMatrix(0, 1, QStringLiteral("Line one\r\nLine two\r\nThree"));
        grid.SetCellAlignment(0, 1, CellAlignment::CenterTop);
        grid.Refresh();
        QAbstractItemModel* model = grid.view()->model();
        QCOMPARE(model->headerData(1, Qt::Horizontal).toString(),
                 QStringLiteral("Line one\nLine two\nThree"));
        QCOMPARE(model->headerData(1, Qt::Horizontal, Qt::TextAlignmentRole).toInt(),
                 int(Qt::AlignHCenter | Qt::AlignTop));
        // The text stays as written.
        QCOMPARE(grid.TextMatrix(0, 1), QStringLiteral("Line one\r\nLine two\r\nThree"));

        // Unless told otherwise, the heading is tall enough for its lines.
        const int lineSpacing = grid.header()->fontMetrics().lineSpacing();
        QVERIFY(grid.RowHeight(0) >= 3 * lineSpacing * FlexGrid::TwipsPerPixel);

        showGrid(grid);
        grid.SetRowHeight(0, 900);
        QTRY_COMPARE(grid.view()->horizontalHeader()->height(), 60);
        // Fewer rows and columns than fit: right of the last column and below the last row the
        // outside colour shows; the headings have their own.
        grid.SetCellBackColor(1, 0, 1, Cyan);
        grid.SetBackColor(QColor(0, 168, 168));
        grid.SetBackColorFixed(QColor(165, 210, 210));
        const QImage image = grid.grab().toImage();
        QCOMPARE(image.pixelColor(image.width() - 30, image.height() / 2), QColor(0, 168, 168));
        QCOMPARE(image.pixelColor(5, image.height() - 10), QColor(0, 168, 168));
        QCOMPARE(image.pixelColor(grid.header()->sectionViewportPosition(1) + 4, 4),
                 QColor(165, 210, 210));
        // The heading stays in view while the rows scroll.
        grid.SetRows(2000);
        const int top = grid.view()->horizontalHeader()->y();
        grid.view()->scrollToBottom();
        QVERIFY(grid.view()->verticalScrollBar()->value() > 0);
        QCOMPARE(grid.view()->horizontalHeader()->y(), top);
        QVERIFY(grid.view()->horizontalHeader()->isVisible());

        // Data rows share one height; a height that is not whole pixels is rounded to the nearest.
        grid.SetRowHeight(1, 300);
        QCOMPARE(grid.RowHeight(3), 300);
        QCOMPARE(grid.view()->rowHeight(2), 20);
        grid.SetRowHeight(0, 37);
        QCOMPARE(grid.RowHeight(0), 2 * FlexGrid::TwipsPerPixel);
    }

    void toggleCheck_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("cancel");
        for (const char* how : {"call", "mouse", "space", "heading"}) {
            QTest::addRow("%s", how) << QString::fromLatin1(how) << false;
            QTest::addRow("%s refused", how) << QString::fromLatin1(how) << true;
        }
    }

    void toggleCheck() {
        QFETCH(QString, how);
        QFETCH(bool, cancel);

        FlexGrid grid;
        grid.SetCols(3);
        grid.SetRows(6);
        for (int r = 0; r < 6; ++r) // the heading's box too
            grid.SetCellChecked(r, 0, CellCheck::Checked);
        grid.SetRowHidden(2, true); // grid row 3 is model row 1
        Recorder recorder;
        recorder.cancelEdit = cancel;
        recorder.attach(grid);
        showGrid(grid);
        grid.Refresh();

        QTableView* view = grid.view();
        const int row = how == QLatin1String("heading") ? 0 : 3;
        const QModelIndex index = view->model()->index(1, 0);
        if (how == QLatin1String("call")) {
            grid.ToggleCheck(row, 0);
        } else if (how == QLatin1String("mouse")) {
            const QRect cell = view->visualRect(index);
            const int box = view->style()->pixelMetric(QStyle::PM_IndicatorWidth);
            const QPoint onBox(cell.left() + 3 + box / 2, cell.center().y());
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, onBox);
        } else if (how == QLatin1String("space")) {
            view->setCurrentIndex(index);
            QTest::keyClick(view, Qt::Key_Space);
        } else {
            QTest::mouseClick(grid.header()->viewport(), Qt::LeftButton, {},
                              grid.header()->checkBoxRect(0).center());
        }

        QStringList expected{QStringLiteral("before %1,0").arg(row)};
        if (!cancel)
            expected << QStringLiteral("changed %1,0").arg(row);
        QCOMPARE(recorder.events, expected);
        QCOMPARE(grid.CellChecked(row, 0), cancel ? CellCheck::Checked : CellCheck::Cleared);
        // Only that one box changed.
        QCOMPARE(grid.CellChecked(row == 0 ? 3 : 0, 0), CellCheck::Checked);
    }

    void programmaticChangesAreSilent() {
        FlexGrid grid;
        Recorder recorder;
        recorder.attach(grid);
        grid.SetRows(4);
        grid.SetCols(3);
        grid.SetCellChecked(0, 0, CellCheck::Checked);
        grid.SetCellChecked(0, 0, CellCheck::Cleared);
        grid.SetCellChecked(2, 0, CellCheck::Checked);
        grid.SetTextMatrix(1, 1, QStringLiteral("text"));
        grid.SetTextMatrix(0, 2, QStringLiteral("heading"));
        grid.SetCellAlignment(1, 1, CellAlignment::CenterTop);
        grid.SetCellBackColor(1, 0, 2, Cyan);
        grid.SetRowHidden(3, true);
        grid.SetColData(1, 4);
        grid.SetRowHeight(0, 600);
        grid.AutoSize(0, 2);
        grid.SetRedraw(false);
        grid.SetRedraw(true);
        QCoreApplication::processEvents();
        // A cell without a check box cannot be toggled, so nobody is asked.
        grid.ToggleCheck(1, 1);
        grid.ToggleCheck(9, 0);
        grid.MoveColumn(7, 0);
        QVERIFY2(recorder.events.isEmpty(), qPrintable(recorder.events.join(QLatin1String("; "))));
    }

    void autoSize_data() {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("rows");
        // Headings, of one line or several, are fitted in autoSizeFarColumns.
        const QString longText = QStringLiteral("A much longer text than any other in the column");
        QTest::newRow("long cell in the first rows") << 5 << longText << 300;
        QTest::newRow("longest text far down") << 90000 << longText << 100000;
    }

    void autoSize() {
        QFETCH(int, row);
        QFETCH(QString, text);
        QFETCH(int, rows);

        FlexGrid grid;
        grid.SetRedraw(false);
        grid.SetRows(rows);
        grid.SetCols(2);
        grid.SetTextMatrix(0, 1, QStringLiteral("H"));
        for (int r = 1; r < rows; ++r)
            grid.SetTextMatrix(r, 1, QStringLiteral("x"));
        grid.SetTextMatrix(row, 1, text);
        grid.SetRedraw(true);
        grid.header()->resizeSection(1, 500);
        // A column grows to at most half the grid's width: room enough for the text in any font.
        grid.resize(1200, 400);

        grid.AutoSize(0, 1);
        const int needed = grid.view()->fontMetrics().horizontalAdvance(text);
        QVERIFY2(grid.ColWidth(1) >= needed, qPrintable(QString::number(grid.ColWidth(1))));
        QVERIFY(grid.ColWidth(1) < needed + 30);
        QCOMPARE(grid.header()->sectionSize(1), grid.ColWidth(1));
        // The other column only holds short texts and narrows.
        QVERIFY(grid.ColWidth(0) < 30);

        // Once the long text is gone, the column narrows again.
        grid.SetTextMatrix(row, 1, QStringLiteral("x"));
        grid.AutoSize(1, 1);
        QVERIFY(grid.ColWidth(1) < needed);
    }

    // Columns far to the right of a very wide grid are fitted from an estimate of their text;
    // it must never leave a heading or a cell narrower than its laid-out width, and must not be
    // far off either.
    void autoSizeFarColumns_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("kerning pairs") << QStringLiteral("AVAVAV WaTaTo LTAYPAV Ty r.");
        QTest::newRow("ligature candidates") << QStringLiteral("ffi ffl fi fl office baffle");
        QTest::newRow("narrow letters") << QStringLiteral("iiiiiiiiiiiiiiiiiiiilllllll!!!");
        QTest::newRow("wide letters") << QStringLiteral("WWWWWWWWWWMMMMMMMM@@@");
        QTest::newRow("digits and punctuation") << QStringLiteral("-12345.678, (90) [x] {y} ~`|");
        QTest::newRow("not plain ASCII") << QStringLiteral("Füllstand Ω 液位");
        QTest::newRow("several lines") << QStringLiteral("ab\r\nthe widest of these lines\r\ncd");
    }

    void autoSizeFarColumns() {
        QFETCH(QString, text);
        constexpr int ColumnCount = 600;
        constexpr int NearColumn = 3;
        constexpr int FarColumn = ColumnCount - 2;
        FlexGrid grid;
        // Wide enough that no text here meets the limit of half the grid's width.
        grid.resize(1400, 200);
        grid.show();
        grid.SetRedraw(false);
        grid.SetRows(11);
        grid.SetCols(ColumnCount);
        for (int c : {NearColumn, FarColumn}) {
            grid.SetTextMatrix(0, c, text);     // heading
            grid.SetTextMatrix(1, c + 1, text); // cell, in the next column
        }
        grid.SetRedraw(true);
        grid.AutoSize(0, ColumnCount - 1);

        const auto widest = [](const QFontMetrics& metrics, const QString& lines) {
            int most = 0;
            for (const QString& line :
                 QString(lines).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).split(u'\n'))
                most = std::max(most, metrics.horizontalAdvance(line));
            return most;
        };
        const int heading = widest(grid.header()->fontMetrics(), text);
        const int cell = widest(grid.view()->fontMetrics(), text);
        for (int c : {NearColumn, FarColumn}) {
            QVERIFY2(grid.ColWidth(c) >= heading + 8,
                     qPrintable(QString::number(grid.ColWidth(c))));
            QVERIFY(grid.ColWidth(c) < heading + 40);
            QVERIFY2(grid.ColWidth(c + 1) >= cell,
                     qPrintable(QString::number(grid.ColWidth(c + 1))));
            QVERIFY(grid.ColWidth(c + 1) < cell + 40);
        }
    }
};

QTEST_MAIN(TestGrid)
#include "test_grid.moc"
