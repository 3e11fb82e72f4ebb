#include "ui/FlexGrid.h"

#include "ui/GridHeader.h"
#include "ui/GridModel.h"
#include "ui/GridView.h"

#include <QEvent>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

// Data rows measured by AutoSize besides the ones on screen and the longest text.
constexpr int AutoSizeSampleRows = 200;
// Columns that AutoSize always lays out exactly, besides the ones on screen; the others
// get an estimate of their plain text (a Layout preview has a column per tag).
constexpr int AutoSizeExactCols = 256;

} // namespace

FlexGrid::FlexGrid(QWidget* parent) : QWidget(parent) {
    model_ = new GridModel(this);
    view_ = new GridView(this);
    header_ = new GridHeader(view_);
    view_->setHorizontalHeader(header_);
    view_->setModel(model_);
    view_->setSelectionMode(QAbstractItemView::SingleSelection);
    view_->setSelectionBehavior(QAbstractItemView::SelectItems);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setWordWrap(false);
    view_->setCornerButtonEnabled(false);
    view_->setTabKeyNavigation(false); // Tab leaves the grid for the next control
    view_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    rowHeightPx_ = view_->fontMetrics().height() + 5;
    QHeaderView* rows = view_->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(rowHeightPx_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    setFocusProxy(view_);

    connect(model_, &GridModel::checkToggleRequested, this, &FlexGrid::ToggleCheck);
    connect(header_, &GridHeader::checkClicked, this, [this](int col) { ToggleCheck(0, col); });
    connect(header_, &GridHeader::moveRequested, this, &FlexGrid::MoveColumn);
    connect(header_, &GridHeader::autoSizeRequested, this, [this](int col) { AutoSize(col, col); });
    connect(header_, &GridHeader::dragScrollRequested, this, [this](int pixels) {
        QScrollBar* bar = view_->horizontalScrollBar();
        bar->setValue(bar->value() + pixels);
    });
    // Pressing a heading makes its column current (for moving it with the keyboard),
    // keeping the current row if it is on screen so that the rows do not jump.
    connect(header_, &GridHeader::columnPressed, this, [this](int col) {
        const GridModel::Shown now = shown();
        const int current = view_->currentIndex().row();
        const bool onScreen = current >= now.firstRow && current <= now.lastRow;
        const int row = onScreen ? current : now.firstRow;
        if (row >= 0 && row < model_->rowCount())
            view_->setCurrentIndex(model_->index(row, col));
    });
    // Whatever changes the cells on screen makes the remembered ones unreliable.
    const auto forgetShown = [this] { shownValid_ = false; };
    for (QScrollBar* bar : {view_->verticalScrollBar(), view_->horizontalScrollBar()}) {
        connect(bar, &QScrollBar::valueChanged, this, forgetShown);
        connect(bar, &QScrollBar::rangeChanged, this, forgetShown);
    }
    view_->installEventFilter(this);
    view_->viewport()->installEventFilter(this);

    connect(header_, &QHeaderView::sectionResized, this, [this](int col, int, int size) {
        shownValid_ = false;
        if (!applyingWidths_ && col < model_->cols())
            model_->column(col).width = size;
    });
    header_->allowResize = [this](int col) {
        bool cancel = false;
        if (OnBeforeUserResize)
            OnBeforeUserResize(0, col, cancel);
        return !cancel;
    };
    connect(view_, &GridView::moveRequested, this, [this](int col, int position) {
        if (position < 0 || position >= model_->cols())
            return;
        const QModelIndex current = view_->currentIndex();
        const int now = MoveColumnTo(col, position);
        if (current.isValid())
            view_->setCurrentIndex(model_->index(current.row(), now));
    });
}

FlexGrid::~FlexGrid() {
    // The children outlive this object's own part while QWidget destroys them, and a shown
    // view still reports scroll-range changes then: they must no longer reach this grid.
    for (QObject* sender : std::initializer_list<QObject*>{
             view_->verticalScrollBar(), view_->horizontalScrollBar(), header_, view_, model_})
        QObject::disconnect(sender, nullptr, this, nullptr);
}

QTableView* FlexGrid::view() const {
    return view_;
}

bool FlexGrid::checkCell(int row, int col, const char* what) const {
    if (model_->contains(row, col))
        return true;
    qWarning("FlexGrid::%s: cell (%d, %d) outside %d x %d", what, row, col, model_->rows(),
             model_->cols());
    return false;
}

// --- Batching -------------------------------------------------------------------------

void FlexGrid::touch(int row1, int row2, int col1, int col2) {
    // With drawing on, a cell off screen is read from the store when it scrolls into view;
    // it needs no notification, and a long pass over the rows posts nothing.
    if (redrawOff_ == 0 && shownValid_ && row1 > 0 &&
        (row2 < shownRow1_ || row1 > shownRow2_ || col2 < shownCol1_ || col1 > shownCol2_))
        return;
    if (dirtyRow1_ > dirtyRow2_) {
        dirtyRow1_ = row1;
        dirtyRow2_ = row2;
        dirtyCol1_ = col1;
        dirtyCol2_ = col2;
    } else {
        dirtyRow1_ = std::min(dirtyRow1_, row1);
        dirtyRow2_ = std::max(dirtyRow2_, row2);
        dirtyCol1_ = std::min(dirtyCol1_, col1);
        dirtyCol2_ = std::max(dirtyCol2_, col2);
    }
    if (row1 == 0)
        headingDirty_ = true;
    scheduleFlush();
}

void FlexGrid::touchStructure() {
    structureDirty_ = true;
    headingDirty_ = true;
}

void FlexGrid::scheduleFlush() {
    if (redrawOff_ > 0 || flushQueued_)
        return;
    flushQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (flushQueued_)
                flush();
        },
        Qt::QueuedConnection);
}

