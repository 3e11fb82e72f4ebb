#pragma once
// Cell store and item model behind FlexGrid.
//
// The store keeps every cell of the grid, the heading row 0 included, column by column:
// one QString per cell and one attribute byte (alignment and check-box state), plus back
// colours for the columns that use them. Columns are whole objects, so moving a column
// moves its texts, attributes, colours, number and width together.
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
#include <vector>

class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    struct Column {
        std::vector<QString> text;      // one per grid row
        std::vector<std::uint8_t> attr; // alignment and check state, one per grid row
        std::vector<QRgb> back;         // empty until a back colour is set in this column
        int data = 0;                   // number carried by the column
        int width = -1;                 // pixels; -1 for the header's default
        qsizetype maxLen = 0;           // longest text written so far (a hint for fitting)
        int maxLenRow = -1;
    };

    explicit GridModel(QObject* parent = nullptr);

    // Store. Rows and columns are grid coordinates; callers check the ranges.
    int rows() const { return rows_; }
    int cols() const { return int(columns_.size()); }
    bool contains(int row, int col) const {
        return row >= 0 && row < rows_ && col >= 0 && col < cols();
    }
    void resizeStore(int rows, int cols);

    const QString& text(int row, int col) const { return columns_[col].text[row]; }
    void setText(int row, int col, const QString& text);
    CellAlignment alignment(int row, int col) const;
    void setAlignment(int row, int col, CellAlignment alignment);
    CellCheck check(int row, int col) const;
    void setCheck(int row, int col, CellCheck state);
    // Alpha 0 means "no colour of its own".
    QRgb back(int row, int col) const;
    void setBack(int row, int col, QRgb color);
    bool hidden(int row) const { return hidden_[row] != 0; }
    // Returns true when the flag changed.
    bool setHidden(int row, bool hidden);
    int hiddenCount() const { return hiddenCount_; }

    Column& column(int col) { return columns_[col]; }
    const Column& column(int col) const { return columns_[col]; }
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
    // Repaint notifications for grid rows row1..row2 (hidden ones skipped), columns col1..col2.
    void notifyChanged(int row1, int row2, int col1, int col2);

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
