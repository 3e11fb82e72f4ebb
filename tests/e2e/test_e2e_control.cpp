// The real window against a demo hub that is slow or stalls: the user keeps control while a
// request waits. A second click on a button whose transition is still running is dropped,
// and Close ends the window at once, leaving no request, socket or timer behind and writing
// nothing.
//
// A request waits in a local event loop, so the test acts from timers: they fire inside that
// loop, exactly when a user's click would arrive.

#include "E2eWizard.h"
#include "hub/HubReader.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTcpSocket>

namespace {

// Runs `action` from whatever event loop is running once `ready` holds; polls every 10 ms.
class WhenReady : public QObject {
public:
    WhenReady(std::function<bool()> ready, std::function<void()> action)
        : ready_(std::move(ready)), action_(std::move(action)) {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (!ready_())
                return;
            timer_.stop();
            action_();
            done = true;
        });
        timer_.start();
    }
    bool done = false;

private:
    QTimer timer_;
    std::function<bool()> ready_;
    std::function<void()> action_;
};

// Counts the paints of a widget.
class PaintCount : public QObject {
public:
    explicit PaintCount(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
    int paints = 0;
};

// Whether the reader still holds a connection to a hub.
bool HoldsSockets(const SVComSrvClass* reader) {
    return !reader->findChildren<QTcpSocket*>().isEmpty() ||
           !reader->findChildren<QLocalSocket*>().isEmpty();
}

// A time-out far beyond any wait of these tests: a request that is not given up when it should
// be shows as a test that runs out of time.
constexpr int PatientTimeoutMs = 120'000;

} // namespace

class TestE2eControl : public QObject {
    Q_OBJECT

private slots:
    void secondClickDuringTransitionIsDropped_data() {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<int>("syntheticTags"); // 0: three small tags
        QTest::newRow("Next on Connect, 3 tags") << QByteArray("cmdNext") << 0;
        QTest::newRow("Next on Connect, 20,000 tags") << QByteArray("cmdNext") << 20000;
        QTest::newRow("Previous on Select Tags") << QByteArray("cmdPrev") << 0;
    }

    // A hub that answers every request a second late; the user clicks the same button again
    // 0.3 s after the first click. The wizard moves one page only, either way to the Sampling
    // page.
    void secondClickDuringTransitionIsDropped() {
        QFETCH(QByteArray, button);
        QFETCH(int, syntheticTags);

        HubProcess hub;
        QStringList arguments{QStringLiteral("--fault"), QStringLiteral("slow")};
        if (syntheticTags > 0)
            arguments << QStringLiteral("--synthetic") << QString::number(syntheticTags);
        else
            arguments << QStringLiteral("--tags") << WriteSmallTags(hub);
        QVERIFY2(StartHubForWizard(hub, arguments), qPrintable(hub.Log()));
        E2eWizard w;
        QVERIFY(w.Start());
        w.FillConnectPage(hub.port(), 1000);
        const char* name = button.constData();
        if (button == "cmdPrev") {
            w.Click("cmdNext");
            QCOMPARE(w.window->CurrentPage(), 1);
            w.Click("cmdNext");
            QCOMPARE(w.window->CurrentPage(), 2);
        }
        const int from = w.window->CurrentPage();
        QCOMPARE(w.messages.Texts(), QStringList());

        // The second click, as the user makes it while the first is still being handled.
        PaintCount buttonPaints(w.Button(name));
        int paintsAtSecondClick = 0;
        int pageAtSecondClick = -1;
        bool buttonEnabledAtSecondClick = true;
        bool busyAtSecondClick = false;
        QTimer::singleShot(300, w.window.get(), [&] {
            pageAtSecondClick = w.window->CurrentPage();
            buttonEnabledAtSecondClick = w.Button(name)->isEnabled();
            busyAtSecondClick = E2eWizard::BusyPointerShown();
            paintsAtSecondClick = buttonPaints.paints;
            QTest::mouseClick(w.Button(name), Qt::LeftButton);
        });
        w.Click(name);
        QTRY_VERIFY_WITH_TIMEOUT(pageAtSecondClick >= 0, 10000);

        // The second click came while the first transition was still running ...
        QCOMPARE(pageAtSecondClick, from + (button == "cmdPrev" ? -1 : 0));
        QVERIFY(!buttonEnabledAtSecondClick);
        // ... after the window had drawn the button disabled ...
        QVERIFY(paintsAtSecondClick > 0);
        // ... with the busy pointer over the window while the tag list was fetched.
        QCOMPARE(busyAtSecondClick, from == 0);
        // ... and found the button disabled.
        QCOMPARE(w.window->CurrentPage(), 1);
        QCOMPARE(w.messages.Texts(), QStringList());
        QVERIFY(w.Timer()->isActive());
        QVERIFY(!E2eWizard::BusyPointerShown());
    }

