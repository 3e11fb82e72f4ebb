// The Select Tags page: every tag with a check box, a select-all box in the heading, and a
// filter that hides the rows that neither match nor are chosen. Leaving the page writes the
// ticks into the tags' selection.

#include "app/frmSVCorblexAppGen.h"

#include "ui/FlexGrid.h"

#include <QLineEdit>

void frmSVCorblexAppGen::EnterSelectTagsPage() {
    IGrid& grid = *SelectTagsGrid;
    const TagItems& tags = *state_.tags;
    const qint32 n = tags.Count();
    grid.SetRedraw(false);
    grid.SetRows(1); // drop the rows of an earlier visit, hidden ones included
    grid.SetRows(n + 1);
    grid.SetCols(6);
    grid.SetTextMatrix(0, 0, QString());
    grid.SetCellChecked(0, 0, CellCheck::Checked);
    grid.SetTextMatrix(0, 1, QStringLiteral("Tag ALias"));
    grid.SetTextMatrix(0, 2, QStringLiteral("Type"));
    grid.SetTextMatrix(0, 3, QStringLiteral("Length"));
    grid.SetTextMatrix(0, 4, QStringLiteral("Decimals"));
    grid.SetTextMatrix(0, 5, QStringLiteral("Value"));
    const CellCheck all = grid.CellChecked(0, 0);
    upperNames_.clear();
    upperNames_.reserve(n);
    for (qint32 i = 1; i <= n; ++i) {
        const TagItem& tag = tags.At(i);
        grid.SetCellChecked(i, 0, all);
        FillTagRow(grid, i, 1, tag);
        upperNames_.append(tag.Name().toUpper());
    }
    grid.AutoSize(0, 5);
    grid.SetRedraw(true);

    // Setting the text applies the filter like any change; every row is checked, so none is
    // hidden yet.
    txtFilter->setText(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("Filter"), QString())
            .toString());
}

void frmSVCorblexAppGen::txtFilter_Change() {
    IGrid& grid = *SelectTagsGrid;
    const QString f = txtFilter->text();
    grid.SetRedraw(false);
    if (f.isEmpty()) {
        for (int r = 1; r < grid.Rows(); ++r)
            grid.SetRowHidden(r, false);
    } else {
        // The names are those of the rows the grid was filled with on entering the page.
        const QString upper = f.toUpper();
        const auto n = std::min<qint32>(static_cast<qint32>(upperNames_.size()), grid.Rows() - 1);
        for (qint32 i = 1; i <= n; ++i) {
            const bool show = upperNames_.at(i - 1).contains(upper) ||
                              grid.CellChecked(i, 0) == CellCheck::Checked;
            grid.SetRowHidden(i, !show);
        }
    }
    grid.SetRedraw(true);
}

void frmSVCorblexAppGen::OnSelectTagsCellChanged(int row, int col) {
    if (row != 0 || col != 0)
        return;
    IGrid& grid = *SelectTagsGrid;
    const CellCheck all = grid.CellChecked(0, 0);
    grid.SetRedraw(false);
    for (int r = 1; r < grid.Rows(); ++r)
        grid.SetCellChecked(r, 0, all);
    grid.SetRedraw(true);
}

void frmSVCorblexAppGen::LeaveSelectTagsPage(bool& ok) {
    IGrid& grid = *SelectTagsGrid;
    qint32 chosen = 0;
    const qint32 n = std::min<qint32>(state_.tags->Count(), grid.Rows() - 1);
    for (qint32 r = 1; r <= n; ++r) {
        const bool checked = grid.CellChecked(r, 0) == CellCheck::Checked;
        state_.tags->At(r).SetSelected(checked);
        chosen += checked ? 1 : 0;
    }
    if (chosen == 0) {
        Message(MessageIcon::Exclamation, QStringLiteral("No tags selected!"));
        ok = false;
        return;
    }
    ok = true;
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("Filter"), txtFilter->text());
}
