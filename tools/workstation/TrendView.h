#pragma once
// The trend of one or more numeric columns of a log sheet: their values against time, with
// zoom and pan, updated live, and with the places where a value is missing or not good left
// open and shaded, never bridged by a line.
//
// The view reads each column's points once through a fetch function (over the history or the
// rows in memory) and keeps them; zoom and pan redraw from them. Where a range holds more
// points than the plot has pixel columns, each pixel column draws the lowest and the highest
// value in it, so a day of one-second rows draws as fast as an hour and still shows every peak.
//
// Zoom: the mouse wheel (around the pointer), or drag a rectangle with the left button. Pan:
// drag with the right button, or the arrow keys. "Reset zoom" (or Home) shows everything again.
// Not zoomed, the view follows the newest rows as they arrive; zoomed, it stays where the user
// put it.

#include "TrendData.h"

#include <QStringList>
#include <QWidget>
#include <utility>
#include <vector>

class QChart;
class QDateTimeAxis;
class QValueAxis;
class QLineSeries;
class QTimer;

namespace workstation {

class TrendView : public QWidget {
    Q_OBJECT

public:
    // A trend of the columns `columns` (indices into SheetRow::values) named `names`, over
    // `fromMs` to `toMs`.
    TrendView(const QStringList& names, const std::vector<int>& columns, TrendFetch fetch,
              qint64 fromMs, qint64 toMs, QWidget* parent = nullptr);
    ~TrendView() override;

    // A new row of the sheet: its values join the lines.
    void AddRow(const SheetRow& row);

    // The time range shown, in ms.
    std::pair<qint64, qint64> VisibleRange() const;
    // Shows `fromMs` to `toMs` (a zoom by the user).
    void ZoomTo(qint64 fromMs, qint64 toMs);
    // Moves the view by `fraction` of its width (negative: back in time).
    void Pan(double fraction);
    void ResetZoom();
    bool Zoomed() const { return zoomed_; }

    // What is drawn for series `series` (in the order of the columns).
    const TrendLines& Lines(int series) const { return lines_[std::size_t(series)]; }
    QChart* Chart() const { return chart_; }

private:
    class ChartView;
    friend class ChartView;

    void Redraw();
    void ScheduleRedraw();
    void FitY();

    std::vector<int> columns_;
    std::vector<std::vector<TrendPoint>> points_;
    std::vector<TrendLines> lines_;
    std::vector<std::vector<QLineSeries*>> series_;
    QStringList names_;
    qint64 fromMs_ = 0; // the whole range
    qint64 toMs_ = 0;
    bool zoomed_ = false;
    bool redrawing_ = false;
    QChart* chart_ = nullptr;
    QDateTimeAxis* timeAxis_ = nullptr;
    QValueAxis* valueAxis_ = nullptr;
    ChartView* view_ = nullptr;
    QTimer* redrawTimer_ = nullptr;
};

} // namespace workstation
