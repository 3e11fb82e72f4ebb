#include "ui/GridView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

GridView::GridView(QWidget* parent) : QTableView(parent) {}

void GridView::setOutsideColor(const QColor& color) {
    outsideColor_ = color;
    viewport()->update();
}

void GridView::keyPressEvent(QKeyEvent* event) {
    const auto mods = event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier |
                                            Qt::AltModifier | Qt::MetaModifier);
    if (mods == (Qt::ControlModifier | Qt::ShiftModifier) &&
        (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
        const int col = currentIndex().isValid() ? currentIndex().column() : -1;
        if (col >= 0)
            emit moveRequested(col, col + (event->key() == Qt::Key_Left ? -1 : 1));
        event->accept();
        return;
    }
    // Space ticks the row's check box from any cell of the row, not only from the box itself.
    if (event->key() == Qt::Key_Space && mods == Qt::NoModifier && currentIndex().isValid()) {
        const QModelIndex current = currentIndex();
        const QModelIndex box = current.siblingAtColumn(0);
        if (!current.data(Qt::CheckStateRole).isValid() && box.data(Qt::CheckStateRole).isValid())
            setCurrentIndex(box);
    }
    QTableView::keyPressEvent(event);
}

void GridView::focusInEvent(QFocusEvent* event) {
    // Coming in with the keyboard, the first cell is the current one, so the arrow keys and
    // Space work at once.
    if (!currentIndex().isValid() && model() && model()->rowCount() > 0 &&
        model()->columnCount() > 0)
        setCurrentIndex(model()->index(0, 0));
    QTableView::focusInEvent(event);
}

void GridView::mousePressEvent(QMouseEvent* event) {
    // A press on a check box goes to the box and no further, so the view would leave the
    // current cell where it was: the pressed cell becomes current first, as any other press
    // makes it.
    const QModelIndex pressed = indexAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && pressed.isValid() &&
        pressed.data(Qt::CheckStateRole).isValid() && pressed != currentIndex())
        setCurrentIndex(pressed);
    QTableView::mousePressEvent(event);
}

void GridView::paintEvent(QPaintEvent* event) {
    if (outsideColor_.isValid()) {
        // Cells without a colour of their own show the base colour; everything right of
        // the last column and below the last row takes the outside colour.
        QPainter painter(viewport());
        const QRect area = viewport()->rect();
        const int right = horizontalHeader()->length() - horizontalHeader()->offset();
        const int bottom = verticalHeader()->length() - verticalHeader()->offset();
        const QRegion outside = QRegion(area).subtracted(QRect(0, 0, right, bottom));
        for (const QRect& rect : outside)
            painter.fillRect(rect, outsideColor_);
    }
    QTableView::paintEvent(event);
}
