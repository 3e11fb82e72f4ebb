#include "ui/GridHeader.h"

#include <QApplication>
#include <QBrush>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <algorithm>

namespace {

constexpr int Margin = 3;

int lineCount(const QString& text) {
    return text.isEmpty() ? 1 : int(text.count(QLatin1Char('\n'))) + 1;
}

} // namespace

GridHeader::GridHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    setSectionsMovable(false);
    setSectionsClickable(false);
    setHighlightSections(false);
    setSectionResizeMode(QHeaderView::Interactive);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setMinimumSectionSize(8);
}

void GridHeader::setFixedColor(const QColor& color) {
    fixedColor_ = color;
    viewport()->update();
}

void GridHeader::setOutsideColor(const QColor& color) {
    outsideColor_ = color;
    viewport()->update();
}

void GridHeader::setHeight(int pixels) {
    fixedHeight_ = std::max(pixels, 0);
    updateGeometry();
    viewport()->update();
}

int GridHeader::headingHeight() const {
    return fixedHeight_ > 0 ? fixedHeight_ : measuredHeight();
}

int GridHeader::measuredHeight() const {
    int lines = 1;
    if (model()) {
        for (int c = 0; c < count(); ++c) {
            lines = std::max(
                lines,
                lineCount(model()->headerData(c, orientation(), Qt::DisplayRole).toString()));
        }
    }
    const QFontMetrics metrics = fontMetrics();
    const int box = style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this);
    return std::max(lines * metrics.lineSpacing(), box) + 2 * Margin + 1;
}

QSize GridHeader::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(headingHeight());
    return size;
}

QRect GridHeader::checkBoxRectIn(const QRect& section) const {
    const int w = style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, this);
    const int h = style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, this);
    return {section.left() + Margin + 1, section.top() + (section.height() - h) / 2, w, h};
}

QRect GridHeader::checkBoxRect(int logicalIndex) const {
    if (!model() || !model()->headerData(logicalIndex, orientation(), Qt::CheckStateRole).isValid())
        return {};
    const QRect section(sectionViewportPosition(logicalIndex), 0, sectionSize(logicalIndex),
                        viewport()->height());
    return checkBoxRectIn(section);
}

void GridHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (!rect.isValid() || !model())
        return;
    painter->save();
    // A heading cell's own back colour wins over the colour of all headings.
    const QVariant own = model()->headerData(logicalIndex, orientation(), Qt::BackgroundRole);
    QColor fill = fixedColor_.isValid() ? fixedColor_ : palette().color(QPalette::Button);
    if (own.isValid())
        fill = own.value<QBrush>().color();
    painter->fillRect(rect, fill);
    painter->setPen(fill.lighter(125));
    painter->drawLine(rect.topLeft(), rect.bottomLeft());
    painter->drawLine(rect.topLeft(), rect.topRight());
    painter->setPen(fill.darker(160));
    painter->drawLine(rect.topRight(), rect.bottomRight());
    painter->drawLine(rect.bottomLeft(), rect.bottomRight());

    const QString text =
        model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
    // A heading row made just tall enough for its lines gives up its top and bottom margin.
    const int textHeight = lineCount(text) * fontMetrics().lineSpacing();
    const int vertical = std::clamp((rect.height() - 1 - textHeight) / 2, 0, Margin);
    QRect inner = rect.adjusted(Margin, vertical, -Margin, -vertical);
    const QVariant check = model()->headerData(logicalIndex, orientation(), Qt::CheckStateRole);
    if (check.isValid()) {
        QStyleOptionButton box;
        box.initFrom(this);
        box.rect = checkBoxRectIn(rect);
        box.state = QStyle::State_Enabled |
                    (check.toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off);
        style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, this);
        inner.setLeft(box.rect.right() + Margin + 1);
    }

    const QVariant align = model()->headerData(logicalIndex, orientation(), Qt::TextAlignmentRole);
    const auto alignment =
        align.isValid() ? Qt::Alignment(align.toInt()) : Qt::Alignment(defaultAlignment());
    painter->setPen(palette().color(QPalette::ButtonText));
    painter->setClipRect(rect);
    painter->drawText(inner, int(alignment), text);

    if (dragging_ && logicalIndex == pressCol_)
        painter->fillRect(rect, QColor(0, 0, 0, 48));
    painter->restore();
}

