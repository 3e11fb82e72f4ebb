// The application builder without a window: the order and values it hands the model, and
// the layouts it refuses before the model is touched.

#include "generate/ApplicationBuilder.h"
#include "generate/ErrorOf.h"
#include "model/TagItem.h"
#include "support/RecordingApplication.h"

#include <QTest>

namespace {

struct TagFields {
    QString name;
    QString variable;
    QString type;
    qint32 length;
    qint32 decimals;
};

TagItems MakeTags(const std::vector<TagFields>& tagFields) {
    TagItems tags;
    for (const TagFields& s : tagFields) {
        TagItem& t = *tags.Add(s.name);
        t.SetVariable(s.variable);
        t.SetFieldType(s.type);
        t.SetLength(s.length);
        t.SetDecimals(s.decimals);
    }
    return tags;
}

const std::vector<TagFields> Three = {{"Tank1.Level", "Tank1_Level", "N", 12, 3},
                                      {"Pump Speed", "Pump Speed", "N", 4, 0},
                                      {"Valve State", "Valve_State", "T", 7, 0}};

} // namespace

using Order = std::vector<qint32>;
Q_DECLARE_METATYPE(Order)

class TestBuilder : public QObject {
    Q_OBJECT

private slots:
    void variablesFollowTheColumns_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<Order>("order");
        QTest::addColumn<QStringList>("tagCalls"); // what follows Date and Time
        // The calls that add one tag column.
        const auto column = [](const QString& fields, const QString& link) {
            return QStringList{"GetVariables", "AddVariable(" + fields + ")",
                               "SetLink(" + link + ")", "SetCode(P)"};
        };
        const QString tcp = QStringLiteral("TCP:10.1.2.3:6000.0!");
        QTest::newRow("third tag dragged first, remote")
            << "Line 3" << tcp << Order{3, 1, 2}
            << column("Valve_State,T,7,0", tcp + "Valve State") +
                   column("Tank1_Level,N,12,3", tcp + "Tank1.Level") +
                   column("Pump Speed,N,4,0", tcp + "Pump Speed");
        QTest::newRow("only the fixed columns, empty title") << ""
                                                             << "HUB:" << Order{} << QStringList{};
        QTest::newRow("direct link")
            << "t"
            << "HUB:" << Order{1} << column("Tank1_Level,N,12,3", "HUB:Tank1.Level");
    }
    void variablesFollowTheColumns() {
        QFETCH(QString, title);
        QFETCH(QString, prefix);
        QFETCH(Order, order);
        QFETCH(QStringList, tagCalls);
        const TagItems tags = MakeTags(Three);
        QStringList calls;
        RecordingApplication app(calls);
        BuildApplicationFile(app, {title, prefix, &tags, order, true}, QStringLiteral("/x/a.SVT"));
        const QStringList expected = QStringList{"SetUp(1)",     "SetTitle(" + title + ")",
                                                 "GetVariables", "AddVariable(Date,T,8,0)",
                                                 "GetVariables", "AddVariable(Time,T,8,0)"} +
                                     tagCalls +
                                     QStringList{"SaveToFile(a.SVT)", "CloseApplication"};
        QCOMPARE(calls, expected);
    }

    void refusedLayoutsLeaveTheModelUntouched_data() {
        QTest::addColumn<Order>("order");
        QTest::addColumn<bool>("current");
        QTest::addColumn<QString>("emptyVariable"); // this tag has no variable name yet
        QTest::addColumn<qint32>("length");         // of Pump Speed
        QTest::addColumn<qint32>("decimals");
        QTest::addColumn<QString>("message"); // part of it; empty: the build goes through
        const QString stale = QStringLiteral("Layout page again");
        const QString tooLong = QStringLiteral("at most 32,767 characters. Untick the tag");
        QTest::newRow("laid out for an earlier list") << Order{1} << false << "" << 4 << 0 << stale;
        QTest::newRow("position past the list") << Order{1, 4} << true << "" << 4 << 0 << stale;
        QTest::newRow("position 0") << Order{0} << true << "" << 4 << 0 << stale;
        QTest::newRow("tag without a name laid out")
            << Order{1, 2} << true << "Pump Speed" << 4 << 0 << stale;
        QTest::newRow("length over the limit")
            << Order{1, 2} << true << "" << 32768 << 0 << "tag 'Pump Speed' are too long";
        QTest::newRow("decimals over the limit")
            << Order{2} << true << "" << 40000 << 32768 << tooLong;
        QTest::newRow("length at the limit") << Order{2} << true << "" << 32767 << 32767 << "";
        QTest::newRow("unnamed tag not laid out")
            << Order{1} << true << "Pump Speed" << 4 << 0 << "";
    }
    void refusedLayoutsLeaveTheModelUntouched() {
        QFETCH(Order, order);
        QFETCH(bool, current);
        QFETCH(QString, emptyVariable);
        QFETCH(qint32, length);
        QFETCH(qint32, decimals);
        QFETCH(QString, message);
        std::vector<TagFields> tagFields = Three;
        for (TagFields& s : tagFields)
            if (s.name == emptyVariable)
                s.variable.clear();
        tagFields[1].length = length;
        tagFields[1].decimals = decimals;
        const TagItems tags = MakeTags(tagFields);
        QStringList calls;
        RecordingApplication app(calls);
        const QString error = ErrorOf([&] {
            BuildApplicationFile(app, {"t", "HUB:", &tags, order, current},
                                 QStringLiteral("a.SVT"));
        });
        if (message.isEmpty()) {
            QCOMPARE(error, QStringLiteral("<no error>"));
            QCOMPARE(calls.size(), 6 + 4 * qsizetype(order.size()) + 2);
        } else {
            QVERIFY2(error.contains(message), qPrintable(error));
            QCOMPARE(calls, QStringList());
        }
    }
};

QTEST_MAIN(TestBuilder)
#include "test_builder.moc"
