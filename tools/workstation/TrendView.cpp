#include "TrendView.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLegendMarker>
#include <QLineSeries>
#include <QLocale>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace workstation {

// The chart with the user's zoom and pan, and the gaps shaded over the plot.
class TrendView::ChartView : public QChartView {
public:
    ChartView(QChart* chart, TrendView& trend) : QChartView(chart), trend_(trend) {
        setRubberBand(QChartView::HorizontalRubberBand);
        setRenderHint(QPainter::Antialiasing);
        setFocusPolicy(Qt::StrongFocus);
        setObjectName(QStringLiteral("chart"));
    }

protected:
    void drawForeground(QPainter* painter, const QRectF& rect) override {
        QChartView::drawForeground(painter, rect);
        const QRectF plot = chart()->plotArea();
        painter->save();
        painter->setClipRect(plot);
        for (std::size_t s = 0; s < trend_.lines_.size(); ++s) {
            if (trend_.series_[s].empty())
                continue;
            QLineSeries* series = trend_.series_[s].front();
            QColor band = series->color();
            band.setAlpha(50);
            for (const auto& [from, to] : trend_.lines_[s].gaps) {
                double x1 = chart()->mapToPosition(QPointF(qreal(from), 0), series).x();
                double x2 = chart()->mapToPosition(QPointF(qreal(to), 0), series).x();
                // A gap narrower than the eye can see is still shown.
                if (x2 - x1 < 3) {
                    const double mid = (x1 + x2) / 2;
                    x1 = mid - 1.5;
                    x2 = mid + 1.5;
                }
                painter->fillRect(QRectF(x1, plot.top(), x2 - x1, plot.height()), band);
            }
        }
        painter->restore();
    }

    void wheelEvent(QWheelEvent* event) override {
        const auto [from, to] = trend_.VisibleRange();
        const double factor = event->angleDelta().y() > 0 ? 0.8 : 1.25;
        const QRectF plot = chart()->plotArea();
        const double at =
            plot.width() > 0
                ? std::clamp((event->position().x() - plot.left()) / plot.width(), 0.0, 1.0)
                : 0.5;
        const double pivot = double(from) + at * double(to - from);
        trend_.ZoomTo(qint64(pivot - (pivot - double(from)) * factor),
                      qint64(pivot + (double(to) - pivot) * factor));
        event->accept();
    }

    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::RightButton) {
            panFrom_ = event->position().x();
            panning_ = true;
            event->accept();
            return;
        }
        QChartView::mousePressEvent(event);
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (panning_) {
            const double width = chart()->plotArea().width();
            if (width > 0)
                trend_.Pan(-(event->position().x() - panFrom_) / width);
            panFrom_ = event->position().x();
            event->accept();
            return;
        }
        QChartView::mouseMoveEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::RightButton && panning_) {
            panning_ = false;
            event->accept();
            return;
        }
        QChartView::mouseReleaseEvent(event);
    }

    void keyPressEvent(QKeyEvent* event) override {
        switch (event->key()) {
        case Qt::Key_Left:
            return trend_.Pan(-0.1);
        case Qt::Key_Right:
            return trend_.Pan(0.1);
        case Qt::Key_Home:
            return trend_.ResetZoom();
        default:
            QChartView::keyPressEvent(event);
        }
    }

private:
    TrendView& trend_;
    double panFrom_ = 0;
    bool panning_ = false;
};

TrendView::TrendView(const QStringList& names, const std::vector<int>& columns, TrendFetch fetch,
                     qint64 fromMs, qint64 toMs, QWidget* parent)
    : QWidget(parent), columns_(columns), names_(names), fromMs_(fromMs), toMs_(toMs) {
    for (const int column : columns_)
        points_.push_back(fetch ? fetch(column, fromMs, toMs) : std::vector<TrendPoint>());
    lines_.resize(columns_.size());
    series_.resize(columns_.size());

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    timeAxis_ = new QDateTimeAxis;
    timeAxis_->setFormat(QStringLiteral("yyyy-MM-dd<br>hh:mm:ss"));
    timeAxis_->setTickCount(6);
    valueAxis_ = new QValueAxis;
    chart_->addAxis(timeAxis_, Qt::AlignBottom);
    chart_->addAxis(valueAxis_, Qt::AlignLeft);
    view_ = new ChartView(chart_, *this);

    auto* reset = new QPushButton(QStringLiteral("Reset zoom"));
    reset->setObjectName(QStringLiteral("resetZoom"));
    connect(reset, &QPushButton::clicked, this, &TrendView::ResetZoom);
    auto* hint = new QLabel(QStringLiteral(
        "Wheel or drag: zoom. Right-drag or arrow keys: pan. Shaded: values missing or not good."));
    auto* bar = new QHBoxLayout;
    bar->addWidget(reset);
    bar->addWidget(hint, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addLayout(bar);
    layout->addWidget(view_, 1);

    redrawTimer_ = new QTimer(this);
    redrawTimer_->setSingleShot(true);
    redrawTimer_->setInterval(0);
    connect(redrawTimer_, &QTimer::timeout, this, &TrendView::Redraw);
    // A zoom by the rubber band comes in as a change of the axis.
    connect(timeAxis_, &QDateTimeAxis::rangeChanged, this, [this] {
        if (redrawing_)
            return;
        zoomed_ = true;
        ScheduleRedraw();
    });
    ResetZoom();
    Redraw();
}

TrendView::~TrendView() = default;

std::pair<qint64, qint64> TrendView::VisibleRange() const {
    return {timeAxis_->min().toMSecsSinceEpoch(), timeAxis_->max().toMSecsSinceEpoch()};
}

void TrendView::ZoomTo(qint64 fromMs, qint64 toMs) {
    if (toMs <= fromMs)
        toMs = fromMs + 1;
    zoomed_ = true;
    redrawing_ = true;
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(fromMs),
                        QDateTime::fromMSecsSinceEpoch(toMs));
    redrawing_ = false;
    ScheduleRedraw();
}