void GridHeader::paintEvent(QPaintEvent* event) {
    QHeaderView::paintEvent(event);
    QPainter painter(viewport());
    const int end = length() - offset();
    if (outsideColor_.isValid() && end < viewport()->width())
        painter.fillRect(end, 0, viewport()->width() - end, viewport()->height(), outsideColor_);
    if (dragging_ && dropPos_ >= 0 && dropPos_ != pressCol_) {
        // Line at the edge where the dragged column would land.
        const int start = sectionViewportPosition(dropPos_);
        const int x = dropPos_ > pressCol_ ? start + sectionSize(dropPos_) - 1 : start;
        painter.fillRect(x - 1, 0, 3, viewport()->height(), palette().color(QPalette::Highlight));
    }
}

int GridHeader::handleAt(int x) const {
    const int grip = style()->pixelMetric(QStyle::PM_HeaderGripMargin, nullptr, this);
    const int visual = visualIndexAt(x);
    if (visual < 0) {
        const int last = count() - 1;
        if (last >= 0 && x >= 0 && x < length() - offset() + grip)
            return logicalIndex(last);
        return -1;
    }
    const int logical = logicalIndex(visual);
    const int start = sectionViewportPosition(logical);
    if (x > start + sectionSize(logical) - grip)
        return logical;
    if (x < start + grip && visual > 0)
        return logicalIndex(visual - 1);
    return -1;
}

int GridHeader::dropPosition(int x) const {
    if (count() == 0)
        return -1;
    const int visual = visualIndexAt(x);
    if (visual >= 0)
        return visual;
    return x < 0 ? 0 : count() - 1;
}

void GridHeader::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QHeaderView::mousePressEvent(event);
        return;
    }
    const QPoint pos = event->position().toPoint();
    const int handle = handleAt(pos.x());
    if (handle >= 0) {
        if (allowResize && !allowResize(handle)) {
            event->accept();
            return;
        }
        QHeaderView::mousePressEvent(event);
        return;
    }
    const int col = logicalIndexAt(pos.x());
    if (col < 0)
        return;
    if (checkBoxRect(col).contains(pos)) {
        checkPressCol_ = col;
        event->accept();
        return;
    }
    pressCol_ = col;
    pressX_ = pos.x();
    dragging_ = false;
    dropPos_ = -1;
    emit columnPressed(col);
    event->accept();
}

void GridHeader::mouseMoveEvent(QMouseEvent* event) {
    if (pressCol_ < 0) {
        if (checkPressCol_ < 0)
            QHeaderView::mouseMoveEvent(event);
        return;
    }
    const int x = event->position().toPoint().x();
    if (!dragging_ && std::abs(x - pressX_) >= QApplication::startDragDistance()) {
        dragging_ = true;
        setCursor(Qt::SizeAllCursor);
    }
    if (dragging_) {
        // Near an edge the columns scroll, so a column can travel beyond what is in sight.
        const int edge = 16;
        if (x < edge && offset() > 0)
            emit dragScrollRequested(-edge);
        else if (x > viewport()->width() - edge)
            emit dragScrollRequested(edge);
        dropPos_ = dropPosition(x);
        viewport()->update();
    }
}

void GridHeader::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (checkPressCol_ >= 0) {
        const int col = checkPressCol_;
        checkPressCol_ = -1;
        if (checkBoxRect(col).contains(pos))
            emit checkClicked(col);
        return;
    }
    if (pressCol_ < 0) {
        QHeaderView::mouseReleaseEvent(event);
        return;
    }
    const int col = pressCol_;
    const bool dragged = dragging_;
    const int position = dropPosition(pos.x());
    endDrag();
    if (dragged && position >= 0 && position != col)
        emit moveRequested(col, position);
}

void GridHeader::endDrag() {
    pressCol_ = -1;
    dragging_ = false;
    dropPos_ = -1;
    unsetCursor();
    viewport()->update();
}

void GridHeader::mouseDoubleClickEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const int col = logicalIndexAt(pos.x());
    if (col >= 0 && checkBoxRect(col).contains(pos)) {
        // The second click of a quick double click toggles again.
        checkPressCol_ = col;
        event->accept();
        return;
    }
    const int handle = handleAt(pos.x());
    if (handle >= 0 && (!allowResize || allowResize(handle)))
        emit autoSizeRequested(handle);
    event->accept();
}