    void closeWhileRequestWaits_data() {
        QTest::addColumn<bool>("duringSample");
        QTest::newRow("stalled tag-list fetch") << false;
        QTest::newRow("stalled sample") << true;
    }

    // The hub takes requests and never answers. Close while a request waits ends the window at
    // once: the request is given up, no message appears, no setting is written, the timer is
    // stopped and the reader holds no socket any more.
    void closeWhileRequestWaits() {
        QFETCH(bool, duringSample);

        HubProcess hub;
        const QString tags = WriteSmallTags(hub);
        const QStringList stall{QStringLiteral("--fault"), QStringLiteral("stall"),
                                QStringLiteral("--tags"), tags};
        QVERIFY2(StartHubForWizard(hub, duringSample ? QStringList{QStringLiteral("--tags"), tags}
                                                     : stall),
                 qPrintable(hub.Log()));
        ReaderTimeout patient(PatientTimeoutMs);
        E2eWizard w;
        QVERIFY(w.Start());
        QSignalSpy unloaded(w.window.get(), &frmSVCorblexAppGen::Unloaded);
        w.FillConnectPage(hub.port(), 100);
        if (duringSample) {
            w.Click("cmdNext");
            QCOMPARE(w.window->CurrentPage(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(w.window->SampleCount() >= 2, 10000);
            QVERIFY2(RestartHub(hub, stall), qPrintable(hub.Log()));
        }
        const auto settingsText = [&w] {
            QFile file(w.settings.FilePath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray settingsBefore = settingsText();

        // Close once a request has been waiting for a while.
        QElapsedTimer waiting;
        WhenReady closer(
            [&] {
                if (!patient.reader->Busy())
                    waiting.invalidate();
                else if (!waiting.isValid())
                    waiting.start();
                return waiting.isValid() && waiting.elapsed() >= 300;
            },
            [&] { QTest::mouseClick(w.Button("cmdClose"), Qt::LeftButton); });
        if (!duringSample)
            w.Click("cmdNext");
        QTRY_VERIFY_WITH_TIMEOUT(closer.done, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!w.window->SamplingInProgress() && !patient.reader->Busy(), 10000);

        QCOMPARE(unloaded.size(), 1);
        QVERIFY(!w.window->isVisible());
        QVERIFY(!w.Timer()->isActive());
        QCOMPARE(w.messages.Texts(), QStringList());
        QVERIFY(!E2eWizard::BusyPointerShown());
        QTRY_VERIFY_WITH_TIMEOUT(!HoldsSockets(patient.reader), 5000);
        QCOMPARE(settingsText(), settingsBefore);
        // Nothing samples any more: a probe on the sampling period fires three times, the
        // sampling timer not once.
        const qint32 samples = w.window->SampleCount();
        QSignalSpy ticks(w.Timer(), &QTimer::timeout);
        QVERIFY(w.LetSamplingPeriodsPass(3));
        QCOMPARE(ticks.size(), 0);
        QCOMPARE(w.window->SampleCount(), samples);
    }

    // Previous while a sample waits for a stalled hub, then Next on the Connect page: the new
    // tag-list fetch replaces the waiting request instead of failing beside it, and the old
    // sample, when it ends, says nothing about a changed list.
    void newFetchReplacesAWaitingSample() {
        HubProcess stalled;
        const QString tags = WriteSmallTags(stalled);
        QVERIFY2(StartHubForWizard(stalled, {QStringLiteral("--tags"), tags}),
                 qPrintable(stalled.Log()));
        ReaderTimeout patient(PatientTimeoutMs);
        E2eWizard w;
        QVERIFY(w.Start());
        w.FillConnectPage(stalled.port(), 100);
        w.Click("cmdNext");
        QCOMPARE(w.window->CurrentPage(), 1);
        QVERIFY2(RestartHub(stalled, {QStringLiteral("--fault"), QStringLiteral("stall"),
                                      QStringLiteral("--tags"), tags}),
                 qPrintable(stalled.Log()));

        HubProcess good;
        QVERIFY2(StartHubForWizard(good, {QStringLiteral("--tags"), tags}), qPrintable(good.Log()));
        bool fetched = false;
        WhenReady user([&] { return patient.reader->Busy() && w.window->SamplingInProgress(); },
                       [&] {
                           QTest::mouseClick(w.Button("cmdPrev"), Qt::LeftButton);
                           QCOMPARE(w.window->CurrentPage(), 0);
                           E2eWizard::Type(w.Box("txtTCPport"), QString::number(good.port()));
                           w.Click("cmdNext");
                           fetched = true;
                       });
        QTRY_VERIFY_WITH_TIMEOUT(fetched, 10000);
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(w.window->CurrentPage(), 1);
        QCOMPARE(w.window->State().tags->Count(), 3);
        QVERIFY(w.window->State().hubPrefix.contains(QString::number(good.port())));
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 2, 10000);
        QCOMPARE(w.messages.Texts(), QStringList());
    }
};

QTEST_MAIN(TestE2eControl)
#include "test_e2e_control.moc"
