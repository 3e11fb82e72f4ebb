// The log sheet's history at plant sizes: 1,000 variables at a row a second for 24 hours
// (86,400 rows) and 10,000 variables at a row a minute for 30 days (43,200 rows), with 5 %
// of the values changing per row. Prints per size: appending a row (each its own
// transaction, median, 99th percentile and worst), the file's size on disk, opening the
// history and showing a screen of rows at a moment (median and worst of 20 moments), a
// 24-hour series of one variable, and a 24-hour CSV export.
//
// The histories are made once (in one transaction per chunk of rows, which is fast) under
// build/bench-history/ and kept for later runs; delete the folder to make them again. Each run
// appends its measured rows at their end.

#include "BenchSupport.h"
#include "History.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cmath>
#include <cstdio>

namespace {

struct Size {
    const char* name;
    int variables;
    int rows;
    int secondsPerRow;
};

const QDateTime Begin(QDate(2026, 11, 1), QTime(0, 0));

std::vector<workstation::HistoryColumn> Columns(int count) {
    std::vector<workstation::HistoryColumn> columns;
    columns.reserve(std::size_t(count));
    for (int i = 0; i < count; ++i)
        columns.push_back({QStringLiteral("Unit%1_Temperature").arg(i),
                           QStringLiteral("HUB:Unit%1.Temperature").arg(i), QStringLiteral("N")});
    return columns;
}

// Rows of a plant where 5 % of the values change per row, each a random walk with two
// decimals, and a value now and then stale.
class Plant {
public:
    explicit Plant(int variables) : rng_(42) {
        row_.values.reserve(variables);
        level_.resize(std::size_t(variables));
        for (int i = 0; i < variables; ++i) {
            level_[std::size_t(i)] = 20 + rng_.bounded(800) / 10.0;
            row_.values << QString::number(level_[std::size_t(i)], 'f', 2);
        }
        row_.quality.assign(std::size_t(variables), workstation::Quality::Good);
    }

    const workstation::SheetRow& Next(const QDateTime& time) {
        row_.time = time;
        const int n = int(level_.size());
        for (int k = 0; k < std::max(1, n / 20); ++k) {
            const auto i = std::size_t(rng_.bounded(n));
            level_[i] += (rng_.bounded(200) - 100) / 100.0;
            row_.values[qsizetype(i)] = QString::number(level_[i], 'f', 2);
            row_.quality[i] =
                rng_.bounded(50) == 0 ? workstation::Quality::Stale : workstation::Quality::Good;
        }
        return row_;
    }

private:
    QRandomGenerator rng_;
    std::vector<double> level_;
    workstation::SheetRow row_;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(double(v.size()) * p))];
}

qint64 FileBytes(const QString& path) {
    qint64 bytes = 0;
    for (const char* suffix : {"", "-wal"})
        bytes += QFileInfo(path + QLatin1String(suffix)).size();
    return bytes;
}

