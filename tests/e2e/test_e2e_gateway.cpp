// The whole road against a hub that is a real gateway: a Mosquitto broker fed by
// mosquitto_pub and a pymodbus Modbus device feed the hub; the wizard connects to it over
// TCP, samples, selects, lays out and saves; sv6.exe then shows the published values from
// the saved application.

#include "E2eWizard.h"

#include "generate/Application.h"
#include "support/TestServers.h"

namespace {

// Tag name -> the value every source publishes for it in this test.
const QList<QPair<QString, QString>> Published = {
    {QStringLiteral("Boiler Drum Pressure"), QStringLiteral("42.13")},
    {QStringLiteral("Boiler Steam Temperature"), QStringLiteral("312.5")},
    {QStringLiteral("Boiler State"), QStringLiteral("RUNNING")},
    {QStringLiteral("Kiln Speed"), QStringLiteral("3.25")},
    {QStringLiteral("Kiln Feed Rate t/h"), QStringLiteral("210.5")},
    {QStringLiteral("Kiln Main Drive"), QStringLiteral("1")},
};

} // namespace

class TestE2eGateway : public QObject {
    Q_OBJECT

private slots:
    void roadThroughRealSources() {
        if (testservers::Mosquitto::Binary().isEmpty() || !testservers::HasPymodbus())
            QSKIP("mosquitto or python3-pymodbus is not installed (scripts/deps.sh installs "
                  "them)");
        testservers::Mosquitto broker;
        QVERIFY(broker.Start());
        QVERIFY(broker.Publish(QStringLiteral("plant/boiler/pressure"), "42.125", true));
        QVERIFY(broker.Publish(QStringLiteral("plant/boiler"),
                               R"({"steam": {"temp": 312.46}, "state": "RUNNING"})", true));
        testservers::ModbusDevice plc;
        QVERIFY(plc.Start(
            {{QStringLiteral("1"),
              QVariantList{
                  QVariantMap{
                      {"table", "holding"}, {"address", 0}, {"type", "float32"}, {"value", 3.25}},
                  QVariantMap{
                      {"table", "holding"}, {"address", 2}, {"type", "uint16"}, {"value", 2105}},
                  QVariantMap{{"table", "coil"}, {"address", 0}, {"value", true}}}}}));

        HubProcess hub;
        const QString tags =
            hub.WriteTags("site\tbroker\tport=" + QByteArray::number(broker.port()) +
                          "\n"
                          "plc1\tdevice\tport=" +
                          QByteArray::number(plc.port()) +
                          " poll=0.2\n"
                          "Boiler Drum Pressure\tmqtt\tbroker=site topic=plant/boiler/pressure "
                          "decimals=2\n"
                          "Boiler Steam Temperature\tmqtt\tbroker=site topic=plant/boiler "
                          "json=steam.temp decimals=1\n"
                          "Boiler State\tmqtt\tbroker=site topic=plant/boiler json=state\n"
                          "Kiln Speed\tmodbus\tdevice=plc1 address=0 type=float32 decimals=2\n"
                          "Kiln Feed Rate t/h\tmodbus\tdevice=plc1 address=2 scale=0.1 "
                          "decimals=1\n"
                          "Kiln Main Drive\tmodbus\tdevice=plc1 table=coil address=0\n");
        QVERIFY2(StartHubForWizard(hub, {QStringLiteral("--tags"), tags}), qPrintable(hub.Log()));

        E2eWizard w;
        QVERIFY(w.Start());
        frmSVCorblexAppGen* window = w.window.get();
        w.FillConnectPage(hub.port(), 200);
        w.Click("cmdNext");
        QCOMPARE(w.messages.Texts(), QStringList());
        QCOMPARE(window->CurrentPage(), 1);
        QCOMPARE(window->State().tags->Count(), int(Published.size()));

        // Sampling: every tag shows its published value once the sources have answered.
        FlexGrid* sampling = w.Grid("SamplingGrid");
        for (const auto& [name, value] : Published) {
            const int row = RowOf(sampling, 0, name);
            QVERIFY2(row > 0, qPrintable(name));
            QTRY_COMPARE_WITH_TIMEOUT(sampling->TextMatrix(row, 4), value, 20000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(w.SamplesReported() >= 3, 20000);
        const int pressure = RowOf(sampling, 0, QStringLiteral("Boiler Drum Pressure"));
        QCOMPARE(sampling->TextMatrix(pressure, 1), QStringLiteral("N"));
        QCOMPARE(sampling->TextMatrix(pressure, 3), QStringLiteral("2"));
        QCOMPARE(sampling->TextMatrix(RowOf(sampling, 0, QStringLiteral("Boiler State")), 1),
                 QStringLiteral("T"));

        // Select Tags keeps every tag chosen; Layout as it comes; Generate saves.
        for (int page = 2; page <= 4; ++page) {
            w.Click("cmdNext");
            QCOMPARE(window->CurrentPage(), page);
        }
        E2eWizard::Type(w.Box("txtTitle"), QStringLiteral("Live Plant"));
        QTemporaryDir files;
        const QString path =
            QDir::toNativeSeparators(files.filePath(QStringLiteral("Live Plant.SVT")));
        w.saveDialog.answer = path;
        w.Click("cmdSaveAs");
        w.Click("cmdFinish");
        QCOMPARE(w.messages.Texts(), QStringList{QStringLiteral("SV Application '") + path +
                                                 QStringLiteral("' has been created.")});

        // The file links the real tags.
        const Application app = Application::LoadFromFile(path);
        QStringList links;
        for (const ApplicationVariable& variable : app.Variables())
            if (variable.Link())
                links << *variable.Link();
        QStringList expectedLinks;
        QStringList values;
        for (const auto& [name, value] : Published) {
            expectedLinks << hub.TcpPrefix() + name;
            values << value;
        }
        QCOMPARE(links, expectedLinks);

        // sv6.exe on the saved file shows the published values, in the file's order.
        QProcess sv6;
        sv6.start(QCoreApplication::applicationDirPath() + QStringLiteral("/sv6.exe"),
                  {QStringLiteral("--exit-after-polls"), QStringLiteral("2"),
                   QStringLiteral("--poll-interval-ms"), QStringLiteral("100"),
                   QStringLiteral("--print-rows"), path});
        QVERIFY(sv6.waitForFinished(30000));
        QCOMPARE(sv6.exitCode(), 0);
        const QStringList rows = QString::fromUtf8(sv6.readAllStandardOutput())
                                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.back().split(QLatin1Char('\t')).mid(2), values);

        w.Click("cmdClose");
        QCOMPARE(hub.Stop(), 0);
    }
};

QTEST_MAIN(TestE2eGateway)
#include "test_e2e_gateway.moc"
