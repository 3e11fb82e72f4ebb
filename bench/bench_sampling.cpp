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
//   sampling_input_latency_100000_median / _worst  posting to delivery of a key event (from
//                                                another thread, every 7 ms for 5 s) while
//                                                sampling 100,000 tags on the 100 ms timer
//   sampling_input_events_100000                 key events delivered during that time
//   sampling_timer_passes_100000                 passes finished during that time
//   sampling_peak_rss_100000 / _worst            VmHWM after 20 passes over 100,000 tags (MB,
//                                                median and worst of three fresh child
//                                                processes)
// N is 1,000, 10,000 and 100,000; 3 passes warm up, 50 are measured. The hub's answers are
// built before each timed pass (or on a separate thread while the timer runs), so their
// making is never counted. "--tags N" measures the passes over N tags alone (for a profiler).

#include "BenchSupport.h"
#include "BenchWindow.h"
#include "component/CreateObject.h"
#include "hub/IHubReader.h"
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
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int kPasses = 50;
constexpr int kWarmUpPasses = 3;

void Print(const QString& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

qint64 NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

// Median and worst of kPasses passes over `tags` tags.
bool MeasurePasses(int tags) {
    SamplingWindow w(tags);
    if (!w.Open()) {
        std::fprintf(stderr, "bench_sampling: the Sampling page did not open for %d tags\n", tags);
        return false;
    }
    std::vector<double> wall, cpu;
    int unpainted = 0;
    for (int pass = 0; pass < kWarmUpPasses + kPasses; ++pass) {
        w.hub.nextValues = w.plant.NextValues();
        const int paintsBefore = w.paints->paints;
        QElapsedTimer timer;
        timer.start();
        const double cpu0 = bench::ThreadMs();
        w.window->SampleValues();
        w.PumpUntilPainted();
        const double cpuMs = bench::ThreadMs() - cpu0;
        const double wallMs = double(timer.nsecsElapsed()) / 1e6;
        if (pass < kWarmUpPasses)
            continue;
        wall.push_back(wallMs);
        cpu.push_back(cpuMs);
        unpainted += w.paints->paints == paintsBefore;
    }
    if (w.messages.shown > 0 || w.window->CurrentPage() != 1)
        return false;
    if (unpainted > 0)
        std::fprintf(stderr, "bench_sampling: %d of %d passes at %d tags painted nothing\n",
                     unpainted, kPasses, tags);
    const QString base = QStringLiteral("sampling_pass_%1_").arg(tags);
    Print(base + QStringLiteral("median"), bench::Median(wall), "ms");
    Print(base + QStringLiteral("worst"), bench::Worst(wall), "ms");
    Print(base + QStringLiteral("cpu_median"), bench::Median(cpu), "ms");
    Print(base + QStringLiteral("cpu_worst"), bench::Worst(cpu), "ms");
    return true;
}

// A key press that carries the time it was posted.
class StampedKey : public QKeyEvent {
public:
    StampedKey(qint64 posted, const QInputDevice* keyboard)
        : QKeyEvent(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier, 0, 0, 0, QString(), false,
                    1, keyboard),
          postedNs(posted) {}
    qint64 postedNs;
};

class LatencyRecorder : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) {
            if (const auto* key = dynamic_cast<const StampedKey*>(e)) {
                latencies.push_back(double(NowNs() - key->postedNs) / 1e6);
                return true;
            }
        }
        return false;
    }
    std::vector<double> latencies;
};

// Key presses posted from another thread every 7 ms for 5 s while the timer samples
// 100,000 tags every 100 ms; the delay from posting to delivery is what the user feels.
bool MeasureInputLatency() {
    constexpr int kTags = 100'000;
    SamplingWindow w(kTags);
    if (!w.Open())
        return false;
    for (int pass = 0; pass < kWarmUpPasses; ++pass) {
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
    const QInputDevice* keyboard = QInputDevice::primaryKeyboard();
    const int answeredBefore = w.hub.answered.load();

    w.Timer()->start(100);
    std::atomic<bool> posting{true};
    std::thread poster([&] {
        auto next = std::chrono::steady_clock::now();
        while (posting.load()) {
            next += std::chrono::milliseconds(7);
            std::this_thread::sleep_until(next);
            QCoreApplication::postEvent(target, new StampedKey(NowNs(), keyboard));
        }
    });
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    posting = false;
    poster.join();
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
    Print(QStringLiteral("sampling_input_latency_100000_median"), bench::Median(recorder.latencies),
          "ms");
    Print(QStringLiteral("sampling_input_latency_100000_worst"), bench::Worst(recorder.latencies),
          "ms");
    Print(QStringLiteral("sampling_input_events_100000"), double(recorder.latencies.size()),
          "events");
    Print(QStringLiteral("sampling_timer_passes_100000"), passes, "passes/5s");
    return true;
}

// In a child process of its own, so that the peak belongs to 100,000 tags alone.
int PeakRssChild() {
    SamplingWindow w(100'000);
    if (!w.Open())
        return 1;
    for (int pass = 0; pass < 20; ++pass) {
        w.hub.nextValues = w.plant.NextValues();
        w.window->SampleValues();
        w.PumpUntilPainted();
    }
    w.hub.nextValues.clear();
    std::printf("%.1f\n", bench::ProcStatusMb("VmHWM"));
    return 0;
}

// The peak varies by tens of megabytes from run to run with the order in which the heap is
// reused, so the child runs three times and the median is reported.
bool MeasurePeakRss(const QString& self) {
    std::vector<double> peaks;
    for (int run = 0; run < 3; ++run) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(self, {QStringLiteral("--peak-rss-child")});
        if (!child.waitForFinished(300'000) || child.exitCode() != 0)
            return false;
        peaks.push_back(child.readAllStandardOutput().trimmed().toDouble());
    }
    Print(QStringLiteral("sampling_peak_rss_100000"), bench::Median(peaks), "MB");
    Print(QStringLiteral("sampling_peak_rss_100000_worst"), bench::Worst(peaks), "MB");
    return bench::Median(peaks) > 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const bench::IsolatedSettings settings;

    if (app.arguments().contains(QStringLiteral("--peak-rss-child")))
        return PeakRssChild();

    // "--tags N" measures the passes over N tags alone (for a profiler).
    const QStringList args = app.arguments();
    if (const qsizetype i = args.indexOf(QStringLiteral("--tags")); i > 0 && i + 1 < args.size())
        return MeasurePasses(args.at(i + 1).toInt()) ? 0 : 1;

    bool ok = true;
    for (int tags : {1'000, 10'000, 100'000})
        ok = MeasurePasses(tags) && ok;
    ok = MeasureInputLatency() && ok;
    ok = MeasurePeakRss(QCoreApplication::applicationFilePath()) && ok;
    if (!ok)
        std::fprintf(stderr, "bench_sampling: a measurement failed\n");
    return ok ? 0 : 1;
}
