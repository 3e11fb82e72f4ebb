// UI-thread cost of the Sampling page with the real window and its real grid, shown on the
// offscreen platform, fed by an in-process stand-in for the hub whose values move the way a
// plant's do: most analog values move a little every pass, counters climb, switches and
// states change now and then, and a few tags per pass widen (one more digit or decimal) or
// turn to text, so that both the "properties changed" and the "unchanged" paths run.
//
// Prints "name value unit" lines:
//   sampling_pass_<N>_median / _worst            wall time of one pass: SampleValues plus the
//                                                repaint that follows it (ms)
//   sampling_pass_<N>_cpu_median / _cpu_worst    the same as processor time of the UI thread
//   sampling_pass_naive_100000_cpu_median        baseline: the same passes cell by cell into a
//                                                QStandardItemModel (processor time, 11 passes)
//   sampling_input_latency_100000_median / _worst  posting to delivery of a key event (from
//                                                another thread, every 7 ms for 5 s) while
//                                                sampling 100,000 tags on the 100 ms timer
//   sampling_input_events_100000                 key events delivered during that time
//   sampling_timer_passes_100000                 passes finished during that time
//   sampling_peak_rss_100000 / _worst            VmHWM after 20 passes over 100,000 tags (MB,
//                                                median and worst of three fresh child
//                                                processes)
//   sampling_input_latency_1000000_median / _worst, sampling_input_events_1000000,
//   sampling_timer_passes_1000000                the same while sampling 1,000,000 tags on
//                                                the 1 s timer for 10 s
//   sampling_peak_rss_1000000                    VmHWM after 5 passes over 1,000,000 tags (MB,
//                                                one child process)
//   connect_to_first_sample_1000000 / _cpu       Next on the Connect page to the first paint
//                                                of the Sampling grid with its first sample,
//                                                1,000,000 tags (ms, median of three child
//                                                processes; "_cpu" is the UI thread's time)
// N is 1,000, 10,000, 100,000 (3 passes warm up, 50 are measured) and 1,000,000 (2 and 11).
// The hub's answers are built before each timed pass (or on a separate thread while the
// timer runs), so their making is never counted. "--tags N" measures the passes over N tags
// alone (for a profiler).

#include "BenchSupport.h"
#include "BenchWindow.h"
#include "component/CreateObject.h"
#include "hub/IHubReader.h"
#include "hub/Inference.h"
#include "ui/FlexGrid.h"
#include "ui/Platform.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QInputDevice>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int Passes = 50;
constexpr int WarmUpPasses = 3;
constexpr int Million = 1'000'000;

// Fewer passes where one pass is large, so that the run stays a few minutes long.
int PassesFor(int tags) {
    return tags >= Million ? 11 : Passes;
}
int WarmUpPassesFor(int tags) {
    return tags >= Million ? 2 : WarmUpPasses;
}

using bench::Print;

using bench::NowNs;

// --- The plant ------------------------------------------------------------------------

// Tag values of a process plant, one answer per pass.
class Plant {
public:
    explicit Plant(int tags) : rng_(20261205) {
        static const char* const units[] = {"Boiler", "Kiln",   "Tank",    "Reactor", "Pump",
                                            "Feeder", "Cooler", "Furnace", "Dryer",   "Mill"};
        static const char* const points[] = {
            "Inlet Temperature", "Outlet Temperature", "Pressure",       "Level",
            "Feed Water Flow",   "Motor Current",      "Valve Position", "Speed",
            "Run Status",        "Alarm High",         "Setpoint",       "Totaliser"};
        static const char* const suffix[] = {"PV", "SP", "OUT"};
        tags_.reserve(std::size_t(tags));
        for (int i = 0; i < tags; ++i) {
            Tag t;
            t.name = QStringLiteral("Area%1.%2%3.%4.%5")
                         .arg(i % 40 + 1)
                         .arg(QLatin1String(units[rng_.bounded(10)]))
                         .arg(i / 40 % 100 + 1)
                         .arg(QLatin1String(points[rng_.bounded(12)]))
                         .arg(QLatin1String(suffix[rng_.bounded(3)]));
            const int kind = rng_.bounded(100);
            t.kind = kind < 60 ? Analog : kind < 75 ? Deadband : kind < 90 ? Switch : Counter;
            t.value = rng_.generateDouble() * 1000;
            t.decimals = 1 + rng_.bounded(2);
            tags_.push_back(std::move(t));
        }
    }

