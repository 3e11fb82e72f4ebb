// The real window against a demo hub that misbehaves on purpose. For every fault the wizard
// must say something the user can act on, never freeze longer than the hub reader's time-out,
// and work again without a restart once a well-behaved hub answers on the same port.
//
// The hub reader's time-out is shortened to ReaderTimeoutMs and the hub's fault period to
// FaultPeriodMs, so that every case runs in a fraction of the real times (5 s and 2 s).
//
// What each fault shows:
//   stall     Next on Connect waits out the time-out, then "Connection Failed!"; while
//             sampling, one sample waits it out, then "SVCorblex Tag List has changed. Please
//             start over!" and the Connect page.
//   drip      small answers trickle in well within the time-out and everything just works
//             (slowly); the built-in plant's tag list (about 700 bytes, a byte every
//             hundredth of the fault period) does not arrive in time: "Connection Failed!".
//   close     half an answer, then the connection ends: "Connection Failed!" at once, or the
//             changed-list message while sampling.
//   garbage   a header that is no length: as close.
//   oversize  a length over the reader's limit: as close.
//   mismatch  the tag list arrives, but the values leave out a tag and misname another: the
//             first sample reports the changed list and the wizard is back on Connect.
//   flap      the hub goes away every fault period and comes back one period later:
//             sampling reports the changed list when it goes; Next on Connect fails while it
//             is away and works once it is back.

#include "E2eWizard.h"

#include <QSignalSpy>

namespace {

const QString ConnectionFailed = QStringLiteral("Connection Failed!");
const QString ListChanged = QStringLiteral("SVCorblex Tag List has changed. Please start over!");
constexpr int PlantTags = 41;
constexpr int ReaderTimeoutMs = 250;
constexpr int FaultPeriodMs = 200;

// The hub's arguments with the short fault period.
QStringList WithPeriod(QStringList arguments) {
    return arguments << QStringLiteral("--fault-period") << QString::number(FaultPeriodMs);
}

} // namespace

class TestE2eFaults : public QObject {
    Q_OBJECT

private:
    ReaderTimeout timeout_{ReaderTimeoutMs};

    // Clicks a button that asks the hub and says whether the window stayed responsive: a
    // probe timer went round the event loop while the hub reader waited. A click that waited
    // with the event loop stopped (a frozen window) fails it. How long such clicks take is
    // measured by bench_responsive (next_while_hub_stalls_*).
    bool ClickStaysResponsive(E2eWizard& w, const char* name) {
        bool roundWhileWaiting = false;
        QTimer probe;
        probe.setInterval(0);
        connect(&probe, &QTimer::timeout, &probe, [&] {
            if (timeout_.reader && timeout_.reader->Busy())
                roundWhileWaiting = true;
        });
        probe.start();
        w.Click(name);
        return roundWhileWaiting;
    }

    // Leaves the wizard on the Connect page, restarts the hub without a fault on the same
    // port and checks that Next reaches the Sampling page with the plant's tags and that
    // sampling goes on without a complaint.
    void recoverAfterFault(E2eWizard& w, HubProcess& hub) {
        if (w.window->CurrentPage() == 1)
            w.Click("cmdPrev");
        QCOMPARE(w.window->CurrentPage(), 0);
        QVERIFY2(RestartHub(hub, WithPeriod({})), qPrintable(hub.Log()));
        w.messages.shown.clear();
        QVERIFY(ClickStaysResponsive(w, "cmdNext"));
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(w.window->CurrentPage(), 1);
        QCOMPARE(w.window->State().tags->Count(), PlantTags);
        QVERIFY(w.Timer()->isActive());
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 2, 10000);
        QCOMPARE(w.messages.Texts(), QStringList());
    }

    // The state after a request failed and the wizard went back to (or stayed on) Connect.
    static void verifyBackOnConnect(E2eWizard& w) {
        QCOMPARE(w.window->CurrentPage(), 0);
        QVERIFY(w.Button("cmdNext")->isEnabled());
        QVERIFY(!w.Button("cmdPrev")->isEnabled());
        QVERIFY(!w.Timer()->isActive());
        QVERIFY(!E2eWizard::BusyPointerShown());
        QVERIFY(w.window->isVisible());
    }