void FlexGrid::Refresh() {
    if (redrawOff_ == 0)
        flush();
}

GridModel::Shown FlexGrid::shown() const {
    // A hidden view repaints everything when it is shown again.
    if (!view_->isVisible())
        return {0, -1, 0, -1};
    const QWidget* area = view_->viewport();
    const int rows = model_->rowCount();
    const int cols = model_->columnCount();
    int top = view_->rowAt(0);
    int bottom = view_->rowAt(area->height() - 1);
    int left = view_->columnAt(0);
    int right = view_->columnAt(area->width() - 1);
    if (top < 0)
        top = 0;
    if (bottom < 0)
        bottom = rows - 1;
    if (left < 0)
        left = 0;
    if (right < 0)
        right = cols - 1;
    return {top, bottom, left, right};
}

void FlexGrid::flush() {
    flushQueued_ = false;
    if (structureDirty_ || !model_->committed()) {
        // Hiding or showing rows rebuilds the view's rows; the user's place in them is kept:
        // the top row stays on top and the current row stays current wherever they are still
        // shown, instead of the view jumping back to the first row.
        const QModelIndex current = view_->currentIndex();
        const int currentRow = current.isValid() ? model_->gridRow(current.row()) : -1;
        const int topModelRow = view_->rowAt(0);
        const int topRow = topModelRow >= 0 ? model_->gridRow(topModelRow) : -1;
        model_->commitReset();
        applyColumnWidths();
        restorePlace(currentRow, current.column(), topRow);
    } else if (dirtyRow1_ <= dirtyRow2_) {
        model_->notifyChanged(dirtyRow1_, dirtyRow2_, dirtyCol1_, dirtyCol2_, shown());
    }
    if (headingDirty_) {
        // A heading may have gained or lost lines.
        header_->updateGeometry();
        emit header_->geometriesChanged();
        header_->viewport()->update();
    }
    structureDirty_ = false;
    headingDirty_ = false;
    dirtyRow1_ = 0;
    dirtyRow2_ = -1;
    rememberShown();
}

void FlexGrid::restorePlace(int currentRow, int currentCol, int topRow) {
    const int top = topRow >= 0 ? model_->modelRow(topRow) : -1;
    if (top > 0)
        view_->scrollTo(model_->index(top, 0), QAbstractItemView::PositionAtTop);
    const int row = currentRow >= 0 ? model_->modelRow(currentRow) : -1;
    if (row < 0 || currentCol < 0 || currentCol >= model_->columnCount())
        return;
    const QModelIndex index = model_->index(row, currentCol);
    view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    view_->scrollTo(index, QAbstractItemView::EnsureVisible);
}