    QString TagList() const {
        QString list;
        for (const Tag& t : tags_) {
            if (!list.isEmpty())
                list += u',';
            list += t.name;
        }
        return list;
    }

    // Moves the plant on by one pass and returns the "GETVALUES" answer.
    QString NextValues() {
        const int n = int(tags_.size());
        // A few tags per pass widen or turn to text.
        for (int k = 0; k < std::max(1, n / 1000); ++k) {
            Tag& t = tags_[std::size_t(rng_.bounded(n))];
            switch (rng_.bounded(3)) {
            case 0:
                t.decimals = std::min(t.decimals + 1, 6);
                break;
            case 1:
                t.value *= 10;
                break;
            default:
                t.text = QStringLiteral("Comm Fail");
            }
        }
        QString answer;
        answer.reserve(n * 40);
        for (int i = 0; i < n; ++i) {
            Tag& t = tags_[std::size_t(i)];
            Move(t);
            if (i > 0)
                answer += u'\t';
            answer += t.name;
            answer += u',';
            answer += Text(t);
        }
        return answer;
    }

private:
    enum Kind { Analog, Deadband, Switch, Counter };
    struct Tag {
        QString name;
        Kind kind = Analog;
        double value = 0;
        int decimals = 1;
        QString text; // a tag that reported a text keeps reporting one
    };

    void Move(Tag& t) {
        switch (t.kind) {
        case Analog:
            t.value += (rng_.generateDouble() - 0.5) * t.value * 0.01;
            break;
        case Deadband:
            if (rng_.bounded(10) == 0)
                t.value += (rng_.generateDouble() - 0.5) * t.value * 0.02;
            break;
        case Switch:
            if (rng_.bounded(50) == 0)
                t.value = t.value > 0 ? 0 : 1;
            break;
        case Counter:
            t.value += rng_.bounded(4);
            break;
        }
    }

    QString Text(const Tag& t) const {
        if (!t.text.isEmpty())
            return t.text;
        switch (t.kind) {
        case Switch:
            return t.value > 0 ? QStringLiteral("ON") : QStringLiteral("OFF");
        case Counter:
            return QString::number(qint64(t.value));
        default:
            return QString::number(t.value, 'f', t.decimals);
        }
    }

    QRandomGenerator rng_;
    std::vector<Tag> tags_;
};

// --- The hub stand-in -----------------------------------------------------------------

// Answers "GETTAGS" with the plant's list and "GETVALUES" with the answer prepared for the
// pass, either set by the caller beforehand or made by a producer thread ahead of time.
struct PlantHub {
    QString tags;
    QString nextValues;

    // While `producing`, answers come from the producer thread.
    std::mutex mutex;
    std::condition_variable ready;
    std::optional<QString> produced;
    bool producing = false;
    std::atomic<int> answered{0};

    QString Answer(const QString& request) {
        if (request.endsWith(QLatin1String("GETTAGS")))
            return tags;
        answered.fetch_add(1);
        std::unique_lock lock(mutex);
        if (!producing)
            return nextValues;
        ready.wait(lock, [this] { return produced.has_value(); });
        QString answer = std::move(*produced);
        produced.reset();
        ready.notify_all();
        return answer;
    }
};

class PlantHubReader : public IHubReader {
public:
    explicit PlantHubReader(PlantHub* hub) : hub_(hub) {}
    void SetSilent(bool s) override { silent_ = s; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString& request) override { return hub_->Answer(request); }

private:
    PlantHub* hub_;
    bool silent_ = false;
};

// One window on the Sampling page, sampling `tags` tags of a plant; the timer is stopped so
// that the passes run when the bench asks.
class SamplingWindow {
public:
    explicit SamplingWindow(int tags)
        : plant(tags), registration(QLatin1String(HubReaderClassName), [this] {
              return std::unique_ptr<ComponentBase>(std::make_unique<PlantHubReader>(&hub));
          }) {
        hub.tags = plant.TagList();
    }

    bool Open() {
        if (!opened.Open())
            return false;
        window->findChild<QRadioButton*>(QStringLiteral("optConnectMethod(0)"))->setChecked(true);
        window->findChild<QLineEdit*>(QStringLiteral("txtSampleRate"))
            ->setText(QStringLiteral("100"));
        hub.nextValues = plant.NextValues();
        window->findChild<QPushButton*>(QStringLiteral("cmdNext"))->click();
        Timer()->stop();
        grid = window->findChild<FlexGrid*>(QStringLiteral("SamplingGrid"));
        grid->view()->setFocus();
        paints.emplace(grid->view()->viewport());
        QApplication::processEvents();
        return window->CurrentPage() == 1 && messages.shown == 0;
    }

