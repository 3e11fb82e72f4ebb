// Speed of the shared grid at 100,000 rows, the size of the largest tag list: a full
// rewrite of every row as one sampling pass does it, hiding every other row as a filter
// does, fitting the column widths, and painting what is on screen.
// Prints "name value unit" lines. Run with QT_QPA_PLATFORM=offscreen.

#include "BenchSupport.h"
#include "ui/FlexGrid.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int TagCount = 100000;
constexpr int RunCount = 11;

void print(const char* name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", name, value, unit);
    std::fflush(stdout);
}

std::vector<QString> makeNames() {
    std::vector<QString> names;
    names.reserve(TagCount);
    for (int i = 1; i <= TagCount; ++i)
        names.push_back(QStringLiteral("Plant.Area%1.Tank%2.Level").arg(i % 97).arg(i));
    return names;
}

// The texts of one row in one pass, made as the sampling page makes them.
struct RowTexts {
    QString type, length, decimals, value;
};

RowTexts rowTexts(int r, int pass) {
    return {r % 5 ? QStringLiteral("N") : QStringLiteral("T"), QString::number(4 + r % 7),
            QString::number(r % 3), QString::number(r * 0.25 + pass, 'f', 2)};
}

std::vector<RowTexts> makePass(int pass) {
    std::vector<RowTexts> rows;
    rows.reserve(TagCount);
    for (int r = 1; r <= TagCount; ++r)
        rows.push_back(rowTexts(r, pass));
    return rows;
}

// One pass over every row, as the sampling page writes it; `text` gives row r's texts.
template <typename TextsOf>
void writeRows(FlexGrid& grid, const std::vector<QString>& names, int pass, TextsOf text) {
    const QColor cyan(0, 255, 255);
    const QColor white(255, 255, 255);
    for (int r = 1; r <= TagCount; ++r) {
        const RowTexts& t = text(r);
        grid.SetTextMatrix(r, 0, names[std::size_t(r - 1)]);
        grid.SetCellAlignment(r, 0, CellAlignment::LeftCenter);
        grid.SetTextMatrix(r, 1, t.type);
        grid.SetCellAlignment(r, 1, CellAlignment::CenterCenter);
        grid.SetTextMatrix(r, 2, t.length);
        grid.SetCellAlignment(r, 2, CellAlignment::CenterCenter);
        grid.SetTextMatrix(r, 3, t.decimals);
        grid.SetCellAlignment(r, 3, CellAlignment::CenterCenter);
        grid.SetTextMatrix(r, 4, t.value);
        grid.SetCellAlignment(r, 4, CellAlignment::LeftCenter);
        grid.SetCellBackColor(r, 1, 3, (r + pass) % 50 == 0 ? cyan : white);
    }
}

struct Timing {
    std::vector<double> wall, cpu;
    QElapsedTimer timer;
    double cpuStart = 0;
    void start() {
        timer.start();
        cpuStart = bench::ThreadMs();
    }
    void stop() {
        cpu.push_back(bench::ThreadMs() - cpuStart);
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    // Median wall time as `name`, median processor time of this thread as `cpuName`.
    void print(const char* name, const char* cpuName) const {
        ::print(name, bench::Median(wall), "ms");
        ::print(cpuName, bench::Median(cpu), "ms");
    }
};

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    FlexGrid grid;
    grid.resize(553, 329);
    grid.show();
    QApplication::processEvents();

    grid.SetRows(1);
    grid.SetCols(5);
    const char* headings[] = {"Tag Alias", "Type", "Length", "Decimals", "Sample Value #0"};
    for (int c = 0; c < 5; ++c)
        grid.SetTextMatrix(0, c, QString::fromLatin1(headings[c]));
    grid.SetRows(TagCount + 1);
    const std::vector<QString> names = makeNames();

    // A pass whose texts are ready: the grid's own cost.
    Timing refresh, autosize;
    for (int run = 0; run < RunCount; ++run) {
        const std::vector<RowTexts> texts = makePass(run);
        refresh.start();
        grid.SetRedraw(false);
        writeRows(grid, names, run,
                  [&](int r) -> const RowTexts& { return texts[std::size_t(r - 1)]; });
        grid.SetRedraw(true);
        refresh.stop();
        autosize.start();
        grid.AutoSize(0, 4);
        autosize.stop();
        QApplication::processEvents();
    }
    refresh.print("grid_refresh_100000_median", "grid_refresh_100000_cpu_median");
    autosize.print("grid_autosize_100000", "grid_autosize_100000_cpu");