private slots:
    void fault_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("whileSampling");
        QTest::addColumn<bool>("smallTags");
        QTest::addColumn<QString>("message");

        QTest::newRow("stall") << "stall" << false << false << ConnectionFailed;
        QTest::newRow("drip, plant too long to arrive in time")
            << "drip" << false << false << ConnectionFailed;
        QTest::newRow("drip, small answers arrive") << "drip" << false << true << QString();
        QTest::newRow("close mid-answer") << "close" << false << false << ConnectionFailed;
        QTest::newRow("garbage header") << "garbage" << false << false << ConnectionFailed;
        QTest::newRow("oversized length") << "oversize" << false << false << ConnectionFailed;
        QTest::newRow("values of another list") << "mismatch" << false << false << ListChanged;
        QTest::newRow("stall while sampling") << "stall" << true << false << ListChanged;
        QTest::newRow("close while sampling") << "close" << true << false << ListChanged;
        QTest::newRow("garbage while sampling") << "garbage" << true << false << ListChanged;
        QTest::newRow("oversize while sampling") << "oversize" << true << false << ListChanged;
    }

    // The hub misbehaves from the start, and Next on the Connect page fetches the tag list and,
    // when that works, takes the first sample. Or it starts to misbehave after the tags were
    // fetched, when the user has gone on to Select Tags, and Previous takes a sample at once on
    // entering the Sampling page.
    void fault() {
        QFETCH(QString, fault);
        QFETCH(bool, whileSampling);
        QFETCH(bool, smallTags);
        QFETCH(QString, message);

        HubProcess hub;
        QStringList arguments{QStringLiteral("--seed"), QStringLiteral("3")};
        if (smallTags)
            arguments << QStringLiteral("--tags") << WriteSmallTags(hub);
        const QStringList faulty = arguments + QStringList{QStringLiteral("--fault"), fault};
        QVERIFY2(StartHubForWizard(hub, WithPeriod(whileSampling ? arguments : faulty)),
                 qPrintable(hub.Log()));

        E2eWizard w;
        w.KeepEventsRunningDuringMessages();
        QVERIFY(w.Start());
        w.FillConnectPage(hub.port(), 100);
        if (whileSampling) {
            QVERIFY(ClickStaysResponsive(w, "cmdNext"));
            QCOMPARE(w.window->CurrentPage(), 1);
            QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 2, 10000);
            w.Click("cmdNext");
            QCOMPARE(w.window->CurrentPage(), 2);
            QVERIFY2(RestartHub(hub, WithPeriod(faulty)), qPrintable(hub.Log()));
        }
        // Next fetches the tag list; Previous to the Sampling page takes a sample at once.
        QVERIFY(ClickStaysResponsive(w, whileSampling ? "cmdPrev" : "cmdNext"));

        if (message.isEmpty()) {
            // Slow, but whole: the wizard samples as usual.
            QCOMPARE(w.messages.Texts(), QStringList());
            QCOMPARE(w.window->CurrentPage(), 1);
            QCOMPARE(w.window->State().tags->Count(), 3);
            QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 3, 10000);
            QCOMPARE(w.messages.Texts(), QStringList());
            const FlexGrid* grid = w.Grid("SamplingGrid");
            QCOMPARE(grid->TextMatrix(3, 4), QStringLiteral("ok"));
            QCOMPARE(grid->TextMatrix(3, 1), QStringLiteral("T"));
        } else {
            QCOMPARE(w.messages.Texts(), QStringList{message});
            const ShownMessage& shown = w.messages.shown.front();
            QCOMPARE(shown.icon,
                     message == ConnectionFailed ? MessageIcon::Exclamation : MessageIcon::Stop);
            QCOMPARE(shown.title, ProgramName());
            verifyBackOnConnect(w);
            // A failed fetch leaves no tags; a changed list keeps the one that was fetched.
            QCOMPARE(w.window->State().tags->Count(), message == ConnectionFailed ? 0 : PlantTags);
            // The Connect page still shows what the user typed, or what the successful Next
            // stored.
            QVERIFY(w.Find<QRadioButton>("optConnectMethod(1)")->isChecked());
            QCOMPARE(w.Box("txtTCPport")->text(), QString::number(hub.port()));
        }
        recoverAfterFault(w, hub);
    }

    // The hub goes away and comes back by itself every fault period.
    void flap() {
        HubProcess hub;
        QVERIFY2(
            StartHubForWizard(hub, WithPeriod({QStringLiteral("--fault"), QStringLiteral("flap")})),
            qPrintable(hub.Log()));
        E2eWizard w;
        w.KeepEventsRunningDuringMessages();
        QVERIFY(w.Start());
        w.FillConnectPage(hub.port(), 100);

        // Clicks Next until the Sampling page stays on show; each click ends, with a message
        // or on the Sampling page.
        const auto onSamplingAfterNext = [&w] {
            if (w.window->CurrentPage() != 1)
                w.Click("cmdNext");
            return w.window->CurrentPage() == 1;
        };
        const auto nextUntilSampling = [&] {
            QTRY_VERIFY_WITH_TIMEOUT(onSamplingAfterNext(), 15000);
        };
        nextUntilSampling();
        if (QTest::currentTestFailed())
            return;

        // Sampling notices when the hub goes away.
        QTRY_VERIFY_WITH_TIMEOUT(w.window->CurrentPage() == 0, 10000);
        QVERIFY(w.messages.Texts().contains(ListChanged));
        verifyBackOnConnect(w);

        // While it is away Next fails with a message; once it is back Next works again.
        nextUntilSampling();
        if (QTest::currentTestFailed())
            return;
        for (const QString& text : w.messages.Texts())
            QVERIFY2(text == ListChanged || text == ConnectionFailed, qPrintable(text));

        w.Click("cmdPrev");
        recoverAfterFault(w, hub);
        // Samples for longer than the hub's flapping period: nothing goes away any more.
        const int reported = w.SamplesReported();
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= reported + FaultPeriodMs / 100 + 2, 10000);
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(w.window->CurrentPage(), 1);
    }
};

QTEST_MAIN(TestE2eFaults)
#include "test_e2e_faults.moc"