    QTimer* Timer() const { return window->findChild<QTimer*>(QStringLiteral("tmrSample")); }

    // Runs the event loop until the grid has painted (or nothing is left to paint).
    void PumpUntilPainted() {
        const int before = paints->paints;
        QElapsedTimer waited;
        waited.start();
        do {
            QApplication::processEvents();
        } while (paints->paints == before && waited.elapsed() < 20);
    }

    Plant plant;
    PlantHub hub;
    ScopedComponent registration; // before the window, which creates its reader at start-up
    bench::BenchWindow opened{"bench_sampling"};
    bench::CountingMessageBox& messages = opened.messages;
    std::unique_ptr<frmSVCorblexAppGen>& window = opened.window;
    FlexGrid* grid = nullptr;
    std::optional<bench::PaintCounter> paints;
};

// Median and worst of Passes passes over `tags` tags.
bool MeasurePasses(int tags) {
    SamplingWindow w(tags);
    if (!w.Open()) {
        std::fprintf(stderr, "bench_sampling: the Sampling page did not open for %d tags\n", tags);
        return false;
    }
    std::vector<double> wall, cpu;
    int unpainted = 0;
    const int warmUp = WarmUpPassesFor(tags);
    for (int pass = 0; pass < warmUp + PassesFor(tags); ++pass) {
        w.hub.nextValues = w.plant.NextValues();
        const int paintsBefore = w.paints->paints;
        QElapsedTimer timer;
        timer.start();
        const double cpu0 = bench::ThreadMs();
        w.window->SampleValues();
        w.PumpUntilPainted();
        const double cpuMs = bench::ThreadMs() - cpu0;
        const double wallMs = double(timer.nsecsElapsed()) / 1e6;
        if (pass < warmUp)
            continue;
        wall.push_back(wallMs);
        cpu.push_back(cpuMs);
        unpainted += w.paints->paints == paintsBefore;
    }
    if (w.messages.shown > 0 || w.window->CurrentPage() != 1)
        return false;
    if (unpainted > 0)
        std::fprintf(stderr, "bench_sampling: %d of %d passes at %d tags painted nothing\n",
                     unpainted, PassesFor(tags), tags);
    const QString base = QStringLiteral("sampling_pass_%1_").arg(tags);
    Print(base + QStringLiteral("median"), bench::Median(wall), "ms");
    Print(base + QStringLiteral("worst"), bench::Worst(wall), "ms");
    Print(base + QStringLiteral("cpu_median"), bench::Median(cpu), "ms");
    Print(base + QStringLiteral("cpu_worst"), bench::Worst(cpu), "ms");
    return true;
}

// Baseline: the same passes written cell by cell into a QStandardItemModel behind a plain
// QTableView, the answer split with QString::split: what a direct port of a cell grid does.
// Only the processor time of the UI thread is reported, next to the window's.
bool MeasureNaivePasses(int tags) {
    Plant plant(tags);
    QStandardItemModel model(tags, 5);
    const QStringList names = plant.TagList().split(u',');
    std::vector<TagProperties> properties(size_t(tags), TagProperties{QStringLiteral("N")});
    for (int i = 0; i < tags; ++i) {
        model.setItem(i, 0, new QStandardItem(names[i]));
        for (int c = 1; c < 5; ++c)
            model.setItem(i, c, new QStandardItem());
    }
    QTableView view;
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    bench::PaintCounter paints(view.viewport());
    QApplication::processEvents();
    const QColor changedColour(0, 255, 255);
    const QColor unchangedColour(255, 255, 255);
    std::vector<double> cpu;
    for (int pass = 0; pass < WarmUpPasses + 11; ++pass) {
        const QString answer = plant.NextValues();
        const double cpu0 = bench::ThreadMs();
        const QStringList entries = answer.split(u'\t');
        if (entries.size() != tags)
            return false;
        for (int i = 0; i < tags; ++i) {
            const QString& entry = entries[i];
            const qsizetype comma = entry.indexOf(u',');
            const QString value = comma < 0 ? QString() : entry.mid(comma + 1);
            TagProperties& now = properties[size_t(i)];
            const TagProperties next = InferProperties(now, value);
            const bool changed = PropertiesChanged(now, next);
            now = next;
            model.item(i, 1)->setText(now.fieldType);
            model.item(i, 2)->setText(QString::number(now.length));
            model.item(i, 3)->setText(QString::number(now.decimals));
            for (int c = 1; c <= 3; ++c)
                model.item(i, c)->setBackground(changed ? changedColour : unchangedColour);
            model.item(i, 4)->setText(value);
        }
        const int before = paints.paints;
        QElapsedTimer waited;
        waited.start();
        do {
            QApplication::processEvents();
        } while (paints.paints == before && waited.elapsed() < 20);
        if (pass >= WarmUpPasses)
            cpu.push_back(bench::ThreadMs() - cpu0);
    }
    Print(QStringLiteral("sampling_pass_naive_%1_cpu_median").arg(tags), bench::Median(cpu), "ms");
    return true;
}

