// The trend window of the log sheet: building it (reading the points, drawing the lines to
// the pixel width, showing the first picture) from a day of one-second rows (86,400 points)
// and from a day of one-minute rows (1,440), and a zoom into an hour of the day. Then a PDF of
// a day of one-minute rows with 20 columns.

#include "BenchSupport.h"
#include "SheetPrint.h"
#include "TrendView.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cmath>

namespace {

std::vector<workstation::TrendPoint> Day(int count) {
    std::vector<workstation::TrendPoint> points;
    points.reserve(std::size_t(count));
    const qint64 step = 86400000 / count;
    for (int i = 0; i < count; ++i) {
        workstation::TrendPoint p;
        p.ms = qint64(i) * step;
        p.value = 50 + 20 * std::sin(double(i) / 500) + (i % 7);
        // Now and then an hour offline.
        p.quality = (i / (count / 8)) % 4 == 3 && i % (count / 8) < count / 24
                        ? workstation::Quality::Offline
                        : workstation::Quality::Good;
        points.push_back(p);
    }
    return points;
}

void Trend(int count) {
    const auto points = Day(count);
    std::vector<double> build;
    std::vector<double> zoom;
    for (int run = 0; run < 5; ++run) {
        const qint64 start = bench::NowNs();
        workstation::TrendView trend(
            {QStringLiteral("Level")}, {0}, [&](int, qint64, qint64) { return points; }, 0,
            86400000);
        trend.resize(1200, 600);
        trend.show();
        QCoreApplication::processEvents();
        trend.grab();
        build.push_back(double(bench::NowNs() - start) / 1e6);
        const qint64 zoomStart = bench::NowNs();
        trend.ZoomTo(3600000 * 12, 3600000 * 13);
        QCoreApplication::processEvents();
        trend.grab();
        zoom.push_back(double(bench::NowNs() - zoomStart) / 1e6);
    }
    bench::Print(QStringLiteral("trend_build_%1_median").arg(count), bench::Median(build), "ms");
    bench::Print(QStringLiteral("trend_zoom_%1_median").arg(count), bench::Median(zoom), "ms");
}

void Pdf() {
    std::vector<workstation::SheetRow> rows;
    for (int r = 0; r < 1440; ++r) {
        workstation::SheetRow row;
        row.time = QDateTime(QDate(2026, 3, 4), QTime(0, 0)).addSecs(60 * r);
        for (int c = 0; c < 20; ++c) {
            row.values << QString::number(r * 0.5 + c, 'f', 2);
            row.quality.push_back(workstation::Quality::Good);
        }
        rows.push_back(row);
    }
    workstation::PrintJob job;
    job.title = QStringLiteral("Bench");
    job.headings << QStringLiteral("Date") << QStringLiteral("Time");
    for (int c = 0; c < 20; ++c)
        job.headings << QStringLiteral("Tank%1\nLevel").arg(c);
    job.rows = [&](qint64 first, qint64 count) {
        return std::vector<workstation::SheetRow>(rows.begin() + qsizetype(first),
                                                  rows.begin() + qsizetype(first + count));
    };
    job.count = qint64(rows.size());
    QTemporaryDir dir;
    const qint64 start = bench::NowNs();
    workstation::SavePdf(dir.filePath(QStringLiteral("day.pdf")), job);
    bench::Print(QStringLiteral("print_pdf_1440_rows_20_columns"),
                 double(bench::NowNs() - start) / 1e6, "ms");
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Trend(86400);
    Trend(1440);
    Pdf();
    return 0;
}
