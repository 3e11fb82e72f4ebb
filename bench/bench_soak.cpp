// Long run: the wizard samples 10,000 tags on its real timer at 100 ms for a given time
// (default 600 s) against an in-process hub whose values keep moving. Prints the memory at
// the start and the end, its growth, and the worst and median pass time.
//
//   bench_soak [seconds] [tags]
//
// A pass is timed from the hub's answer to the first return to the event loop after it,
// which is the sample's own work plus the grid's refresh.

#include "BenchSupport.h"
#include "BenchWindow.h"
#include "component/CreateObject.h"
#include "hub/IHubReader.h"
#include "ui/Platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Soak {
    int tags = 10000;
    QStringList names;
    quint64 pass = 0;
    QElapsedTimer sinceAnswer;
    bool timing = false;
    std::vector<double> passMs;
};
Soak* soak = nullptr;

// Values drift like a plant: numbers move every pass, now and then a state or a wider
// number appears, so both the changed and the unchanged paths run.
class MovingHub : public IHubReader {
public:
    void SetSilent(bool) override {}
    bool Silent() const override { return true; }
    QString ReadInputFile(const QString& request) override {
        if (request.endsWith(QLatin1String("GETTAGS")))
            return soak->names.join(QLatin1Char(','));
        const quint64 p = ++soak->pass;
        QString answer;
        answer.reserve(soak->tags * 24);
        for (quint64 i = 0; i < quint64(soak->tags); ++i) {
            if (i)
                answer += QLatin1Char('\t');
            answer += soak->names.at(qsizetype(i));
            answer += QLatin1Char(',');
            if ((i + p) % 997 == 0)
                answer += QStringLiteral("RUNNING");
            else
                answer += QString::number(double((i * 37 + p * 11) % 100000) / 100.0, 'f', 2);
        }
        soak->sinceAnswer.start();
        soak->timing = true;
        QTimer::singleShot(0, [] {
            if (soak->timing) {
                soak->passMs.push_back(double(soak->sinceAnswer.nsecsElapsed()) / 1e6);
                soak->timing = false;
            }
        });
        return answer;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 600;
    Soak state;
    state.tags = argc > 2 ? std::max(1, atoi(argv[2])) : 10000;
    soak = &state;
    for (int i = 0; i < state.tags; ++i)
        state.names << QStringLiteral("Area%1.Flow %2").arg(i % 40).arg(i);

    const bench::IsolatedSettings settings;
    ScopedComponent hub(QLatin1String(HubReaderClassName),
                        [] { return std::make_unique<MovingHub>(); });
    bench::BenchWindow opened("bench_soak");
    if (!opened.Open())
        return 1;
    frmSVCorblexAppGen& window = *opened.window;
    window.findChild<QLineEdit*>(QStringLiteral("txtSampleRate"))->setText(QStringLiteral("100"));
    window.findChild<QPushButton*>(QStringLiteral("cmdNext"))->click();
    if (window.CurrentPage() != 1)
        return 1;

    // Memory at the start is read once the first passes have filled every cache.
    double startMb = 0;
    QTimer::singleShot(10000, [&] { startMb = bench::ProcStatusMb("VmRSS"); });
    // The course of the memory, one line a minute on standard error, tells a plateau from
    // steady growth.
    QTimer minutes;
    int minute = 0;
    QObject::connect(&minutes, &QTimer::timeout, [&] {
        std::fprintf(stderr, "minute %d: %.1f MB\n", ++minute, bench::ProcStatusMb("VmRSS"));
    });
    minutes.start(60000);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double endMb = bench::ProcStatusMb("VmRSS");

    std::vector<double> sorted = state.passMs;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    const double worst = sorted.empty() ? 0 : sorted.back();
    const QString tag = QString::number(state.tags);
    std::printf("soak_%s_passes %zu count\n", qPrintable(tag), sorted.size());
    std::printf("soak_%s_rss_start %.1f MB\n", qPrintable(tag), startMb);
    std::printf("soak_%s_rss_end %.1f MB\n", qPrintable(tag), endMb);
    std::printf("soak_%s_rss_growth %.2f %%\n", qPrintable(tag),
                startMb > 0 ? 100.0 * (endMb - startMb) / startMb : 0.0);
    std::printf("soak_%s_pass_median %.2f ms\n", qPrintable(tag), median);
    std::printf("soak_%s_pass_worst %.2f ms\n", qPrintable(tag), worst);
    return 0;
}