    // The same with the numbers formatted on the way, as a sampling pass does it.
    Timing formatted;
    for (int run = 0; run < RunCount; ++run) {
        RowTexts t;
        formatted.start();
        grid.SetRedraw(false);
        writeRows(grid, names, run, [&](int r) -> const RowTexts& { return t = rowTexts(r, run); });
        grid.SetRedraw(true);
        formatted.stop();
        QApplication::processEvents();
    }
    formatted.print("grid_refresh_formatting_100000_median",
                    "grid_refresh_formatting_100000_cpu_median");

    // Drawing left on: every change is gathered until the event loop runs.
    Timing unbatched;
    for (int run = 0; run < 5; ++run) {
        const std::vector<RowTexts> texts = makePass(run);
        unbatched.start();
        writeRows(grid, names, run,
                  [&](int r) -> const RowTexts& { return texts[std::size_t(r - 1)]; });
        QApplication::processEvents();
        unbatched.stop();
    }
    unbatched.print("grid_refresh_unbatched_100000_median",
                    "grid_refresh_unbatched_100000_cpu_median");

    // Drawing left on and the event loop run after every row, as a sampling pass that
    // yields does it.
    Timing yielding;
    for (int run = 0; run < 3; ++run) {
        const std::vector<RowTexts> texts = makePass(run);
        yielding.start();
        for (int r = 1; r <= TagCount; ++r) {
            const RowTexts& t = texts[std::size_t(r - 1)];
            grid.SetTextMatrix(r, 1, t.type);
            grid.SetTextMatrix(r, 2, t.length);
            grid.SetTextMatrix(r, 3, t.decimals);
            grid.SetTextMatrix(r, 4, t.value);
            QApplication::processEvents();
        }
        yielding.stop();
    }
    yielding.print("grid_refresh_yielding_100000_median",
                   "grid_refresh_yielding_100000_cpu_median");

    Timing filter, unfilter;
    for (int run = 0; run < 5; ++run) {
        filter.start();
        grid.SetRedraw(false);
        for (int r = 1; r <= TagCount; r += 2)
            grid.SetRowHidden(r, true);
        grid.SetRedraw(true);
        QApplication::processEvents(); // the view lays out the new rows and repaints
        filter.stop();

        unfilter.start();
        grid.SetRedraw(false);
        for (int r = 1; r <= TagCount; ++r)
            grid.SetRowHidden(r, false);
        grid.SetRedraw(true);
        QApplication::processEvents();
        unfilter.stop();
    }
    filter.print("grid_filter_100000", "grid_filter_100000_cpu");
    unfilter.print("grid_unfilter_100000", "grid_unfilter_100000_cpu");

    // The select-all box: the user toggles the heading box and the page copies it to every
    // row, drawing on.
    grid.SetCellChecked(0, 0, CellCheck::Checked);
    grid.OnCellChanged = [&grid](int row, int col) {
        if (row != 0 || col != 0)
            return;
        const CellCheck state = grid.CellChecked(0, 0);
        for (int r = 1; r <= TagCount; ++r)
            grid.SetCellChecked(r, 0, state);
    };
    Timing selectAll;
    for (int run = 0; run < RunCount; ++run) {
        selectAll.start();
        grid.ToggleCheck(0, 0);
        QApplication::processEvents();
        selectAll.stop();
    }
    selectAll.print("grid_select_all_100000", "grid_select_all_100000_cpu");

    Timing paint;
    QWidget* viewport = grid.view()->viewport();
    grid.view()->scrollTo(grid.view()->model()->index(TagCount / 2, 0));
    QApplication::processEvents();
    for (int run = 0; run < RunCount; ++run) {
        paint.start();
        viewport->repaint();
        paint.stop();
    }
    paint.print("grid_paint_visible", "grid_paint_visible_cpu");
    return 0;
}
