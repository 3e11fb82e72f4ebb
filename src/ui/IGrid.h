#pragma once
// The grid that the Sampling, Select Tags and Layout pages share. Row 0 is the heading row
// (always visible while scrolling); rows 1.. hold data. Columns count from 0 in display
// order: when the user drags a column, the column really moves, and the number attached to
// it (ColData) moves with it.

#include <QColor>
#include <QString>
#include <functional>

enum class CellAlignment { LeftCenter, CenterCenter, CenterTop };

// Check-box codes of a cell: 1 checked, 2 cleared; 0 means the cell has no check box.
enum class CellCheck { None = 0, Checked = 1, Cleared = 2 };

class IGrid {
public:
    virtual ~IGrid() = default;

    virtual void SetRows(int rows) = 0;
    virtual int Rows() const = 0;
    virtual void SetCols(int cols) = 0;
    virtual int Cols() const = 0;

    // Text may hold "\r\n" (or "\n"), shown as a line break.
    virtual void SetTextMatrix(int row, int col, const QString& text) = 0;
    virtual QString TextMatrix(int row, int col) const = 0;
    virtual void SetCellAlignment(int row, int col, CellAlignment alignment) = 0;
    virtual void SetCellChecked(int row, int col, CellCheck state) = 0;
    virtual CellCheck CellChecked(int row, int col) const = 0;
    // Back colour of the cells col1..col2 of one row.
    virtual void SetCellBackColor(int row, int col1, int col2, const QColor& color) = 0;
    virtual void SetRowHidden(int row, bool hidden) = 0;
    virtual bool RowHidden(int row) const = 0;
    virtual void SetColData(int col, int value) = 0;
    virtual int ColData(int col) const = 0;
    // Row heights in twips (15 twips to the device-independent pixel).
    virtual int RowHeight(int row) const = 0;
    virtual void SetRowHeight(int row, int twips) = 0;
    // Fits columns col1..col2 to their contents. Measures the heading and a bounded sample of
    // rows, never every row, so it stays fast at 100,000 rows.
    virtual void AutoSize(int col1, int col2) = 0;
    virtual void SetBackColor(const QColor& color) = 0;      // area outside the cells
    virtual void SetBackColorFixed(const QColor& color) = 0; // the heading cells

    // Batching: while redraw is off, changes are only stored; turning it on again refreshes
    // the view once (and applies row hiding in bulk). Calls nest.
    virtual void SetRedraw(bool on) = 0;

    // Notifications, each delivered on the user-interface thread.
    // After the content of a cell changed, also when the user toggled a check box.
    std::function<void(int row, int col)> OnCellChanged;
    // Before the user edits a cell (toggling a check box counts); set cancel to refuse.
    std::function<void(int row, int col, bool& cancel)> OnBeforeEdit;
    // Before the user moves column `col` to display position `position`; the handler may
    // change position (setting it to col leaves the column where it was).
    std::function<void(int col, int& position)> OnBeforeMoveColumn;
    // Before the user resizes column `col`; set cancel to refuse.
    std::function<void(int row, int col, bool& cancel)> OnBeforeUserResize;
};
