#pragma once
// Table view of FlexGrid: paints the area outside the cells in the grid's outside colour
// and turns Ctrl+Shift+Left/Right into a request to move the current column.

#include <QColor>
#include <QTableView>

class GridView : public QTableView {
    Q_OBJECT
public:
    explicit GridView(QWidget* parent = nullptr);

    void setOutsideColor(const QColor& color);

signals:
    void moveRequested(int col, int position);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QColor outsideColor_;
};
