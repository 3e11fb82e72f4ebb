#pragma once
// Cell store and item model behind FlexGrid.
//
// The store keeps every cell of the grid, the heading row 0 included, column by column:
// the text of a cell in place when it is short (as most sampled values are), a QString in
// the column's overflow list otherwise; one attribute byte (alignment and check-box state);
// and back colours for the columns that use them. Rewriting a column therefore walks
// memory in order instead of chasing one heap block per cell. Columns are whole objects, so moving
// a column moves its texts, attributes, colours, number and width together.
//
// The item model shows the data rows (grid rows 1..) that are not hidden; the heading row
// is served as horizontal header data. What the model reports (row mapping, row and column
// counts) changes only when FlexGrid commits the store, so the view never sees a half-made
// change while a batch of updates is running.

#include "ui/IGrid.h"

#include <QAbstractTableModel>
#include <QRgb>
#include <QString>
#include <cstdint>
#include <cstring>
#include <vector>

class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Text of one cell: up to Inline UTF-16 units in place, or an index into the
    // column's overflow list.
    struct CellText {
        static constexpr int Inline = 11;
        static constexpr std::uint16_t Long = 0xffff;
        std::uint16_t size = 0; // Long: the text is overflow[slot()]
        char16_t chars[Inline];

        bool isLong() const { return size == Long; }
        std::uint32_t slot() const {
            std::uint32_t slot = 0;
            std::memcpy(&slot, chars, sizeof slot);
            return slot;
        }
        void setSlot(std::uint32_t slot) {
            size = Long;
            std::memcpy(chars, &slot, sizeof slot);
        }
        void setInline(const QString& text) {
            size = std::uint16_t(text.size());
            std::memcpy(chars, text.constData(), std::size_t(text.size()) * sizeof(char16_t));
        }
        bool equalsInline(const QString& text) const {
            return text.size() == size &&
                   std::memcmp(chars, text.constData(), std::size_t(size) * sizeof(char16_t)) == 0;
        }
    };

    struct Column {
        std::vector<CellText> text;           // one per grid row
        std::vector<QString> overflow;        // long texts
        std::vector<std::uint32_t> freeSlots; // unused entries of overflow
        std::vector<std::uint8_t> attr;       // alignment and check state, one per grid row
        std::vector<QRgb> back;               // empty until a back colour is set in this column
        int data = 0;                         // number carried by the column
        bool textTips = false;                // cells show their whole text as a tooltip
        int width = -1;                       // pixels; -1 for the header's default
        qsizetype maxLen = 0;                 // longest text written so far (a hint for fitting)
        int maxLenRow = -1;
        // Widest data cell found by the last fitting that measured every data row; -1 when
        // unknown or when a data cell has changed since.
        int cellsWidth = -1;
    };

    explicit GridModel(QObject* parent = nullptr);

    // Store. Rows and columns are grid coordinates; callers check the ranges.
    int rows() const { return rows_; }
    int cols() const { return int(columns_.size()); }
    bool contains(int row, int col) const {
        return row >= 0 && row < rows_ && col >= 0 && col < cols();
    }
    void resizeStore(int rows, int cols);

    QString text(int row, int col) const {
        const Column& column = columns_[std::size_t(col)];
        const CellText& cell = column.text[std::size_t(row)];
        if (cell.isLong())
            return column.overflow[cell.slot()];
        return QString(reinterpret_cast<const QChar*>(cell.chars), cell.size);
    }
    // The text of a cell without copying it; valid until the cell is next written.
    QStringView textView(int row, int col) const {
        const Column& column = columns_[std::size_t(col)];
        const CellText& cell = column.text[std::size_t(row)];
        if (cell.isLong())
            return column.overflow[cell.slot()];
        return QStringView(cell.chars, cell.size);
    }
    bool textEmpty(int row, int col) const {
        return columns_[std::size_t(col)].text[std::size_t(row)].size == 0;
    }
    // Returns false when the cell already held that text.
    bool setText(int row, int col, const QString& text) {
        Column& column = columns_[std::size_t(col)];
        CellText& cell = column.text[std::size_t(row)];
        const bool fits = text.size() <= CellText::Inline;
        if (!cell.isLong()) {
            if (cell.equalsInline(text))
                return false;
            if (fits)
                cell.setInline(text);
            else
                cell.setSlot(takeSlot(column, text));
        } else {
            QString& stored = column.overflow[cell.slot()];
            if (stored.isSharedWith(text) || stored == text)
                return false;
            if (fits) {
                releaseSlot(column, cell.slot());
                cell.setInline(text);
            } else {
                stored = text;
            }
        }
        if (row > 0) {
            column.cellsWidth = -1;
            if (text.size() > column.maxLen) {
                column.maxLen = text.size();
                column.maxLenRow = row;
            }
        }
        return true;
    }
    CellAlignment alignment(int row, int col) const {
        return CellAlignment(attr(row, col) & AlignMask);
    }
    void setAlignment(int row, int col, CellAlignment alignment) {
        std::uint8_t& a = attr(row, col);
        a = std::uint8_t((a & ~AlignMask) | (int(alignment) & AlignMask));
    }
    CellCheck check(int row, int col) const {
        return CellCheck((attr(row, col) & CheckMask) >> CheckShift);
    }
    void setCheck(int row, int col, CellCheck state) {
        if (row > 0)
            columns_[std::size_t(col)].cellsWidth = -1;
        std::uint8_t& a = attr(row, col);
        a = std::uint8_t((a & ~CheckMask) | ((int(state) << CheckShift) & CheckMask));
    }
    // Alpha 0 means "no colour of its own".
    QRgb back(int row, int col) const {
        const Column& column = columns_[std::size_t(col)];
        return column.back.empty() ? 0 : column.back[std::size_t(row)];
    }
    void setBack(int row, int col, QRgb color) {
        Column& column = columns_[std::size_t(col)];
        if (column.back.empty()) {
            if (qAlpha(color) == 0)
                return;
            column.back.resize(std::size_t(rows_), 0);
        }
        column.back[std::size_t(row)] = color;
    }
    bool hidden(int row) const { return hidden_[std::size_t(row)] != 0; }
    // Returns true when the flag changed.
    bool setHidden(int row, bool hidden);
    int hiddenCount() const { return hiddenCount_; }

    Column& column(int col) { return columns_[std::size_t(col)]; }
    const Column& column(int col) const { return columns_[std::size_t(col)]; }
    // Moves column `from` so that it ends at index `to`, in the store only.
    void moveStoreColumn(int from, int to);

    // Committing the store to the view.
    // Rebuilds the row mapping and resets the model.
    void commitReset();
    // Moves a column in store and model alike; the model's counts must be committed.
    void commitColumnMove(int from, int to);
    bool committed() const {
        return committedRows_ == rows_ && committedCols_ == cols() && !mappingStale_;
    }
    void markMappingStale() { mappingStale_ = true; }
    // The part of the view on screen, in model rows and columns, for notifyChanged.
    struct Shown {
        int firstRow, lastRow, firstCol, lastCol;
    };
    // Tells the view that grid rows row1..row2, columns col1..col2 changed. Only the part on
    // screen is announced: the rest is read from the store when it scrolls into view. A
    // few cells are announced one by one so that only they are repainted.
    void notifyChanged(int row1, int row2, int col1, int col2, const Shown& shown);

    // Mapping between model rows and grid rows, as committed.
    int gridRow(int modelRow) const {
        return identity_ ? modelRow + 1 : visible_[std::size_t(modelRow)];
    }
    // -1 when the grid row has no model row (heading, hidden or not committed yet).
    int modelRow(int gridRow) const;

    // QAbstractItemModel
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Only the view calls this, when the user toggles a check box; the toggle itself is
    // left to the grid (checkToggleRequested), which asks the page first.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    static Qt::Alignment toQt(CellAlignment alignment);

