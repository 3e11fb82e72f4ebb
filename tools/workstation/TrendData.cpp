#include "TrendData.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

namespace workstation {

TrendPoint PointOf(qint64 ms, QStringView text, Quality quality) {
    TrendPoint p;
    p.ms = ms;
    p.quality = quality;
    bool ok = false;
    p.value = QLocale::c().toDouble(text.trimmed(), &ok);
    p.gap = !ok || !std::isfinite(p.value);
    return p;
}

TrendPoint PointOf(const SheetRow& row, int column) {
    const Quality quality = std::size_t(column) < row.quality.size()
                                ? row.quality[std::size_t(column)]
                                : Quality::Unknown;
    return PointOf(row.time.toMSecsSinceEpoch(), row.values.value(column), quality);
}

namespace {

// Splits points (oldest first) into runs of usable ones and the gaps between.
TrendLines Split(const TrendPoint* begin, const TrendPoint* end) {
    TrendLines lines;
    std::vector<std::pair<qint64, double>> run;
    bool inGap = false;
    qint64 gapFrom = 0;
    qint64 lastGap = 0;
    for (const TrendPoint* p = begin; p != end; ++p) {
        if (IsGap(*p)) {
            if (!inGap) {
                inGap = true;
                gapFrom = run.empty() ? p->ms : run.back().first;
                if (!run.empty())
                    lines.runs.push_back(std::exchange(run, {}));
            }
            lastGap = p->ms;
            continue;
        }
        if (inGap) {
            lines.gaps.emplace_back(gapFrom, p->ms);
            inGap = false;
        }
        run.emplace_back(p->ms, p->value);
    }
    if (inGap)
        lines.gaps.emplace_back(gapFrom, lastGap);
    if (!run.empty())
        lines.runs.push_back(std::move(run));
    return lines;
}

} // namespace

TrendLines MakeLines(const std::vector<TrendPoint>& points, qint64 fromMs, qint64 toMs,
                     int pixels) {
    const auto byTime = [](const TrendPoint& p, qint64 ms) { return p.ms < ms; };
    auto lo = std::lower_bound(points.begin(), points.end(), fromMs, byTime);
    auto hi = std::upper_bound(points.begin(), points.end(), toMs,
                               [](qint64 ms, const TrendPoint& p) { return ms < p.ms; });
    // One point beyond each edge, so the lines reach the edges of the plot.
    if (lo != points.begin())
        --lo;
    if (hi != points.end())
        ++hi;
    const auto count = hi - lo;
    pixels = std::max(pixels, 1);
    if (count <= 2 * qint64(pixels) || toMs <= fromMs)
        return Split(points.data() + (lo - points.begin()), points.data() + (hi - points.begin()));

    // Per pixel column: the lowest and the highest usable point, or the first and the last
    // point of missing data when it holds any.
    struct Bucket {
        const TrendPoint* low = nullptr;
        const TrendPoint* high = nullptr;
        const TrendPoint* firstGap = nullptr;
        const TrendPoint* lastGap = nullptr;
    };
    std::vector<Bucket> buckets(static_cast<std::size_t>(pixels));
    const double span = double(toMs - fromMs);
    for (auto it = lo; it != hi; ++it) {
        const double at = double(it->ms - fromMs) / span * pixels;
        const auto b = std::size_t(std::clamp(at, 0.0, double(pixels - 1)));
        Bucket& bucket = buckets[b];
        const TrendPoint* p = &*it;
        if (IsGap(*p)) {
            if (!bucket.firstGap)
                bucket.firstGap = p;
            bucket.lastGap = p;
        } else {
            if (!bucket.low || p->value < bucket.low->value)
                bucket.low = p;
            if (!bucket.high || p->value > bucket.high->value)
                bucket.high = p;
        }
    }
    std::vector<TrendPoint> reduced;
    reduced.reserve(2 * std::size_t(pixels));
    for (const Bucket& b : buckets) {
        if (b.firstGap) {
            reduced.push_back(*b.firstGap);
            if (b.lastGap != b.firstGap)
                reduced.push_back(*b.lastGap);
        } else if (b.low) {
            const TrendPoint* first = b.low->ms <= b.high->ms ? b.low : b.high;
            const TrendPoint* second = first == b.low ? b.high : b.low;
            reduced.push_back(*first);
            if (second != first)
                reduced.push_back(*second);
        }
    }
    return Split(reduced.data(), reduced.data() + reduced.size());
}

} // namespace workstation
