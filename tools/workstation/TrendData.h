#pragma once
// The points of a trend and the lines drawn from them, apart from the chart so that they are
// built (and tested) where Qt Charts is not.

#include "SheetRow.h"

#include <functional>
#include <utility>
#include <vector>

namespace workstation {

// One value of a column at a time. A point whose quality is neither Good nor Unknown, or
// whose value is not a number (an empty value, gap = true), is missing data.
struct TrendPoint {
    qint64 ms = 0; // milliseconds since the epoch
    double value = 0;
    Quality quality = Quality::Unknown;
    bool gap = false; // no number at this time
};

// The points of column `column` (an index into SheetRow::values) from `fromMs` to `toMs`,
// both included, oldest first.
using TrendFetch = std::function<std::vector<TrendPoint>(int column, qint64 fromMs, qint64 toMs)>;

// The point a row gives for one column: its value read as a number ("." as the decimal point).
TrendPoint PointOf(const SheetRow& row, int column);
// The point of a value recorded at `ms` with `quality`.
TrendPoint PointOf(qint64 ms, QStringView text, Quality quality);

// True where a point breaks the line.
inline bool IsGap(const TrendPoint& p) {
    return p.gap || (p.quality != Quality::Good && p.quality != Quality::Unknown);
}

// A line of points to draw: the runs of usable points, each a separate line, and the spans
// of missing data between and around them.
struct TrendLines {
    std::vector<std::vector<std::pair<qint64, double>>> runs;
    std::vector<std::pair<qint64, qint64>> gaps; // from, to (ms)
};

// The lines of `points` between `fromMs` and `toMs` for a plot `pixels` wide: every point when
// there are at most 2 * pixels of them, else the lowest and highest value of each pixel column
// (a pixel column holding missing data breaks the line there). A gap runs from the last usable
// point before it to the first one after it (or to the end of the points).
TrendLines MakeLines(const std::vector<TrendPoint>& points, qint64 fromMs, qint64 toMs, int pixels);

} // namespace workstation
