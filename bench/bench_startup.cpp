// Time from starting the program to its window on screen. Runs SVCorblexAppGen (beside this
// executable) 20 times on the offscreen platform with SVC_EXIT_WHEN_SHOWN=1, which makes it
// print the moment of its first paint and end, and with its settings in a temporary folder.
//
// Prints "name value unit" lines:
//   startup_to_window_median / _worst       from launching the process (before fork and exec)
//                                           to the first paint of the window: what the user
//                                           waits for, library loading included
//   startup_main_to_window_median / _worst  from the start of main() to the first paint

#include "BenchSupport.h"
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int RunCount = 20;

void Print(const char* name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", name, value, unit);
    std::fflush(stdout);
}

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Run {
    double fromLaunchMs = 0;
    double fromMainMs = 0;
};

bool RunOnce(const QString& program, const QProcessEnvironment& env, Run& run) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const long long launched = SteadyNs();
    process.start(program, {});
    if (!process.waitForFinished(30'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        std::fprintf(stderr, "bench_startup: %s did not end cleanly\n", qPrintable(program));
        process.kill();
        process.waitForFinished();
        return false;
    }
    // "shown <ms since main> <steady clock ns>"
    const QList<QByteArray> fields = process.readAllStandardOutput().trimmed().split(' ');
    if (fields.size() != 3 || fields[0] != "shown") {
        std::fprintf(stderr, "bench_startup: unexpected output from %s\n", qPrintable(program));
        return false;
    }
    run.fromMainMs = fields[1].toDouble();
    run.fromLaunchMs = double(fields[2].toLongLong() - launched) / 1e6;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/SVCorblexAppGen");

    // The program reads its settings at start-up; it must not see (or make) the user's.
    QTemporaryDir config;
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("SVC_EXIT_WHEN_SHOWN"), QStringLiteral("1"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());

    // One run first, so that every measured run finds the libraries in the page cache.
    Run run;
    if (!RunOnce(program, env, run))
        return 1;
    std::vector<double> fromLaunch, fromMain;
    for (int i = 0; i < RunCount; ++i) {
        if (!RunOnce(program, env, run))
            return 1;
        fromLaunch.push_back(run.fromLaunchMs);
        fromMain.push_back(run.fromMainMs);
    }
    Print("startup_to_window_median", bench::Median(fromLaunch), "ms");
    Print("startup_to_window_worst", *std::max_element(fromLaunch.begin(), fromLaunch.end()), "ms");
    Print("startup_main_to_window_median", bench::Median(fromMain), "ms");
    Print("startup_main_to_window_worst", *std::max_element(fromMain.begin(), fromMain.end()),
          "ms");
    return 0;
}
