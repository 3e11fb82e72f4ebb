#pragma once
// Pieces the benchmarks share: printing a figure, statistics, a steady clock, the UI
// thread's processor time, the process's memory, a message box that reports instead of
// waiting, a paint counter, and settings kept in a folder of the benchmark's own.

#include "ProcessMemory.h"
#include "ui/Platform.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace bench {

// One "name value unit" line on standard output.
inline void Print(const QString& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

// Nanoseconds of the steady clock.
inline qint64 NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

inline double Worst(const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// Processor time of the calling thread in ms, so that other programs on a busy machine
// count less than in wall time.
inline double ThreadMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// A memory figure of this process ("VmRSS", "VmHWM") in MiB; -1 where it cannot be read.
inline double ProcStatusMb(const char* field) {
    return ProcessMib(QCoreApplication::applicationPid(), field);
}

// Reports a message on standard error and counts it; a benchmark never waits for a user.
class CountingMessageBox : public IMessageBox {
public:
    explicit CountingMessageBox(const char* benchmark) : benchmark_(benchmark) {}
    void Show(MessageIcon, const QString& text, const QString&) override {
        std::fprintf(stderr, "%s: message \"%s\"\n", benchmark_, qPrintable(text));
        ++shown;
    }
    int shown = 0;

private:
    const char* benchmark_;
};

// Counts the paints of the widgets it is installed on.
class PaintCounter : public QObject {
public:
    PaintCounter() = default;
    explicit PaintCounter(QObject* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
    int paints = 0;
};

// The window reads and writes its settings: they go to a temporary folder, never to the
// user's own.
struct IsolatedSettings {
    IsolatedSettings() {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }
    QTemporaryDir dir;
};

} // namespace bench