bool Measure(const Size& size) {
    const QString folder = QStringLiteral("build/bench-history");
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(QLatin1String(size.name) + QStringLiteral(".svh"));
    const auto columns = Columns(size.variables);
    const QString title = QStringLiteral("Benchmark plant");
    const QString tag = QStringLiteral("history_%1_").arg(QLatin1String(size.name));
    QString error;
    Plant plant(size.variables);
    qint64 have = 0;
    {
        auto h = workstation::History::Open(path, title, columns,
                                            workstation::History::Access::Record, &error);
        if (!h) {
            std::fprintf(stderr, "bench_history: %s\n", qPrintable(error));
            return false;
        }
        have = h->RowCount();
        if (have < size.rows) {
            if (have > 0) {
                std::fprintf(stderr, "bench_history: %s is incomplete; delete it\n",
                             qPrintable(path));
                return false;
            }
            std::fprintf(stderr, "bench_history: making %s (%d rows of %d variables) ...\n",
                         qPrintable(path), size.rows, size.variables);
            const int chunk = std::max(10, 1'000'000 / size.variables);
            std::vector<workstation::SheetRow> rows;
            for (int r = 0; r < size.rows; ++r) {
                rows.push_back(plant.Next(Begin.addSecs(qint64(r) * size.secondsPerRow)));
                if (int(rows.size()) == chunk || r + 1 == size.rows) {
                    if (!h->AppendMany(rows)) {
                        std::fprintf(stderr, "bench_history: cannot write %s\n", qPrintable(path));
                        return false;
                    }
                    rows.clear();
                }
            }
            have = h->RowCount();
        }
    }
    bench::Print(tag + QStringLiteral("size"), double(FileBytes(path)) / 1e6, "MB");

    // Appending: single-transaction rows after the last, as the sheet records them.
    {
        auto h = workstation::History::Open(path, title, columns,
                                            workstation::History::Access::Record, &error);
        if (!h || !h->Recording()) {
            std::fprintf(stderr, "bench_history: %s\n", qPrintable(error));
            return false;
        }
        const QDateTime after = h->LastTime();
        std::vector<double> ms;
        std::vector<double> cpu;
        for (int r = 1; r <= 1000; ++r) {
            const workstation::SheetRow& row =
                plant.Next(after.addSecs(qint64(r) * size.secondsPerRow));
            const qint64 t0 = bench::NowNs();
            const double c0 = bench::ThreadMs();
            if (!h->Append(row))
                return false;
            cpu.push_back(bench::ThreadMs() - c0);
            ms.push_back(double(bench::NowNs() - t0) / 1e6);
        }
        bench::Print(tag + QStringLiteral("append_median"), bench::Median(ms), "ms");
        bench::Print(tag + QStringLiteral("append_p99"), Percentile(ms, 0.99), "ms");
        bench::Print(tag + QStringLiteral("append_worst"), bench::Worst(ms), "ms");
        // The processor time of the appending thread: what the program spends, apart from
        // waiting for the disk or for a busy machine.
        bench::Print(tag + QStringLiteral("append_cpu_median"), bench::Median(cpu), "ms");
        bench::Print(tag + QStringLiteral("append_cpu_p99"), Percentile(cpu, 0.99), "ms");
    }

    // Opening the history and showing a screen of rows at a moment.
    const qint64 spanSeconds = qint64(size.rows) * size.secondsPerRow;
    {
        QRandomGenerator rng(7);
        std::vector<double> ms;
        for (int i = 0; i < 20; ++i) {
            const QDateTime moment = Begin.addSecs(qint64(rng.bounded(double(spanSeconds))));
            const qint64 t0 = bench::NowNs();
            auto h = workstation::History::Open(path, title, columns,
                                                workstation::History::Access::ReadOnly, &error);
            const qint64 at = h ? h->IndexAt(moment) : -1;
            const auto rows = h ? h->Rows(at, 40) : std::vector<workstation::SheetRow>();
            ms.push_back(double(bench::NowNs() - t0) / 1e6);
            if (rows.size() != 40) {
                std::fprintf(stderr, "bench_history: no rows at %s\n",
                             qPrintable(moment.toString(Qt::ISODate)));
                return false;
            }
        }
        bench::Print(tag + QStringLiteral("open_show_median"), bench::Median(ms), "ms");
        bench::Print(tag + QStringLiteral("open_show_worst"), bench::Worst(ms), "ms");
    }

    auto h = workstation::History::Open(path, title, columns,
                                        workstation::History::Access::ReadOnly, &error);
    if (!h)
        return false;
    // The last 24 hours of the generated rows.
    const qint64 toMs = Begin.addSecs(spanSeconds).toMSecsSinceEpoch() - 1;
    const qint64 fromMs = toMs + 1 - 24 * 3600 * 1000;
    {
        const qint64 t0 = bench::NowNs();
        const auto points = h->Series(size.variables / 2, fromMs, toMs);
        bench::Print(tag + QStringLiteral("trend_24h"), double(bench::NowNs() - t0) / 1e6, "ms");
        std::fprintf(stderr, "bench_history: %zu points in the 24-hour series\n", points.size());
    }
    {
        const QString out = QDir(folder).filePath(QStringLiteral("export.csv"));
        const qint64 t0 = bench::NowNs();
        if (!h->ExportCsv(fromMs, toMs, out, &error)) {
            std::fprintf(stderr, "bench_history: %s\n", qPrintable(error));
            return false;
        }
        bench::Print(tag + QStringLiteral("csv_24h"), double(bench::NowNs() - t0) / 1e9, "s");
        std::fprintf(stderr, "bench_history: the 24-hour CSV has %.1f MB\n",
                     double(QFileInfo(out).size()) / 1e6);
        QFile::remove(out);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool ok = Measure({"1000x86400", 1000, 86'400, 1});
    ok = Measure({"10000x43200", 10'000, 43'200, 60}) && ok;
    return ok ? 0 : 1;
}
