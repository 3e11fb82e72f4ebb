// How well the window keeps the user in control while it waits for a hub, with the real
// window and the real hub reader.
//
// Prints "name value unit" lines:
//   close_while_hub_stalls_gettags_median / _worst   from the window's close command, given
//                                                    while the tag-list fetch waits for a hub
//                                                    that never answers, to the end of the
//                                                    event loop and of the window (ms, 10 runs)
//   close_while_hub_stalls_sample_median / _worst    the same while a sample waits
//   next_while_hub_stalls_250ms_median / _worst      from a click on Next, while the hub takes
//                                                    the tag-list request and never answers
//                                                    and the reader gives up after 250 ms, to
//                                                    the click's return (ms, 10 runs)
//   hub_roundtrip_input_latency_100000_median / _worst  posting to delivery of a key event
//                                                    (from another thread, every 7 ms for 5 s)
//                                                    while the window samples 100,000 tags of
//                                                    the demo hub every 100 ms: the GETVALUES
//                                                    round trip through the local endpoint and
//                                                    the pass over its answer (ms)
//   hub_roundtrip_passes_100000                      samples finished during those 5 s
//
// The stalling hub runs in this process (it only has to take connections); the 100,000-tag
// hub is the demo hub executable beside this one.

#include "BenchSupport.h"
#include "BenchWindow.h"
#include "app/frmSVCorblexAppGen.h"
#include "component/CreateObject.h"
#include "hub/Framing.h"
#include "hub/HubReader.h"
#include "ui/FlexGrid.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QInputDevice>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// The Connect page filled in as a user would: the remote hub on `port` of 127.0.0.1, 100 ms.
void FillConnectPage(frmSVCorblexAppGen& window, quint16 port) {
    window.findChild<QRadioButton*>(QStringLiteral("optConnectMethod(1)"))->setChecked(true);
    window.findChild<QLineEdit*>(QStringLiteral("txtTCPaddress"))
        ->setText(QStringLiteral("127.0.0.1"));
    window.findChild<QLineEdit*>(QStringLiteral("txtTCPport"))->setText(QString::number(port));
    window.findChild<QLineEdit*>(QStringLiteral("txtSampleRate"))->setText(QStringLiteral("100"));
}

using bench::Print;

using bench::NowNs;

// A hub that answers "GETTAGS" with three tags and the first "GETVALUES" with their values
// when told to, and otherwise takes requests and never answers.
class StallingHub : public QObject {
public:
    bool Listen() {
        // The Connect page takes ports 1000 to 32000 only.
        for (int attempt = 0; attempt < 50; ++attempt)
            if (server_.listen(QHostAddress::LocalHost,
                               quint16(QRandomGenerator::global()->bounded(20000, 32000))))
                break;
        if (!server_.isListening())
            return false;
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    while (socket->canReadLine()) {
                        const QByteArray line = socket->readLine().trimmed();
                        if (!answerFirst)
                            continue;
                        if (line == "GETTAGS") {
                            socket->write(hubwire::EncodeAnswer("A,B,C"));
                        } else if (line == "GETVALUES" && valuesLeft > 0) {
                            --valuesLeft;
                            socket->write(hubwire::EncodeAnswer("A,1\tB,2\tC,3"));
                        }
                    }
                });
            }
        });
        return true;
    }
    quint16 Port() const { return server_.serverPort(); }

    bool answerFirst = false; // answer the tag list and one sample, then stall
    int valuesLeft = 0;

private:
    QTcpServer server_;
};

// One window, closed by its close command once a request has waited for `waitMs`; returns
// the time from the close command to the end of the event loop and of the window, or -1.
double CloseWhileWaiting(bool duringSample) {
    StallingHub hub;
    if (!hub.Listen())
        return -1;
    hub.answerFirst = duringSample;
    hub.valuesLeft = duringSample ? 1 : 0;

    SVComSrvClass* reader = nullptr;
    ScopedComponent registration(QLatin1String(HubReaderClassName), [&reader] {
        auto made = std::make_unique<SVComSrvClass>();
        reader = made.get();
        return std::unique_ptr<ComponentBase>(std::move(made));
    });
    bench::CountingMessageBox messages("bench_responsive");
    PlatformServices services;
    services.messageBox = &messages;
    auto* window = new frmSVCorblexAppGen(services);
    if (!window->Form_Load())
        return -1;
    QObject::connect(window, &frmSVCorblexAppGen::Unloaded, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window->show();
    FillConnectPage(*window, hub.Port());

    QTimer::singleShot(0, window, [window] {
        window->findChild<QPushButton*>(QStringLiteral("cmdNext"))->click();
    });
    // Closes once a request (the fetch, or a sample after the first) has waited 100 ms.
    qint64 closedAt = 0;
    QElapsedTimer waiting;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const bool waitingNow =
            reader && reader->Busy() && (!duringSample || window->SampleCount() >= 2);
        if (!waitingNow) {
            waiting.invalidate();
            return;
        }
        if (!waiting.isValid())
            waiting.start();
        if (waiting.elapsed() < 100 || closedAt != 0)
            return;
        watch.stop();
        closedAt = NowNs();
        window->close();
    });
    watch.start(5);
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, qApp, &QCoreApplication::quit);
    giveUp.start(30'000);
    QApplication::exec();
    delete window;
    const qint64 ended = NowNs();
    if (closedAt == 0 || messages.shown > 0)
        return -1;
    return double(ended - closedAt) / 1e6;
}

// Next on the Connect page against a hub that takes the request and never answers, with the
// hub reader's time-out shortened to StalledNextTimeoutMs: from the click to its return, when
// the wizard has given up and shown its message (ms).
constexpr int StalledNextTimeoutMs = 250;