void FlexGrid::rememberShown() {
    shownValid_ = false;
    if (redrawOff_ > 0 || !view_->isVisible())
        return;
    const GridModel::Shown now = shown();
    if (now.firstRow <= now.lastRow) {
        shownRow1_ = model_->gridRow(now.firstRow);
        shownRow2_ = model_->gridRow(now.lastRow);
    } else {
        shownRow1_ = 1;
        shownRow2_ = 0;
    }
    shownCol1_ = now.firstCol;
    shownCol2_ = now.lastCol;
    shownValid_ = true;
}

bool FlexGrid::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Resize:
        shownValid_ = false;
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void FlexGrid::SetRedraw(bool on) {
    if (!on) {
        shownValid_ = false;
        if (redrawOff_++ == 0)
            view_->setUpdatesEnabled(false);
        return;
    }
    if (redrawOff_ == 0 || --redrawOff_ > 0)
        return;
    view_->setUpdatesEnabled(true);
    flush();
}

// --- Shape ----------------------------------------------------------------------------

void FlexGrid::SetRows(int rows) {
    rows = std::max(rows, 0);
    if (rows == model_->rows())
        return;
    model_->resizeStore(rows, model_->cols());
    touchStructure();
    if (redrawOff_ == 0)
        flush();
}

int FlexGrid::Rows() const {
    return model_->rows();
}

void FlexGrid::SetCols(int cols) {
    cols = std::max(cols, 0);
    if (cols == model_->cols())
        return;
    model_->resizeStore(model_->rows(), cols);
    touchStructure();
    if (redrawOff_ == 0)
        flush();
}

int FlexGrid::Cols() const {
    return model_->cols();
}

// --- Cells ----------------------------------------------------------------------------

void FlexGrid::SetTextMatrix(int row, int col, const QString& text) {
    if (!checkCell(row, col, "SetTextMatrix"))
        return;
    if (model_->setText(row, col, text))
        touch(row, row, col, col);
}

QString FlexGrid::TextMatrix(int row, int col) const {
    if (!checkCell(row, col, "TextMatrix"))
        return {};
    return model_->text(row, col);
}

void FlexGrid::SetCellAlignment(int row, int col, CellAlignment alignment) {
    if (!checkCell(row, col, "SetCellAlignment") || model_->alignment(row, col) == alignment)
        return;
    model_->setAlignment(row, col, alignment);
    touch(row, row, col, col);
}

void FlexGrid::SetCellChecked(int row, int col, CellCheck state) {
    if (!checkCell(row, col, "SetCellChecked") || model_->check(row, col) == state)
        return;
    model_->setCheck(row, col, state);
    touch(row, row, col, col);
}

CellCheck FlexGrid::CellChecked(int row, int col) const {
    if (!checkCell(row, col, "CellChecked"))
        return CellCheck::None;
    return model_->check(row, col);
}

void FlexGrid::SetCellBackColor(int row, int col1, int col2, const QColor& color) {
    if (col1 > col2)
        std::swap(col1, col2);
    col1 = std::max(col1, 0);
    col2 = std::min(col2, model_->cols() - 1);
    if (!checkCell(row, col1, "SetCellBackColor") || col1 > col2)
        return;
    const QRgb rgb = color.isValid() ? color.rgba() : QRgb(0);
    bool changed = false;
    for (int c = col1; c <= col2; ++c) {
        if (model_->back(row, c) != rgb) {
            model_->setBack(row, c, rgb);
            changed = true;
        }
    }
    if (changed)
        touch(row, row, col1, col2);
}

QColor FlexGrid::CellBackColor(int row, int col) const {
    if (!checkCell(row, col, "CellBackColor"))
        return {};
    const QRgb rgb = model_->back(row, col);
    return qAlpha(rgb) == 0 ? QColor() : QColor::fromRgba(rgb);
}

void FlexGrid::SetRowHidden(int row, bool hidden) {
    if (row < 0 || row >= model_->rows()) {
        qWarning("FlexGrid::SetRowHidden: row %d outside %d", row, model_->rows());
        return;
    }
    if (model_->setHidden(row, hidden)) {
        structureDirty_ = true;
        scheduleFlush();
    }
}