using bench::LatencyRecorder;

// Key presses posted from another thread every 7 ms for `seconds` while the timer samples
// `tags` tags every `rateMs`; the delay from posting to delivery is what the user feels.
bool MeasureInputLatency(int tags, int rateMs, int seconds) {
    SamplingWindow w(tags);
    if (!w.Open())
        return false;
    for (int pass = 0; pass < WarmUpPassesFor(tags); ++pass) {
        w.hub.nextValues = w.plant.NextValues();
        w.window->SampleValues();
    }

    // The answers of the timed passes are made ahead on a thread of their own.
    std::atomic<bool> stop{false};
    {
        std::lock_guard lock(w.hub.mutex);
        w.hub.producing = true;
    }
    std::thread producer([&] {
        while (!stop.load()) {
            QString next = w.plant.NextValues();
            std::unique_lock lock(w.hub.mutex);
            w.hub.ready.wait(lock, [&] { return !w.hub.produced.has_value() || stop.load(); });
            if (stop.load())
                break;
            w.hub.produced = std::move(next);
            w.hub.ready.notify_all();
        }
    });
    // The first answer is ready before the timer starts.
    {
        std::unique_lock lock(w.hub.mutex);
        w.hub.ready.wait(lock, [&] { return w.hub.produced.has_value(); });
    }

    QWidget* target = w.grid->view();
    LatencyRecorder recorder;
    target->installEventFilter(&recorder);
    const int answeredBefore = w.hub.answered.load();

    w.Timer()->start(rateMs);
    bench::TypeWhileRunning(target, seconds * 1000);
    w.Timer()->stop();
    QApplication::processEvents(); // the last posted keys
    const int passes = w.hub.answered.load() - answeredBefore;

    {
        std::lock_guard lock(w.hub.mutex);
        stop = true;
        w.hub.ready.notify_all();
    }
    producer.join();
    {
        std::lock_guard lock(w.hub.mutex);
        w.hub.producing = false;
    }

    if (recorder.latencies.empty() || w.messages.shown > 0)
        return false;
    Print(QStringLiteral("sampling_input_latency_%1_median").arg(tags),
          bench::Median(recorder.latencies), "ms");
    Print(QStringLiteral("sampling_input_latency_%1_worst").arg(tags),
          bench::Worst(recorder.latencies), "ms");
    Print(QStringLiteral("sampling_input_events_%1").arg(tags), double(recorder.latencies.size()),
          "events");
    Print(QStringLiteral("sampling_timer_passes_%1").arg(tags), passes,
          qPrintable(QStringLiteral("passes/%1s").arg(seconds)));
    return true;
}

// In a child process of its own, so that the peak belongs to these tags alone.
int PeakRssChild(int tags) {
    SamplingWindow w(tags);
    if (!w.Open())
        return 1;
    for (int pass = 0; pass < (tags >= Million ? 5 : 20); ++pass) {
        w.hub.nextValues = w.plant.NextValues();
        w.window->SampleValues();
        w.PumpUntilPainted();
    }
    w.hub.nextValues.clear();
    std::printf("%.1f\n", bench::ProcStatusMb("VmHWM"));
    return 0;
}

// Runs this program as a child with `args` `runs` times and returns each run's output lines
// (empty when a run failed).
std::vector<QByteArray> RunChildren(const QString& self, const QStringList& args, int runs) {
    std::vector<QByteArray> outputs;
    for (int run = 0; run < runs; ++run) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, args);
        if (!child.waitForFinished(600'000) || child.exitCode() != 0)
            return {};
        outputs.push_back(child.readAllStandardOutput().trimmed());
    }
    return outputs;
}

