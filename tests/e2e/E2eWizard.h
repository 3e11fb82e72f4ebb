#pragma once
// The real wizard window for end-to-end tests: only the message box (recorded instead of
// shown) and the save dialog (answered by the test) are replaced. The busy pointer, the tick
// counter, the event pump, the sampling timer and every component (the hub reader above all)
// are the program's own. The test drives the window through its controls, found by their
// object names, with mouse clicks and key strokes.

#include "hub/HubReader.h"
#include "support/HubProcess.h"
#include "support/WizardFixture.h"

#include <QGuiApplication>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTimer>

// Starts the demo hub on a free port that the Connect page accepts (1000 to 32000; the
// system's ephemeral ports lie above that range), chosen at random and tried until one is
// free.
inline bool StartHubForWizard(HubProcess& hub, QStringList arguments) {
    arguments << QStringLiteral("--quiet");
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto port = quint16(QRandomGenerator::global()->bounded(20000, 32000));
        if (hub.Start(arguments, port))
            return true;
    }
    return false;
}

// Starts the hub again on the port and local name it had, with other arguments.
inline bool RestartHub(HubProcess& hub, QStringList arguments) {
    const quint16 port = hub.port();
    const QString name = hub.name();
    hub.Stop();
    arguments << QStringLiteral("--quiet");
    return hub.Start(arguments, port, name);
}

// Writes a tag file of three short tags for `hub`, so that every answer is a few dozen bytes,
// and returns its path.
inline QString WriteSmallTags(HubProcess& hub) {
    return hub.WriteTags("Flow\tnumber\tbase=5 amplitude=1 decimals=1\n"
                         "Pump\tstate\tstates=ON|OFF period=1\n"
                         "Note\ttext\tok\n");
}

// Makes the wizard's real hub reader give up after timeoutMs instead of its 5 s, for as long
// as it lives: a short time-out spares tests of a hub that never answers the full wait, a long
// one makes a request that is not given up when it should be show as a test out of time.
class ReaderTimeout {
public:
    explicit ReaderTimeout(int timeoutMs)
        : registration_(QLatin1String(HubReaderClassName), [this, timeoutMs] {
              auto made = std::make_unique<SVComSrvClass>();
              made->SetTimeoutMs(timeoutMs);
              reader = made.get();
              return std::unique_ptr<ComponentBase>(std::move(made));
          }) {}

    SVComSrvClass* reader = nullptr; // the last one made

private:
    ScopedComponent registration_;
};

// The row of the grid whose column `col` holds `text`, or -1.
inline int RowOf(const FlexGrid* grid, int col, const QString& text) {
    for (int r = 1; r < grid->Rows(); ++r)
        if (grid->TextMatrix(r, col) == text)
            return r;
    return -1;
}

class E2eWizard : public WindowControls {
public:
    E2eWizard() {
        PlatformServices services;
        services.messageBox = &messages;
        services.saveDialog = &saveDialog;
        window = std::make_unique<frmSVCorblexAppGen>(services);
    }
    ~E2eWizard() {
        if (window && window->isVisible())
            window->close();
        window.reset(); // before the services it uses
    }

    bool Start() {
        if (!window->Form_Load())
            return false;
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }

    // Clicks a button with the mouse. A click that asks the hub returns once the answer is in
    // or the request has been given up; how long that takes is measured by bench_responsive.
    void Click(const char* name) { QTest::mouseClick(Button(name), Qt::LeftButton); }

    // Replaces the text of a box the way a user does: select all, delete, type.
    static void Type(QLineEdit* box, const QString& text) {
        box->setFocus();
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Backspace);
        QTest::keyClicks(box, text);
    }

    // Fills the Connect page for a remote hub on this machine: clicks "Connect Remote via
    // TCP" and types the address, the port and the sample rate.
    void FillConnectPage(quint16 port, int rateMs) {
        auto* remote = Find<QRadioButton>("optConnectMethod(1)");
        // The option's indicator sits at its left edge.
        QTest::mouseClick(remote, Qt::LeftButton, {}, QPoint(8, remote->height() / 2));
        Type(Box("txtTCPaddress"), QStringLiteral("127.0.0.1"));
        Type(Box("txtTCPport"), QString::number(port));
        Type(Box("txtSampleRate"), QString::number(rateMs));
    }

    // The number of samples the heading of the Sampling grid's value column reports after a
    // finished sample; -1 while it shows the short form.
    int SamplesReported() const {
        static const QRegularExpression heading(
            QStringLiteral("^Sample Value #(\\d+), No property changes for (\\d+) secs$"));
        const auto m = heading.match(Grid("SamplingGrid")->TextMatrix(0, 4));
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    }

    // Makes every message box keep the event loop running, as a real modal box does while
    // the user reads it: sockets are served meanwhile and, while sampling runs, the box stays
    // up until the next sampling tick has fired, the timer has been stopped, or a probe on the
    // sampling period has fired twice (a box shown from within a tick sees no further tick
    // until it closes).
    void KeepEventsRunningDuringMessages() {
        messages.onShow = [this](const ShownMessage&) {
            QTimer* timer = Timer();
            if (!timer->isActive()) {
                QCoreApplication::processEvents();
                return;
            }
            QSignalSpy tick(timer, &QTimer::timeout);
            QTimer probe;
            probe.setInterval(timer->interval());
            QSignalSpy probed(&probe, &QTimer::timeout);
            probe.start();
            const bool wentRound = QTest::qWaitFor(
                [&] { return !tick.isEmpty() || !timer->isActive() || probed.size() >= 2; }, 10000);
            QVERIFY2(wentRound, "no timer fired while a message was shown");
        };
    }

    // Lets `periods` periods of the sampling timer go by with the event loop running: returns
    // once a probe timer of the same period, started now, has fired that often. A sampling
    // timer still running, or armed again, would have fired by then. False when the probe
    // did not fire in time.
    bool LetSamplingPeriodsPass(int periods) {
        QTimer probe;
        probe.setInterval(Timer()->interval());
        QSignalSpy fired(&probe, &QTimer::timeout);
        probe.start();
        return QTest::qWaitFor([&] { return fired.size() >= periods; }, 10000);
    }

    static bool BusyPointerShown() { return QGuiApplication::overrideCursor() != nullptr; }

    TemporarySettings settings; // before the window: it reads the settings at start-up
    RecordingMessageBox messages;
    FakeSaveDialog saveDialog;
};
