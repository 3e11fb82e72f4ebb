#pragma once
// The wizard window as the window benchmarks open it: the program's own services, except a
// message box that reports on standard error instead of waiting for a user; and key presses
// that measure how long the window takes to answer them.

#include "BenchSupport.h"
#include "app/frmSVCorblexAppGen.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace bench {

class BenchWindow {
public:
    explicit BenchWindow(const char* benchmark) : messages(benchmark) {
        PlatformServices services;
        services.messageBox = &messages;
        window = std::make_unique<frmSVCorblexAppGen>(services);
    }

    // Starts the window up and shows it; false when start-up failed.
    bool Open() {
        if (!window->Form_Load())
            return false;
        window->show();
        QApplication::processEvents();
        return true;
    }

    CountingMessageBox messages;
    std::unique_ptr<frmSVCorblexAppGen> window;
};

// A key press that carries the time it was posted.
class StampedKey : public QKeyEvent {
public:
    StampedKey(qint64 posted, const QInputDevice* keyboard)
        : QKeyEvent(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier, 0, 0, 0, QString(), false,
                    1, keyboard),
          postedNs(posted) {}
    qint64 postedNs;
};

// Records, for every StampedKey that reaches the watched widget, the time from posting to
// delivery in milliseconds, and swallows the key.
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

// Runs the event loop for `ms` while another thread posts a StampedKey to `target` every
// 7 ms, as a fast typist would; the keys still queued at the end are delivered afterwards.
inline void TypeWhileRunning(QObject* target, qint64 ms) {
    const QInputDevice* keyboard = QInputDevice::primaryKeyboard();
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
    while (running.elapsed() < ms)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    posting = false;
    poster.join();
}

} // namespace bench
