#pragma once
// Heading row of FlexGrid: the horizontal header of the table view, painted by hand so that
// headings can span several lines, carry a check box and take the grid's heading colour.
// Columns are moved by dragging a heading; the header only reports the wish
// (moveRequested) and the grid decides, so the header's own section order never changes.

#include <QColor>
#include <QHeaderView>
#include <functional>

class GridHeader : public QHeaderView {
    Q_OBJECT
public:
    explicit GridHeader(QWidget* parent = nullptr);

    void setFixedColor(const QColor& color);
    void setOutsideColor(const QColor& color);
    // Height in pixels; 0 or less measures the headings.
    void setHeight(int pixels);
    int headingHeight() const;

    // Asked before the user resizes column `col`; return false to refuse.
    std::function<bool(int col)> allowResize;

    QSize sizeHint() const override;
    // Where the check box of a section is painted, in viewport coordinates.
    QRect checkBoxRect(int logicalIndex) const;

signals:
    void checkClicked(int col);
    void moveRequested(int col, int position);
    void columnPressed(int col);
    void autoSizeRequested(int col);
    // While a heading is dragged near an edge: scroll the columns by `pixels`.
    void dragScrollRequested(int pixels);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    int handleAt(int x) const;
    int dropPosition(int x) const;
    QRect checkBoxRectIn(const QRect& section) const;
    int measuredHeight() const;
    void endDrag();

    QColor fixedColor_;
    QColor outsideColor_;
    int fixedHeight_ = 0;

    int pressCol_ = -1; // section pressed for a possible drag
    int pressX_ = 0;
    bool dragging_ = false;
    int dropPos_ = -1;
    int checkPressCol_ = -1; // section whose check box was pressed
};