bool FlexGrid::RowHidden(int row) const {
    if (row < 0 || row >= model_->rows())
        return false;
    return model_->hidden(row);
}

void FlexGrid::SetColData(int col, int value) {
    if (col < 0 || col >= model_->cols()) {
        qWarning("FlexGrid::SetColData: column %d outside %d", col, model_->cols());
        return;
    }
    model_->column(col).data = value;
}

void FlexGrid::SetColTextTips(int col, bool on) {
    if (col < 0 || col >= model_->cols()) {
        qWarning("FlexGrid::SetColTextTips: column %d outside %d", col, model_->cols());
        return;
    }
    model_->column(col).textTips = on;
}

int FlexGrid::ColData(int col) const {
    if (col < 0 || col >= model_->cols())
        return 0;
    return model_->column(col).data;
}

// --- Sizes ----------------------------------------------------------------------------

int FlexGrid::RowHeight(int row) const {
    if (row == 0)
        return header_->headingHeight() * TwipsPerPixel;
    return rowHeightPx_ * TwipsPerPixel;
}

void FlexGrid::SetRowHeight(int row, int twips) {
    const int pixels = twips < 0 ? -1 : std::max(1, (twips + TwipsPerPixel / 2) / TwipsPerPixel);
    if (row == 0) {
        header_->setHeight(pixels);
        emit header_->geometriesChanged();
        return;
    }
    // Data rows share one height.
    shownValid_ = false;
    rowHeightPx_ = pixels < 0 ? view_->fontMetrics().height() + 5 : pixels;
    view_->verticalHeader()->setDefaultSectionSize(rowHeightPx_);
}

int FlexGrid::ColWidth(int col) const {
    if (col < 0 || col >= model_->cols())
        return 0;
    const int width = model_->column(col).width;
    return width < 0 ? header_->defaultSectionSize() : width;
}

void FlexGrid::SetColWidth(int col, int pixels) {
    if (!checkCell(0, col, "SetColWidth"))
        return;
    model_->column(col).width = std::max(pixels, 0);
    if (col < header_->count())
        resizeSections(col, col);
}

int FlexGrid::VisibleCellsWidth() const {
    // Worked out from the grid's own width rather than the viewport's, which a page that has
    // never been on show has not laid out yet; room is kept for a vertical scroll bar.
    const int rowHeadings =
        view_->verticalHeader()->isHidden() ? 0 : view_->verticalHeader()->width();
    return std::max(0, width() - 2 * view_->frameWidth() - rowHeadings -
                           view_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view_));
}

void FlexGrid::applyColumnWidths() {
    resizeSections(0, std::min(model_->cols(), header_->count()) - 1);
}

void FlexGrid::resizeSections(int col1, int col2) {
    if (col1 > col2)
        return;
    // While its updates are on, the header works out where each resized section lies on
    // screen, which walks all sections: resizing many of them in a row is then quadratic.
    // With updates off it only records the sizes; turning them on repaints once.
    const bool suspend = col2 > col1 && header_->updatesEnabled();
    if (suspend)
        header_->setUpdatesEnabled(false);
    applyingWidths_ = true;
    for (int c = col1; c <= col2; ++c)
        header_->resizeSection(c, ColWidth(c));
    applyingWidths_ = false;
    if (suspend)
        header_->setUpdatesEnabled(true);
}

void FlexGrid::LineWidths::use(const QFont& font, int dpi) {
    if (font == font_ && dpi == dpi_)
        return;
    widths_.clear();
    advances_.clear();
    font_ = font;
    dpi_ = dpi;
}

int FlexGrid::LineWidths::width(const QFontMetrics& metrics, QStringView line) {
    // Enough for every heading and cell text of a wide Layout preview; sampled values churn,
    // so a larger memory would only grow the program without saving any measuring.
    constexpr qsizetype MaxRemembered = 8192;
    const QString key = line.toString();
    if (const auto it = widths_.constFind(key); it != widths_.cend())
        return *it;
    if (widths_.size() >= MaxRemembered)
        widths_.clear();
    const int width = metrics.horizontalAdvance(key);
    widths_.insert(key, width);
    return width;
}