// The peak varies by tens of megabytes from run to run with the order in which the heap is
// reused, so the child runs several times and the median is reported.
bool MeasurePeakRss(const QString& self, int tags, int runs) {
    std::vector<double> peaks;
    for (const QByteArray& out :
         RunChildren(self, {QStringLiteral("--peak-rss-child"), QString::number(tags)}, runs))
        peaks.push_back(out.toDouble());
    if (peaks.empty())
        return false;
    Print(QStringLiteral("sampling_peak_rss_%1").arg(tags), bench::Median(peaks), "MB");
    if (runs > 1)
        Print(QStringLiteral("sampling_peak_rss_%1_worst").arg(tags), bench::Worst(peaks), "MB");
    return bench::Median(peaks) > 0;
}

// In a child process of its own: Next on the Connect page until the Sampling grid has
// painted the first sample. The hub's answers are ready beforehand. Prints wall and
// processor milliseconds.
int ConnectChild(int tags) {
    SamplingWindow w(tags);
    if (!w.window->Form_Load())
        return 1;
    w.window->show();
    QApplication::processEvents();
    w.window->findChild<QRadioButton*>(QStringLiteral("optConnectMethod(0)"))->setChecked(true);
    w.window->findChild<QLineEdit*>(QStringLiteral("txtSampleRate"))
        ->setText(QStringLiteral("1000"));
    w.hub.nextValues = w.plant.NextValues();
    w.grid = w.window->findChild<FlexGrid*>(QStringLiteral("SamplingGrid"));
    w.paints.emplace(w.grid->view()->viewport());
    auto* next = w.window->findChild<QPushButton*>(QStringLiteral("cmdNext"));
    QElapsedTimer timer;
    timer.start();
    const double cpu0 = bench::ThreadMs();
    next->click();
    // The page's first sample runs within the click; the repaint follows in the event loop.
    QElapsedTimer waited;
    waited.start();
    while (w.paints->paints == 0 && waited.elapsed() < 60'000)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    const double cpuMs = bench::ThreadMs() - cpu0;
    const double wallMs = double(timer.nsecsElapsed()) / 1e6;
    w.Timer()->stop();
    if (w.paints->paints == 0 || w.window->CurrentPage() != 1 || w.messages.shown > 0)
        return 1;
    std::printf("%.3f %.3f\n", wallMs, cpuMs);
    return 0;
}

bool MeasureConnect(const QString& self, int tags) {
    std::vector<double> wall, cpu;
    for (const QByteArray& out :
         RunChildren(self, {QStringLiteral("--connect-child"), QString::number(tags)}, 3)) {
        const QList<QByteArray> parts = out.split(' ');
        wall.push_back(parts.value(0).toDouble());
        cpu.push_back(parts.value(1).toDouble());
    }
    if (wall.empty())
        return false;
    Print(QStringLiteral("connect_to_first_sample_%1").arg(tags), bench::Median(wall), "ms");
    Print(QStringLiteral("connect_to_first_sample_%1_cpu").arg(tags), bench::Median(cpu), "ms");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const bench::IsolatedSettings settings;

    const QStringList args = app.arguments();
    const auto option = [&args](const char* name) -> std::optional<int> {
        const qsizetype i = args.indexOf(QLatin1String(name));
        if (i > 0 && i + 1 < args.size())
            return args.at(i + 1).toInt();
        return std::nullopt;
    };
    if (const auto tags = option("--peak-rss-child"))
        return PeakRssChild(*tags);
    if (const auto tags = option("--connect-child"))
        return ConnectChild(*tags);
    // "--tags N" measures the passes over N tags alone (for a profiler), "--naive N" the
    // baseline's.
    if (const auto tags = option("--tags"))
        return MeasurePasses(*tags) ? 0 : 1;
    if (const auto tags = option("--naive"))
        return MeasureNaivePasses(*tags) ? 0 : 1;

    const QString self = QCoreApplication::applicationFilePath();
    bool ok = true;
    for (int tags : {1'000, 10'000, 100'000, Million})
        ok = MeasurePasses(tags) && ok;
    ok = MeasureNaivePasses(100'000) && ok;
    ok = MeasureInputLatency(100'000, 100, 5) && ok;
    ok = MeasureInputLatency(Million, 1000, 10) && ok;
    ok = MeasurePeakRss(self, 100'000, 3) && ok;
    ok = MeasurePeakRss(self, Million, 1) && ok;
    ok = MeasureConnect(self, Million) && ok;
    if (!ok)
        std::fprintf(stderr, "bench_sampling: a measurement failed\n");
    return ok ? 0 : 1;
}
