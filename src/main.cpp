#include "app/frmSVCorblexAppGen.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstdio>

namespace {

// With SVC_EXIT_WHEN_SHOWN=1 the program ends as soon as its window has first been painted,
// after printing one line: "shown", the milliseconds since main() began, and the steady
// clock's reading at that moment in nanoseconds (the start-up benchmark compares it with
// the time it launched the program, which also counts loading the libraries).
class ExitWhenShown : public QObject {
public:
    explicit ExitWhenShown(const QElapsedTimer& sinceMain) : sinceMain_(sinceMain) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType()) {
            seen_ = true;
            // Runs once the paint that is starting now has reached the screen.
            QTimer::singleShot(0, this, [this] {
                const auto now = std::chrono::steady_clock::now().time_since_epoch();
                std::printf("shown %.3f %lld\n", double(sinceMain_.nsecsElapsed()) / 1e6,
                            static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }

private:
    const QElapsedTimer& sinceMain_;
    bool seen_ = false;
};

} // namespace

int main(int argc, char* argv[]) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    QApplication app(argc, argv);
    ExitWhenShown exitWhenShown(sinceMain);
    if (qEnvironmentVariableIntValue("SVC_EXIT_WHEN_SHOWN") == 1)
        app.installEventFilter(&exitWhenShown);
    return RunWizard();
}
