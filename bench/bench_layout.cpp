// The Select Tags and Layout pages with the real window and grids on the offscreen platform:
// entering Select Tags with 100,000 tags, typing into the filter and deleting again, entering
// the Layout page with 2,000 and with 100,000 selected tags and changing the heading-lines
// entry. Every figure is the wall time from the action to the end of the repaint it causes;
// the same name with "_cpu" added is the UI thread's processor time for it, which a busy
// machine disturbs less. (The formatter alone is measured by bench_logic; here it runs
// through the window.)
//
// Prints "name value unit" lines, for N = 100,000 and then 1,000,000 tags:
//   select_tags_enter_N                          Next from Sampling to Select Tags
//   select_tags_clear_all_N                      clearing the select-all box
//   select_tags_filter_keystroke_N_median/_worst one character typed or deleted
//   layout_enter_2000, layout_change_entry_2000_median/_worst   (N = 100,000 only)
//   layout_enter_N                               Next to Layout with every tag chosen
//   layout_format_100000_entry_<k>               the list entry k chosen (N = 100,000)
//   layout_change_entry_1000000_median/_worst    entries 1, 2, 3 and 0 chosen (N = 1,000,000)
// "--tags N" runs one size only; "--no-layout-all" leaves out the Layout page with every tag
// chosen (both for a profiler).

#include "BenchSupport.h"
#include "BenchWindow.h"
#include "component/CreateObject.h"
#include "hub/IHubReader.h"
#include "ui/FlexGrid.h"
#include "ui/Platform.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int SelectedTags = 2'000;
constexpr int Million = 1'000'000;

using bench::Print;

// Tag names as a plant names them: area, unit, measuring point, and now and then a range
// or instance number after a "." or "_", which the formatter treats specially.
QStringList TagNames(int count) {
    static const char* const units[] = {"Boiler", "Kiln",   "Tank",    "Reactor", "Pump",
                                        "Feeder", "Cooler", "Furnace", "Dryer",   "Mill"};
    static const char* const points[] = {
        "Inlet Temperature", "Outlet  Temperature", "Pressure",       "Level",
        "Feed Water Flow",   "Motor Current",       "Valve Position", "Speed",
        "Run Status",        "Alarm High",          "Setpoint",       "Steam Header Pressure"};
    QRandomGenerator rng(7);
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i) {
        QString name = QStringLiteral("Area%1 %2%3 %4")
                           .arg(i % 40 + 1)
                           .arg(QLatin1String(units[rng.bounded(10)]))
                           .arg(i / 40 % 100 + 1)
                           .arg(QLatin1String(points[rng.bounded(12)]));
        if (rng.bounded(5) == 0)
            name += QStringLiteral(".PV");
        if (rng.bounded(10) == 0)
            name += QStringLiteral("_%1").arg(rng.bounded(1, 9));
        names << name;
    }
    return names;
}

class HubAnswers : public IHubReader {
public:
    HubAnswers(const QString* tags, const QString* values) : tags_(tags), values_(values) {}
    void SetSilent(bool s) override { silent_ = s; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString& request) override {
        return request.endsWith(QLatin1String("GETTAGS")) ? *tags_ : *values_;
    }

private:
    const QString* tags_;
    const QString* values_;
    bool silent_ = false;
};

// Wall time and processor time of the UI thread for one action and the event-loop passes
// that repaint the window after it.
struct Cost {
    double wall = 0;
    double cpu = 0;
};

Cost TimeWithRepaint(bench::PaintCounter& paints, const std::function<void()>& action) {
    const int before = paints.paints;
    QElapsedTimer timer;
    timer.start();
    const double cpu0 = bench::ThreadMs();
    action();
    QElapsedTimer waited;
    waited.start();
    do {
        QApplication::processEvents();
    } while (paints.paints == before && waited.elapsed() < 20);
    return {double(timer.nsecsElapsed()) / 1e6, bench::ThreadMs() - cpu0};
}

// "name" for the wall time, "name_cpu" for the processor time.
void Print(const QString& name, const Cost& cost) {
    Print(name, cost.wall, "ms");
    Print(name + QStringLiteral("_cpu"), cost.cpu, "ms");
}

// Median and worst of several actions, wall and processor time.
void PrintSpread(const QString& name, const std::vector<Cost>& costs) {
    std::vector<double> wall, cpu;
    for (const Cost& c : costs) {
        wall.push_back(c.wall);
        cpu.push_back(c.cpu);
    }
    Print(name + QStringLiteral("_median"), bench::Median(wall), "ms");
    Print(name + QStringLiteral("_worst"), bench::Worst(wall), "ms");
    Print(name + QStringLiteral("_cpu_median"), bench::Median(cpu), "ms");
    Print(name + QStringLiteral("_cpu_worst"), bench::Worst(cpu), "ms");
}

