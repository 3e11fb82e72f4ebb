// The Layout page: previews the log sheet with "Date", "Time" and one column per selected
// tag, formats the tag names into heading lines and lets the user drag the tag columns. The
// heading-lines choice and the columns' order are the state's from the moment they change.

#include "app/frmSVCorblexAppGen.h"

#include "layout/modSVCorblexAppGen.h"
#include "model/Numeric.h"
#include "ui/FlexGrid.h"

#include <QComboBox>
#include <QDateTime>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

namespace {

// The list entry chosen before the settings are read: three heading lines.
constexpr int DefaultMaxLinesIndex = 3;

// The list index a stored "MaxLines" stands for: a whole number from 0 to 9, else entry 0.
int MaxLinesIndex(const QVariant& stored) {
    const std::optional<double> value = numeric::ParseNumber(stored.toString());
    if (!value || *value != std::floor(*value) || *value < 0 || *value > 9)
        return 0;
    return static_cast<int>(*value);
}

} // namespace

void frmSVCorblexAppGen::FillMaxLinesList() {
    {
        // Filling the list is not a choice of the user: it formats nothing.
        const QSignalBlocker blocker(cboMaxLines);
        cboMaxLines->clear();
        for (int i = 0; i <= 9; ++i)
            cboMaxLines->addItem(QString::number(i));
    }
    SuppressMaxLinesClick_ = true;
    cboMaxLines->setCurrentIndex(DefaultMaxLinesIndex);
    SuppressMaxLinesClick_ = false;
}

void frmSVCorblexAppGen::cboMaxLines_Click() {
    state_.maxLinesIndex = cboMaxLines->currentIndex();
    if (!SuppressMaxLinesClick_)
        FormatLayout();
}

void frmSVCorblexAppGen::EnterLayoutPage() {
    FillLayoutGrid();
    // The stored choice is shown without formatting: the page is formatted once, below (it
    // takes seconds for a million tags).
    SuppressMaxLinesClick_ = true;
    cboMaxLines->setCurrentIndex(MaxLinesIndex(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("MaxLines"), qint16(0))));
    SuppressMaxLinesClick_ = false;
    state_.maxLinesIndex = cboMaxLines->currentIndex();
    FormatLayout();
}

void frmSVCorblexAppGen::LeaveLayoutPage(bool& ok) {
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("MaxLines"),
                     QString::number(state_.maxLinesIndex));
    ok = true;
}

void frmSVCorblexAppGen::FillLayoutGrid() {
    IGrid& grid = *LayoutGrid;
    const TagItems& tags = *state_.tags;
    // The selected tags in the hub's order: the columns before the user drags any.
    std::vector<qint32>& order = state_.layoutOrder.emplace();
    for (qint32 i = 1; i <= tags.Count(); ++i)
        if (tags.At(i).Selected())
            order.push_back(i);
    const auto n = static_cast<int>(order.size());

    grid.SetRedraw(false);
    grid.SetCols(2); // drop the tag columns of an earlier visit
    grid.SetCols(n + 2);
    grid.SetRows(11);
    const QDateTime now = services_.tickCounter->Now();
    grid.SetTextMatrix(0, 0, QStringLiteral("Date"));
    grid.SetCellAlignment(0, 0, CellAlignment::CenterTop);
    grid.SetTextMatrix(1, 0, now.toString(QStringLiteral("yyyy-MM-dd")));
    grid.SetCellAlignment(1, 0, CellAlignment::LeftCenter);
    grid.SetTextMatrix(0, 1, QStringLiteral("Time"));
    grid.SetCellAlignment(0, 1, CellAlignment::CenterTop);
    grid.SetTextMatrix(1, 1, now.toString(QStringLiteral("hh:mm:ss")));
    grid.SetCellAlignment(1, 1, CellAlignment::LeftCenter);

    int c = 1;
    for (const qint32 i : order) {
        const TagItem& tag = tags.At(i);
        c += 1;
        grid.SetColData(c, i);
        grid.SetTextMatrix(0, c, tag.Variable());
        grid.SetCellAlignment(0, c, CellAlignment::CenterTop);
        grid.SetTextMatrix(1, c, tag.Value());
        grid.SetCellAlignment(1, c, CellAlignment::LeftCenter);
    }
    // Rows 2 to 10 repeat row 1, column by column so that each text is read once.
    for (int col = 0; col < grid.Cols(); ++col) {
        const QString text = grid.TextMatrix(1, col);
        for (int r = 2; r <= 10; ++r) {
            grid.SetTextMatrix(r, col, text);
            grid.SetCellAlignment(r, col, CellAlignment::LeftCenter);
        }
    }
    // The column widths are fitted once the headings are formatted: entering the page always
    // formats right after filling, and a fit here would be undone at once (a million columns
    // take most of a second to fit).
    grid.SetBackColor(QColor(0, 168, 168));
    grid.SetBackColorFixed(QColor(165, 210, 210));
    grid.SetRedraw(true);
}

void frmSVCorblexAppGen::FormatLayout() {
    IGrid& grid = *LayoutGrid;
    const TagItems& tags = *state_.tags;
    const qint32 breaks = state_.maxLinesIndex - 1;
    for (const TagItems::Ptr& tag : tags)
        if (tag->Selected())
            tag->SetVariable(modSVCorblexAppGen::FormatVariableName(tag->Name(), breaks));
    if (!state_.layoutOrder)
        return; // nothing laid out for these tags yet

    grid.SetRedraw(false);
    const std::vector<qint32>& order = *state_.layoutOrder;
    for (int c = 2; c < grid.Cols() && c - 2 < static_cast<int>(order.size()); ++c) {
        // The columns stand in the state's order, wherever they were dragged.
        const TagItem& tag = tags.At(order[static_cast<size_t>(c - 2)]);
        QString heading = tag.Variable();
        heading.replace(QLatin1Char('_'), QStringLiteral("\r\n"));
        grid.SetTextMatrix(0, c, heading);
        grid.SetCellAlignment(0, c, CellAlignment::CenterTop);
    }
    const qint32 m = MaxHeadingBreaks();
    grid.SetRowHeight(0, static_cast<int>(std::lround(double(grid.RowHeight(1) - 15) * (m + 1))));
    grid.AutoSize(0, grid.Cols() - 1);
    grid.SetRedraw(true);
}

qint32 frmSVCorblexAppGen::MaxHeadingBreaks() const {
    qint32 most = 0;
    for (const TagItems::Ptr& tag : *state_.tags)
        if (tag->Selected())
            most =
                std::max(most, modSVCorblexAppGen::CountChar(tag->Variable(), QStringLiteral("_")));
    return most;
}

void frmSVCorblexAppGen::OnLayoutColumnMove(int col, int& position) {
    if (col == 0)
        position = 0;
    else if (col == 1)
        position = 1;
    else if (position <= 1)
        position = col; // nothing goes in front of "Date" and "Time"
    // The grid moves the column next, to the position kept within its columns; the order the
    // application is built in moves with it.
    const int to = std::clamp(position, 0, LayoutGrid->Cols() - 1);
    if (col >= 2 && to != col && state_.layoutOrder) {
        std::vector<qint32>& order = *state_.layoutOrder;
        const auto from = static_cast<size_t>(col - 2);
        const auto onto = static_cast<size_t>(to - 2);
        if (from < order.size() && onto < order.size()) {
            const qint32 moved = order[from];
            order.erase(order.begin() + static_cast<std::ptrdiff_t>(from));
            order.insert(order.begin() + static_cast<std::ptrdiff_t>(onto), moved);
        }
    }
}
