#pragma once
// The Qt grid behind IGrid: a table view over a compact cell store (GridModel), with the
// heading row drawn as the view's horizontal header (GridHeader), so it stays in sight
// while the rows scroll.
//
// Updates are cheap: a setter stores the value and marks the changed range; the view hears
// of it once, at the next pass of the event loop (or Refresh), or when SetRedraw turns
// drawing on again, and only for the cells on screen. Row and column counts take effect at
// once while drawing is on. Hidden rows are applied the same deferred way, as one new row
// mapping, never row by row; RowHidden answers at once.
//
// Only the user's actions (and MoveColumn / ToggleCheck, which run them) raise the
// notifications of IGrid; setters never do.

#include "ui/GridModel.h"
#include "ui/IGrid.h"

#include <QFont>
#include <QFontMetrics>
#include <QHash>
#include <QWidget>
#include <vector>

class GridHeader;
class GridView;
class QTableView;

class FlexGrid : public QWidget, public IGrid {
    Q_OBJECT
public:
    // Pixels to twips, per device-independent pixel.
    static constexpr int TwipsPerPixel = 15;

    explicit FlexGrid(QWidget* parent = nullptr);
    ~FlexGrid() override;

    void SetRows(int rows) override;
    int Rows() const override;
    void SetCols(int cols) override;
    int Cols() const override;
    void SetTextMatrix(int row, int col, const QString& text) override;
    QString TextMatrix(int row, int col) const override;
    void SetCellAlignment(int row, int col, CellAlignment alignment) override;
    void SetCellChecked(int row, int col, CellCheck state) override;
    CellCheck CellChecked(int row, int col) const override;
    void SetCellBackColor(int row, int col1, int col2, const QColor& color) override;
    void SetRowHidden(int row, bool hidden) override;
    bool RowHidden(int row) const override;
    void SetColData(int col, int value) override;
    int ColData(int col) const override;
    int RowHeight(int row) const override;
    void SetRowHeight(int row, int twips) override;
    void AutoSize(int col1, int col2) override;
    void SetBackColor(const QColor& color) override;
    void SetBackColorFixed(const QColor& color) override;
    void SetRedraw(bool on) override;

    // The user's actions, also reached from the keyboard and from tests: each runs the same
    // path as the mouse, notifications included.
    // Moves column `col` to display position `position` after asking OnBeforeMoveColumn.
    void MoveColumn(int col, int position);
    // Toggles the check box of a cell after asking OnBeforeEdit; then OnCellChanged.
    void ToggleCheck(int row, int col);

    // The back colour of one cell; invalid when the cell has none of its own.
    QColor CellBackColor(int row, int col) const;

    // Whether the cells of a column show their whole text as a tooltip, for a column too
    // narrow for its longest texts. The setting moves with the column.
    void SetColTextTips(int col, bool on);

    // Column width in pixels.
    int ColWidth(int col) const;
    // Sets a column's width in pixels until the next AutoSize of that column.
    void SetColWidth(int col, int pixels);
    // The width the cells can take without a horizontal scroll bar, in pixels.
    int VisibleCellsWidth() const;
    // Applies pending changes to the view now instead of at the next event-loop pass.
    void Refresh();

    QTableView* view() const;
    GridHeader* header() const { return header_; }

private:
    // MoveColumn, returning the position the column ends at.
    int MoveColumnTo(int col, int position);
    void touch(int row1, int row2, int col1, int col2);
    void touchStructure();
    void scheduleFlush();
    void flush();
    GridModel::Shown shown() const;
    void rememberShown();
    // After the view's rows were rebuilt: scrolls grid row topRow back to the top and makes
    // currentRow current again, each when it is still shown.
    void restorePlace(int currentRow, int currentCol, int topRow);
    bool eventFilter(QObject* watched, QEvent* event) override;
    void applyColumnWidths();
    void resizeSections(int col1, int col2);
    // Widths of the parts of a cell besides its text, for the current style.
    struct CellExtras {
        int check = 0;  // a check box and its spacing
        int margin = 0; // text margins on both sides and the grid line
        bool operator==(const CellExtras&) const = default;
    };
    CellExtras cellExtras() const;
    // What measuring needs besides the text, looked up once per fitting.
    struct Measure {
        QFontMetrics cells;
        QFontMetrics heading;
        CellExtras extras;
        int headingCheck = 0; // a check box in a heading and its spacing
    };
    // `exact` lays the text out; otherwise plain text is estimated (see LineWidths::estimate).
    int measureCell(int row, int col, const Measure& measure, bool exact) const;
    int measureHeading(int col, const Measure& measure, bool exact) const;

    // Widths of single lines of text in one font, as laid out by QFontMetrics. Names,
    // heading words and most properties repeat from one fitting to the next, and rows
    // often repeat a text, so most lines are looked up instead of laid out again.
    class LineWidths {
    public:
        // Forgets every width when the font or the resolution differs from the last call.
        void use(const QFont& font, int dpi);
        int width(const QFontMetrics& metrics, QStringView line);
        // A width for a line of printable ASCII characters that is never less than its
        // laid-out width: the sum of the characters' own advances, rounded up, plus one
        // pixel (kerning and ligatures only narrow such text). -1 for any other line. Costs
        // a table look-up per character instead of a layout of the line, for fitting many
        // thousands of columns that are not on screen.
        int estimate(const QFontMetrics& metrics, QStringView line);

    private:
        QHash<QString, int> widths_;
        // Advances of the ASCII characters in 1/64 pixel, -1 for the control characters;
        // empty until needed.
        std::vector<int> advances_;
        QFont font_;
        int dpi_ = 0;
    };
    // The width of the widest line of a text; lines are estimated unless `exact`.
    static int widestLine(LineWidths& widths, const QFontMetrics& metrics, QStringView text,
                          bool exact = true);
    bool checkCell(int row, int col, const char* what) const;

    GridModel* model_ = nullptr;
    GridView* view_ = nullptr;
    GridHeader* header_ = nullptr;

    int redrawOff_ = 0;
    bool flushQueued_ = false;
    bool structureDirty_ = false;
    bool headingDirty_ = false;
    int dirtyRow1_ = 0;
    int dirtyRow2_ = -1;
    int dirtyCol1_ = 0;
    int dirtyCol2_ = -1;
    int rowHeightPx_ = 0;
    bool applyingWidths_ = false;

    mutable LineWidths cellWidths_;    // in the cells' font
    mutable LineWidths headingWidths_; // in the heading's font
    // What the columns' remembered cell widths were measured with.
    CellExtras lastExtras_;
    QFont lastCellFont_;
    int lastCellDpi_ = 0;

    // Grid rows and columns on screen when the view last heard of changes; while valid,
    // changes outside them are not announced at all (drawing on only).
    bool shownValid_ = false;
    int shownRow1_ = 0;
    int shownRow2_ = -1;
    int shownCol1_ = 0;
    int shownCol2_ = -1;
};
