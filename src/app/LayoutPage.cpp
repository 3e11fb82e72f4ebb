// The Layout page: previews the log sheet with "Date", "Time" and one column per selected
// tag, formats the tag names into heading lines and lets the user drag the tag columns.

#include "app/frmSVCorblexAppGen.h"

#include "layout/modSVCorblexAppGen.h"
#include "model/Numeric.h"
#include "ui/FlexGrid.h"

#include <QComboBox>
#include <QDateTime>
#include <QSignalBlocker>
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
    if (!SuppressMaxLinesClick_)
        FormatLayout();
}

void frmSVCorblexAppGen::EnterLayoutPage() {
    FillLayoutGrid();
    const quint64 formats = layoutFormats_;
    cboMaxLines->setCurrentIndex(MaxLinesIndex(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("MaxLines"), qint16(0))));
    // Choosing another entry has formatted the page already; formatting again with the same
    // entry, tags and grid gives the same result and takes seconds for a million tags.
    if (layoutFormats_ == formats)
        FormatLayout();
}

void frmSVCorblexAppGen::LeaveLayoutPage(bool& ok) {
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("MaxLines"),
                     QString::number(cboMaxLines->currentIndex()));
    ok = true;
}

void frmSVCorblexAppGen::FillLayoutGrid() {
    IGrid& grid = *LayoutGrid;
    qint32 n = 0;
    for (const TagItems::Ptr& tag : *Tags_)
        n += tag->Selected() ? 1 : 0;

    layoutGeneration_ = tagsGeneration_;
    grid.SetRedraw(false);
    grid.SetCols(2); // drop the tag columns of an earlier visit
    grid.SetCols(n + 2);
    grid.SetRows(11);
    const QDateTime now = QDateTime::currentDateTime();
    grid.SetTextMatrix(0, 0, QStringLiteral("Date"));
    grid.SetCellAlignment(0, 0, CellAlignment::CenterTop);
    grid.SetTextMatrix(1, 0, now.toString(QStringLiteral("yyyy-MM-dd")));
    grid.SetCellAlignment(1, 0, CellAlignment::LeftCenter);
    grid.SetTextMatrix(0, 1, QStringLiteral("Time"));
    grid.SetCellAlignment(0, 1, CellAlignment::CenterTop);
    grid.SetTextMatrix(1, 1, now.toString(QStringLiteral("hh:mm:ss")));
    grid.SetCellAlignment(1, 1, CellAlignment::LeftCenter);

    int c = 1;
    for (qint32 i = 1; i <= Tags_->Count(); ++i) {
        const TagItem& tag = Tags_->At(i);
        if (!tag.Selected())
            continue;
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
    ++layoutFormats_;
    IGrid& grid = *LayoutGrid;
    const qint32 breaks = cboMaxLines->currentIndex() - 1;
    for (const TagItems::Ptr& tag : *Tags_)
        if (tag->Selected())
            tag->SetVariable(modSVCorblexAppGen::FormatVariableName(tag->Name(), breaks));

    grid.SetRedraw(false);
    for (int c = 2; c < grid.Cols(); ++c) {
        // Each column finds its tag through the position it carries, wherever it was dragged.
        const int p = grid.ColData(c);
        if (p < 1 || p > Tags_->Count())
            continue;
        const TagItem& tag = Tags_->At(p);
        if (!tag.Selected())
            continue;
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
    for (const TagItems::Ptr& tag : *Tags_)
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
}
