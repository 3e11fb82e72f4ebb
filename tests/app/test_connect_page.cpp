// Leaving the Connect page: the checks in their order, the request prefix, the tag list and
// the settings written on success only.

#include "support/WizardFixture.h"

class TestConnectPage : public QObject {
    Q_OBJECT

private slots:
    void checksInOrder_data() {
        QTest::addColumn<bool>("remote");
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message"); // "" when the page is left
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("rateMs");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<int>("tcpPort");

        const auto badRate = [](const char* name, const char* rate, int rateMs) {
            QTest::newRow(name) << false << rate << "h"
                                << "6000"
                                << "Invalid Sample Rate specified!"
                                << "txtSampleRate" << rateMs << "" << 0;
        };
        const auto badRemote = [](const char* name, const char* address, const char* port,
                                  const char* message, const char* focus) {
            QTest::newRow(name) << true << "500" << address << port << message << focus << 500 << ""
                                << 0;
        };
        const auto accepted = [](const char* name, bool remote, const char* rate,
                                 const char* address, const char* port, int rateMs,
                                 const char* prefix, int tcpPort) {
            QTest::newRow(name) << remote << rate << address << port << ""
                                << "" << rateMs << prefix << tcpPort;
        };
        badRate("rate 0", "0", 0);
        badRate("rate 99", "99", 99);
        accepted("rate 100", false, "100", "h", "6000", 100, "HUB:", 6000);
        accepted("rate 32000", false, "32000", "h", "6000", 32000, "HUB:", 6000);
        badRate("rate 32001", "32001", 32001);
        accepted("rate between blanks", false, "  250 ", "h", "6000", 250, "HUB:", 6000);
        accepted("rate half to even", false, "250.5", "h", "6000", 250, "HUB:", 6000);
        badRate("rate letters, none before", "fast", 0);
        badRate("rate blanks only", "   ", 0);
        badRate("rate too large", "1e12", INT_MAX);
        badRate("rate too small", "-1e300", INT_MIN);

        badRemote("address empty", "", "6000", "A TCP Address must be specified!", "txtTCPaddress");
        accepted("address blanks pass", true, "500", "   ", "6000", 500, "TCP:   :6000!", 6000);
        badRemote("port empty", "h", "", "A TCP Port must be specified!", "txtTCPport");
        badRemote("port letters", "h", "60a0", "TCP Port must be numeric!", "txtTCPport");
        badRemote("port 999", "h", "999", "TCP Port is invalid!", "txtTCPport");
        badRemote("port 32001", "h", "32001", "TCP Port is invalid!", "txtTCPport");
        accepted("port 1000", true, "500", "hub.plant", "1000", 500, "TCP:hub.plant:1000!", 1000);
        accepted("port fractional", true, "500", "10.0.0.5", "1000.4", 500, "TCP:10.0.0.5:1000.4!",
                 1000);
        accepted("port half to even", true, "500", "h", "6000.5", 500, "TCP:h:6000.5!", 6000);
        accepted("ipv6 address", true, "500", "::1", "6000", 500, "TCP:::1:6000!", 6000);
        accepted("direct ignores the boxes", false, "500", "", "junk", 500, "HUB:", 0);
    }
    void checksInOrder() {
        QFETCH(bool, remote);
        QFETCH(QString, rate);
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(int, rateMs);
        QFETCH(QString, prefix);
        QFETCH(int, tcpPort);

        WizardFixture f;
        QVERIFY(f.Start());
        QApplication::setActiveWindow(f.window.get());
        f.hub.tags = QStringLiteral("A,B");
        f.hub.values = QStringLiteral("A,1\tB,2");
        f.Find<QRadioButton>(remote ? "optConnectMethod(1)" : "optConnectMethod(0)")
            ->setChecked(true);
        f.Box("txtSampleRate")->setText(rate);
        f.Box("txtTCPaddress")->setText(address);
        f.Box("txtTCPport")->setText(port);
        f.Button("cmdNext")->setFocus();
        f.Click("cmdNext");

        QCOMPARE(f.window->State().sampleRateMs, rateMs);
        if (message.isEmpty()) {
            QVERIFY2(f.messages.shown.empty(), qPrintable(f.messages.Texts().join('|')));
            QCOMPARE(f.window->CurrentPage(), 1);
            // The requests carry the prefix made from the address and port as typed.
            QCOMPARE(f.hub.requests, (QStringList{prefix + "GETTAGS", prefix + "GETVALUES"}));
            QCOMPARE(f.window->State().tcpPort, tcpPort);
            QCOMPARE(f.settings.Read("Method").toString(), remote ? "1" : "0");
            QCOMPARE(f.settings.Read("Address").toString(), address);
            QCOMPARE(f.settings.Read("Port").toString(), port);
            QCOMPARE(f.settings.Read("SampleRate").toString(), rate);
        } else {
            QCOMPARE(f.messages.Texts(), QStringList{message});
            QCOMPARE(f.messages.shown.front().icon, MessageIcon::Exclamation);
            QCOMPARE(f.messages.shown.front().title, ProgramName());
            QCOMPARE(f.window->CurrentPage(), 0);
            QVERIFY(f.Button("cmdNext")->isEnabled());
            QVERIFY(f.hub.requests.isEmpty());
            QCOMPARE(QApplication::focusWidget()->objectName(), focus);
            QVERIFY(!f.settings.Exists());
        }
    }

    void letteredRateKeepsTheRateInForce() {
        WizardFixture f;
        QVERIFY(
            f.StartOnPage(1, QStringLiteral("A"), QStringLiteral("A,1"), QStringLiteral("250")));
        f.Click("cmdPrev");
        f.Box("txtSampleRate")->setText(QStringLiteral("quick"));
        f.Click("cmdNext");
        QCOMPARE(f.window->CurrentPage(), 1);
        QCOMPARE(f.Timer()->interval(), 250);
        QCOMPARE(f.settings.Read("SampleRate").toString(), QStringLiteral("quick"));
    }

    void failedFetchLeavesAnEmptyTagListAndTheNewPrefix() {
        WizardFixture f;
        QVERIFY(f.StartOnPage(1, QStringLiteral("A,B"), QStringLiteral("A,1\tB,2")));
        f.Click("cmdPrev");
        f.hub.tags.clear();
        f.Find<QRadioButton>("optConnectMethod(1)")->setChecked(true);
        f.Box("txtTCPaddress")->setText(QStringLiteral("remote"));
        f.Box("txtTCPport")->setText(QStringLiteral("7000"));
        f.Click("cmdNext");
        QCOMPARE(f.messages.Texts(), QStringList{QStringLiteral("Connection Failed!")});
        QCOMPARE(f.window->CurrentPage(), 0);
        QCOMPARE(f.window->State().hubPrefix, QStringLiteral("TCP:remote:7000!"));
        QCOMPARE(f.window->State().tcpPort, 7000);
        QCOMPARE(f.settings.Read("Method").toString(), QStringLiteral("0"));
        QCOMPARE(f.busy.timesBusy, 2);
    }
};

QTEST_MAIN(TestConnectPage)
#include "test_connect_page.moc"