class QuietMessageBox : public IMessageBox {
public:
    void Show(MessageIcon, const QString&, const QString&) override { ++shown; }
    int shown = 0;
};

double NextWhileStalled() {
    StallingHub hub;
    if (!hub.Listen())
        return -1;
    ScopedComponent registration(QLatin1String(HubReaderClassName), [] {
        auto made = std::make_unique<SVComSrvClass>();
        made->SetTimeoutMs(StalledNextTimeoutMs);
        return std::unique_ptr<ComponentBase>(std::move(made));
    });
    QuietMessageBox messages;
    PlatformServices services;
    services.messageBox = &messages;
    auto window = std::make_unique<frmSVCorblexAppGen>(services);
    if (!window->Form_Load())
        return -1;
    window->show();
    FillConnectPage(*window, hub.Port());
    const qint64 clicked = NowNs();
    window->findChild<QPushButton*>(QStringLiteral("cmdNext"))->click();
    const qint64 returned = NowNs();
    if (window->CurrentPage() != 0 || messages.shown != 1)
        return -1;
    return double(returned - clicked) / 1e6;
}

bool MeasureNextWhileStalled() {
    std::vector<double> times;
    for (int run = 0; run < 10; ++run) {
        const double ms = NextWhileStalled();
        if (ms < 0) {
            std::fprintf(stderr, "bench_responsive: the stalled Next did not go as planned\n");
            return false;
        }
        times.push_back(ms);
    }
    const QString base = QStringLiteral("next_while_hub_stalls_%1ms_").arg(StalledNextTimeoutMs);
    Print(base + QStringLiteral("median"), bench::Median(times), "ms");
    Print(base + QStringLiteral("worst"), bench::Worst(times), "ms");
    return true;
}

bool MeasureClose(bool duringSample) {
    std::vector<double> times;
    for (int run = 0; run < 10; ++run) {
        const double ms = CloseWhileWaiting(duringSample);
        if (ms < 0) {
            std::fprintf(stderr, "bench_responsive: the close run did not go as planned\n");
            return false;
        }
        times.push_back(ms);
    }
    const QString base =
        QStringLiteral("close_while_hub_stalls_%1_")
            .arg(duringSample ? QStringLiteral("sample") : QStringLiteral("gettags"));
    Print(base + QStringLiteral("median"), bench::Median(times), "ms");
    Print(base + QStringLiteral("worst"), bench::Worst(times), "ms");
    return true;
}

using bench::LatencyRecorder;

bool MeasureRoundTripLatency() {
    constexpr int TagCount = 100'000;
    const QString name = QStringLiteral("svc-bench-%1").arg(QCoreApplication::applicationPid());
    QProcess hubProcess;
    hubProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    hubProcess.start(QCoreApplication::applicationDirPath() + QStringLiteral("/svcorblex-hub"),
                     {QStringLiteral("--synthetic"), QString::number(TagCount),
                      QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--name"), name,
                      QStringLiteral("--quiet")});
    if (!hubProcess.waitForReadyRead(30'000)) {
        std::fprintf(stderr, "bench_responsive: the demo hub did not start\n");
        return false;
    }
    const auto stopHub = [&hubProcess] {
        hubProcess.terminate();
        if (!hubProcess.waitForFinished(10'000))
            hubProcess.kill();
        hubProcess.waitForFinished();
    };

    ScopedComponent registration(QLatin1String(HubReaderClassName), [&name] {
        return std::unique_ptr<ComponentBase>(std::make_unique<SVComSrvClass>(name));
    });
    bench::BenchWindow opened("bench_responsive");
    if (!opened.Open()) {
        stopHub();
        return false;
    }
    frmSVCorblexAppGen& window = *opened.window;
    const bench::CountingMessageBox& messages = opened.messages;
    window.findChild<QRadioButton*>(QStringLiteral("optConnectMethod(0)"))->setChecked(true);
    window.findChild<QLineEdit*>(QStringLiteral("txtSampleRate"))->setText(QStringLiteral("100"));
    window.findChild<QPushButton*>(QStringLiteral("cmdNext"))->click();
    if (window.CurrentPage() != 1 || window.State().tags->Count() != TagCount ||
        messages.shown > 0) {
        std::fprintf(stderr, "bench_responsive: the Sampling page did not open\n");
        stopHub();
        return false;
    }
    QWidget* target = window.findChild<FlexGrid*>(QStringLiteral("SamplingGrid"))->view();
    target->setFocus();
    LatencyRecorder recorder;
    target->installEventFilter(&recorder);

    // A few passes warm up first.
    QElapsedTimer warm;
    warm.start();
    while (window.SampleCount() < 4 && warm.elapsed() < 30'000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    recorder.latencies.clear();
    const qint32 samplesBefore = window.SampleCount();

    bench::TypeWhileRunning(target, 5000);
    QApplication::processEvents();
    const qint32 passes = window.SampleCount() - samplesBefore;
    window.close();
    stopHub();

    if (messages.shown > 0 || recorder.latencies.empty())
        return false;
    Print(QStringLiteral("hub_roundtrip_input_latency_100000_median"),
          bench::Median(recorder.latencies), "ms");
    Print(QStringLiteral("hub_roundtrip_input_latency_100000_worst"),
          bench::Worst(recorder.latencies), "ms");
    Print(QStringLiteral("hub_roundtrip_passes_100000"), passes, "passes");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    bench::IsolatedSettings settings;
    bool ok = MeasureClose(false);
    ok = MeasureClose(true) && ok;
    ok = MeasureNextWhileStalled() && ok;
    ok = MeasureRoundTripLatency() && ok;
    return ok ? 0 : 1;
}