int FlexGrid::LineWidths::estimate(const QFontMetrics& metrics, QStringView line) {
    constexpr int Scale = 64;
    if (advances_.empty()) {
        const QFontMetricsF exact(metrics);
        advances_.assign(0x80, -1);
        for (char16_t u = 0x20; u < 0x7f; ++u)
            advances_[u] = int(std::ceil(exact.horizontalAdvance(QChar(u)) * Scale));
    }
    if (line.isEmpty())
        return 0;
    const int* advances = advances_.data();
    qint64 sum = 0;
    const char16_t* c = line.utf16();
    for (qsizetype i = 0, n = line.size(); i < n; ++i) {
        const char16_t u = c[i];
        const int advance = u < 0x80 ? advances[u] : -1;
        if (advance < 0)
            return -1;
        sum += advance;
    }
    return int((sum + Scale - 1) / Scale) + 1;
}

int FlexGrid::widestLine(LineWidths& widths, const QFontMetrics& metrics, QStringView text,
                         bool exact) {
    const auto lineWidth = [&](QStringView line) {
        if (!exact) {
            if (const int estimate = widths.estimate(metrics, line); estimate >= 0)
                return estimate;
        }
        return widths.width(metrics, line);
    };
    int widest = 0;
    qsizetype start = 0;
    const qsizetype n = text.size();
    const char16_t* c = text.utf16();
    for (qsizetype i = 0; i <= n; ++i) {
        if (i == n || c[i] == u'\n' || c[i] == u'\r') {
            if (i > start || start == 0)
                widest = std::max(widest, lineWidth(text.sliced(start, i - start)));
            start = i + 1;
        }
    }
    return widest;
}

int FlexGrid::measureHeading(int col, const Measure& measure, bool exact) const {
    int width = widestLine(headingWidths_, measure.heading, model_->textView(0, col), exact) + 8;
    if (model_->check(0, col) != CellCheck::None)
        width += measure.headingCheck;
    return width;
}

FlexGrid::CellExtras FlexGrid::cellExtras() const {
    QStyle* style = view_->style();
    CellExtras extras;
    extras.check = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, view_) +
                   style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, view_);
    // The item view's text margins on both sides, plus the grid line.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view_) + 1;
    extras.margin = 2 * margin + 3;
    return extras;
}

int FlexGrid::measureCell(int row, int col, const Measure& measure, bool exact) const {
    int width = 0;
    if (!model_->textEmpty(row, col))
        width = widestLine(cellWidths_, measure.cells, model_->textView(row, col), exact);
    if (model_->check(row, col) != CellCheck::None)
        width += measure.extras.check;
    return width + measure.extras.margin;
}