// The whole road from Sampling to Layout over `tags` tags; false when a step failed.
bool Run(int tags, bool layoutWithAll) {
    const QStringList names = TagNames(tags);
    const QString tagList = names.join(u',');
    QString values;
    for (int i = 0; i < tags; ++i) {
        if (i > 0)
            values += u'\t';
        values += names[i] + u',' + QString::number(i * 0.37, 'f', 2);
    }
    const ScopedComponent hub(QLatin1String(HubReaderClassName), [&] {
        return std::unique_ptr<ComponentBase>(std::make_unique<HubAnswers>(&tagList, &values));
    });

    bench::BenchWindow opened("bench_layout");
    if (!opened.Open())
        return false;
    frmSVCorblexAppGen& window = *opened.window;
    const bench::CountingMessageBox& messages = opened.messages;
    const auto find = [&window](const char* name) {
        QWidget* w = window.findChild<QWidget*>(QLatin1String(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    };
    auto* next = static_cast<QPushButton*>(find("cmdNext"));
    auto* prev = static_cast<QPushButton*>(find("cmdPrev"));
    auto* filter = static_cast<QLineEdit*>(find("txtFilter"));
    auto* maxLines = static_cast<QComboBox*>(find("cboMaxLines"));
    auto* selectGrid = static_cast<FlexGrid*>(find("SelectTagsGrid"));
    auto* layoutGrid = static_cast<FlexGrid*>(find("LayoutGrid"));
    bench::PaintCounter selectPaints, layoutPaints;
    selectGrid->view()->viewport()->installEventFilter(&selectPaints);
    layoutGrid->view()->viewport()->installEventFilter(&layoutPaints);

    static_cast<QRadioButton*>(find("optConnectMethod(0)"))->setChecked(true);
    static_cast<QLineEdit*>(find("txtSampleRate"))->setText(QStringLiteral("1000"));
    next->click();
    window.findChild<QTimer*>(QStringLiteral("tmrSample"))->stop();
    QApplication::processEvents();
    if (window.CurrentPage() != 1)
        return false;

    // Select Tags with every tag.
    Print(QStringLiteral("select_tags_enter_%1").arg(tags),
          TimeWithRepaint(selectPaints, [&] { next->click(); }));
    if (window.CurrentPage() != 2)
        return false;
    // With every row chosen the filter hides nothing; a user looking for a few tags clears
    // the select-all box first, and then each keystroke really hides and shows rows.
    Print(QStringLiteral("select_tags_clear_all_%1").arg(tags),
          TimeWithRepaint(selectPaints, [&] { selectGrid->ToggleCheck(0, 0); }));
    const QString typed = QStringLiteral("area12 boiler");
    std::vector<Cost> keystrokes;
    for (qsizetype n = 1; n <= typed.size(); ++n)
        keystrokes.push_back(
            TimeWithRepaint(selectPaints, [&] { filter->setText(typed.left(n)); }));
    for (qsizetype n = typed.size() - 1; n >= 0; --n)
        keystrokes.push_back(
            TimeWithRepaint(selectPaints, [&] { filter->setText(typed.left(n)); }));
    PrintSpread(QStringLiteral("select_tags_filter_keystroke_%1").arg(tags), keystrokes);

    if (tags < Million) {
        // Layout with 2,000 chosen tags.
        for (int r = 1; r <= SelectedTags; ++r)
            selectGrid->SetCellChecked(r, 0, CellCheck::Checked);
        Print(QStringLiteral("layout_enter_%1").arg(SelectedTags),
              TimeWithRepaint(layoutPaints, [&] { next->click(); }));
        if (window.CurrentPage() != 3 || layoutGrid->Cols() != SelectedTags + 2)
            return false;
        std::vector<Cost> changes;
        for (int k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0})
            changes.push_back(TimeWithRepaint(layoutPaints, [&] { maxLines->setCurrentIndex(k); }));
        PrintSpread(QStringLiteral("layout_change_entry_%1").arg(SelectedTags), changes);
        prev->click();
        QApplication::processEvents();
    }
    if (!layoutWithAll)
        return messages.shown == 0;

    // Layout with every tag chosen, as a user who presses Next through the pages has them:
    // the formatter through the window for each entry.
    selectGrid->ToggleCheck(0, 0); // checks every row again
    Print(QStringLiteral("layout_enter_%1").arg(tags),
          TimeWithRepaint(layoutPaints, [&] { next->click(); }));
    if (window.CurrentPage() != 3 || layoutGrid->Cols() != tags + 2)
        return false;
    if (tags < Million) {
        for (int k : {1, 2, 3, 4, 5, 6, 7, 8, 9, 0})
            Print(QStringLiteral("layout_format_%1_entry_%2").arg(tags).arg(k),
                  TimeWithRepaint(layoutPaints, [&] { maxLines->setCurrentIndex(k); }));
    } else {
        std::vector<Cost> changes;
        for (int k : {1, 2, 3, 0})
            changes.push_back(TimeWithRepaint(layoutPaints, [&] { maxLines->setCurrentIndex(k); }));
        PrintSpread(QStringLiteral("layout_change_entry_%1").arg(tags), changes);
    }
    return messages.shown == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bench::IsolatedSettings settings;

    const QStringList args = app.arguments();
    const bool layoutWithAll = !args.contains(QStringLiteral("--no-layout-all"));
    if (const qsizetype i = args.indexOf(QStringLiteral("--tags")); i > 0 && i + 1 < args.size())
        return Run(args.at(i + 1).toInt(), layoutWithAll) ? 0 : 1;
    bool ok = true;
    for (int tags : {100'000, Million})
        ok = Run(tags, layoutWithAll) && ok;
    return ok ? 0 : 1;
}