signals:
    void checkToggleRequested(int row, int col);

private:
    static std::uint32_t takeSlot(Column& column, const QString& text);
    static void releaseSlot(Column& column, std::uint32_t slot);

    // Attribute byte: bits 0-1 alignment, bits 2-3 check state (0 none, 1 checked, 2 cleared).
    static constexpr std::uint8_t AlignMask = 0x03;
    static constexpr std::uint8_t CheckMask = 0x0c;
    static constexpr int CheckShift = 2;

    std::uint8_t& attr(int row, int col) {
        return columns_[std::size_t(col)].attr[std::size_t(row)];
    }
    std::uint8_t attr(int row, int col) const {
        return columns_[std::size_t(col)].attr[std::size_t(row)];
    }
    QVariant cellData(int row, int col, int role) const;

    std::vector<Column> columns_;
    std::vector<std::uint8_t> hidden_; // one per grid row
    int rows_ = 0;
    int hiddenCount_ = 0;

    // What the view has been told.
    std::vector<int> visible_; // model row -> grid row, unless identity_
    bool identity_ = true;     // no row hidden: model row m is grid row m + 1
    int committedRows_ = 0;
    int committedDataRows_ = 0; // model rows when identity_
    int committedCols_ = 0;
    bool mappingStale_ = false;
};