void FlexGrid::AutoSize(int col1, int col2) {
    if (col1 > col2)
        std::swap(col1, col2);
    col1 = std::max(col1, 0);
    col2 = std::min(col2, model_->cols() - 1);
    if (col1 > col2)
        return;

    // Rows to measure: the first ones, those on screen and, per column, the longest text.
    std::vector<int> sample;
    const int rows = model_->rows();
    for (int r = 1; r < rows && r <= AutoSizeSampleRows; ++r)
        sample.push_back(r);
    const int modelRows = model_->rowCount();
    if (modelRows > 0 && view_->isVisible()) {
        int top = view_->rowAt(0);
        int bottom = view_->rowAt(view_->viewport()->height() - 1);
        if (top < 0)
            top = 0;
        if (bottom < 0)
            bottom = std::min(modelRows - 1, top + view_->viewport()->height() / rowHeightPx_);
        for (int m = top; m <= bottom && m < modelRows; ++m) {
            const int r = model_->gridRow(m);
            if (r > AutoSizeSampleRows && r < rows)
                sample.push_back(r);
        }
    }

    // Remembered widths hold for the fonts and the style they were measured with.
    const CellExtras extras = cellExtras();
    const QFont font = view_->font();
    const int dpi = view_->logicalDpiX();
    cellWidths_.use(font, dpi);
    headingWidths_.use(header_->font(), header_->logicalDpiX());
    if (!(extras == lastExtras_) || font != lastCellFont_ || dpi != lastCellDpi_) {
        for (int c = 0; c < model_->cols(); ++c)
            model_->column(c).cellsWidth = -1;
        lastExtras_ = extras;
        lastCellFont_ = font;
        lastCellDpi_ = dpi;
    }
    // When the sample is every data row, a column whose cells have not changed since the
    // last fitting keeps the width found then (the Layout page refits after each change of
    // its headings, over thousands of columns).
    const Measure measure{
        view_->fontMetrics(), header_->fontMetrics(), extras,
        header_->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, header_) + 4};
    const bool everyRow = rows - 1 <= AutoSizeSampleRows;
    const int widest = std::max(width() / 2, 80);
    // Columns laid out exactly: the first ones and those on screen.
    int shownLeft = -1;
    int shownRight = -2;
    if (model_->committed() && view_->isVisible()) {
        shownLeft = view_->columnAt(0);
        shownRight = view_->columnAt(view_->viewport()->width() - 1);
        if (shownLeft >= 0 && shownRight < 0)
            shownRight = model_->cols() - 1;
    }
    for (int c = col1; c <= col2; ++c) {
        GridModel::Column& column = model_->column(c);
        const bool exact = c < AutoSizeExactCols || (c >= shownLeft && c <= shownRight);
        int cells = everyRow && exact ? column.cellsWidth : -1;
        if (cells < 0) {
            cells = 0;
            // Rows often repeat the row before (a Layout preview's rows all do).
            int previous = -1;
            for (int r : sample) {
                if (previous < 0 || model_->check(r, c) != model_->check(previous, c) ||
                    model_->textView(r, c) != model_->textView(previous, c))
                    cells = std::max(cells, measureCell(r, c, measure, exact));
                previous = r;
            }
            const int longest = column.maxLenRow;
            if (longest > 0 && longest < rows)
                cells = std::max(cells, measureCell(longest, c, measure, exact));
            if (everyRow && exact)
                column.cellsWidth = cells;
        }
        // One very long text does not push every other column out of sight: the cells get
        // at most half of the grid's width (the user can still widen the column by its edge).
        column.width = std::max(measureHeading(c, measure, exact), std::min(cells, widest));
    }
    resizeSections(col1, std::min(col2, header_->count() - 1));
}

// --- Colours --------------------------------------------------------------------------

void FlexGrid::SetBackColor(const QColor& color) {
    view_->setOutsideColor(color);
    header_->setOutsideColor(color);
}

void FlexGrid::SetBackColorFixed(const QColor& color) {
    header_->setFixedColor(color);
}

// --- The user's actions ---------------------------------------------------------------

void FlexGrid::ToggleCheck(int row, int col) {
    if (!model_->contains(row, col) || model_->check(row, col) == CellCheck::None)
        return;
    bool cancel = false;
    if (OnBeforeEdit)
        OnBeforeEdit(row, col, cancel);
    if (cancel)
        return;
    // The handler may have changed the grid; look again.
    if (!model_->contains(row, col) || model_->check(row, col) == CellCheck::None)
        return;
    const bool checked = model_->check(row, col) == CellCheck::Checked;
    model_->setCheck(row, col, checked ? CellCheck::Cleared : CellCheck::Checked);
    touch(row, row, col, col);
    if (OnCellChanged)
        OnCellChanged(row, col);
}

void FlexGrid::MoveColumn(int col, int position) {
    MoveColumnTo(col, position);
}

int FlexGrid::MoveColumnTo(int col, int position) {
    const int cols = model_->cols();
    if (col < 0 || col >= cols)
        return col;
    if (OnBeforeMoveColumn)
        OnBeforeMoveColumn(col, position);
    position = std::clamp(position, 0, cols - 1);
    if (position == col)
        return col;
    // Pending repaints of single cells may now sit in other columns.
    if (dirtyRow1_ <= dirtyRow2_) {
        dirtyCol1_ = 0;
        dirtyCol2_ = cols - 1;
    }
    headingDirty_ = true;
    shownValid_ = false;
    if (redrawOff_ > 0 || structureDirty_ || !model_->committed()) {
        model_->moveStoreColumn(col, position);
        structureDirty_ = true;
        if (redrawOff_ == 0)
            flush();
        return position;
    }
    model_->commitColumnMove(col, position);
    applyColumnWidths();
    scheduleFlush();
    return position;
}