void TrendView::Pan(double fraction) {
    const auto [from, to] = VisibleRange();
    const auto shift = qint64(fraction * double(to - from));
    ZoomTo(from + shift, to + shift);
}

void TrendView::ResetZoom() {
    zoomed_ = false;
    redrawing_ = true;
    // The whole range, and every point that came after it.
    qint64 last = toMs_;
    for (const auto& points : points_)
        if (!points.empty())
            last = std::max(last, points.back().ms);
    timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(fromMs_),
                        QDateTime::fromMSecsSinceEpoch(std::max(last, fromMs_ + 1)));
    redrawing_ = false;
    ScheduleRedraw();
}

void TrendView::AddRow(const SheetRow& row) {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const TrendPoint p = PointOf(row, columns_[i]);
        auto& points = points_[i];
        // Rows come oldest first; one out of order is left out rather than break the search.
        if (!points.empty() && p.ms < points.back().ms)
            continue;
        points.push_back(p);
    }
    if (!zoomed_)
        ResetZoom();
}

void TrendView::ScheduleRedraw() {
    redrawTimer_->start();
}

void TrendView::Redraw() {
    redrawing_ = true;
    const auto [from, to] = VisibleRange();
    const int pixels = std::max(
        1, int(chart_->plotArea().width() > 0 ? chart_->plotArea().width() : view_->width()));
    static const QList<QColor> colours = {QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28),
                                          QColor(0x2c, 0xa0, 0x2c), QColor(0x94, 0x67, 0xbd),
                                          QColor(0xff, 0x7f, 0x0e), QColor(0x8c, 0x56, 0x4b)};
    for (std::size_t s = 0; s < columns_.size(); ++s) {
        lines_[s] = MakeLines(points_[s], from, to, pixels);
        auto& series = series_[s];
        // One line per run, at least one so that the legend names the column.
        const std::size_t wanted = std::max<std::size_t>(1, lines_[s].runs.size());
        while (series.size() > wanted) {
            chart_->removeSeries(series.back());
            delete series.back();
            series.pop_back();
        }
        const QColor colour = colours[qsizetype(s) % colours.size()];
        while (series.size() < wanted) {
            auto* line = new QLineSeries;
            line->setName(names_.value(qsizetype(s)));
            QPen pen(colour);
            pen.setWidthF(1.5);
            line->setPen(pen);
            chart_->addSeries(line);
            line->attachAxis(timeAxis_);
            line->attachAxis(valueAxis_);
            series.push_back(line);
        }
        for (std::size_t r = 0; r < series.size(); ++r) {
            QList<QPointF> xy;
            if (r < lines_[s].runs.size()) {
                xy.reserve(qsizetype(lines_[s].runs[r].size()));
                for (const auto& [ms, value] : lines_[s].runs[r])
                    xy.append(QPointF(qreal(ms), value));
            }
            series[r]->replace(xy);
            const auto markers = chart_->legend()->markers(series[r]);
            for (QLegendMarker* marker : markers)
                marker->setVisible(r == 0);
        }
    }
    FitY();
    redrawing_ = false;
    view_->viewport()->update();
}

void TrendView::FitY() {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    const auto [from, to] = VisibleRange();
    for (const TrendLines& lines : lines_)
        for (const auto& run : lines.runs)
            for (const auto& [ms, value] : run)
                if (ms >= from && ms <= to) {
                    low = std::min(low, value);
                    high = std::max(high, value);
                }
    if (!std::isfinite(low)) {
        low = 0;
        high = 1;
    } else if (high - low < 1e-9) {
        low -= 1;
        high += 1;
    } else {
        const double margin = (high - low) * 0.05;
        low -= margin;
        high += margin;
    }
    valueAxis_->setRange(low, high);
    valueAxis_->applyNiceNumbers();
}

} // namespace workstation
