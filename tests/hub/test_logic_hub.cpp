// The numeric rule, property inference and the splitting of the hub's answers.

#include "hub/Answers.h"
#include "hub/Inference.h"
#include "model/Numeric.h"

#include <QTest>
#include <cmath>

Q_DECLARE_METATYPE(TagProperties)

// Shown by QCOMPARE when two property sets differ.
char* toString(const TagProperties& p) {
    return QTest::toString(QStringLiteral("%1 L%2 D%3 I%4")
                               .arg(p.fieldType)
                               .arg(p.length)
                               .arg(p.decimals)
                               .arg(p.integers));
}

namespace {

TagProperties Props(const char* type, qint32 length, qint32 decimals, qint32 integers) {
    return {QString::fromLatin1(type), length, decimals, integers};
}

const TagProperties FreshProperties = {QStringLiteral("N"), 1, 0, 1};

} // namespace

class TestLogicHub : public QObject {
    Q_OBJECT

private slots:
    void numericRule_data();
    void numericRule();
    void roundHalfEven_data();
    void roundHalfEven();

    void inferenceSequence();
    void inferenceFromFresh_data();
    void inferenceFromFresh();

    void splitTagList_data();
    void splitTagList();
    void splitValues();
    void splitStatus_data();
    void splitStatus();
    void sameTagName_data();
    void sameTagName();
};

// A NaN value: numeric, but too large for a double.
void TestLogicHub::numericRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("numeric");
    QTest::addColumn<double>("value");

    QTest::newRow("blanks around") << " 250 " << true << 250.0;
    QTest::newRow("plus, no integer digits") << "+.5" << true << 0.5;
    QTest::newRow("no fraction digits") << "5." << true << 5.0;
    QTest::newRow("signed capital exponent") << "1.5E-2" << true << 0.015;
    QTest::newRow("many digits") << "12345678901234567890" << true << 12345678901234567890.0;
    QTest::newRow("underflow is zero") << "1e-400" << true << 0.0;
    QTest::newRow("underflow keeps the sign") << "-1e-400" << true << -0.0;
    QTest::newRow("zero, huge exponent") << "0e99999999999999999999" << true << 0.0;
    for (const char* text : {"1e999", "-1e999", "0.1e400", "1e99999999999999999999"})
        QTest::addRow("too large: %s", text) << QString::fromLatin1(text) << true << qQNaN();
    // Blanks are spaces only, digits ASCII only, and nothing but sign, digits, point, exponent.
    for (const char* text : {"", "   ", "-", "1.2.3", "12 V", "1,000", "NaN", "0x10", "1e", " 1 2 ",
                             "\t5", "- 5", "\xd9\xa3"})
        QTest::addRow("not numeric: \"%s\"", text) << QString::fromUtf8(text) << false << 0.0;
}

void TestLogicHub::numericRule() {
    QFETCH(QString, text);
    QFETCH(bool, numeric);
    QFETCH(double, value);

    QCOMPARE(numeric::IsNumeric(text), numeric);
    const auto parsed = numeric::ParseNumber(text);
    QCOMPARE(parsed.has_value(), numeric && !qIsNaN(value));
    if (parsed) {
        QCOMPARE(*parsed, value);
        QCOMPARE(std::signbit(*parsed), std::signbit(value));
    }
}

void TestLogicHub::roundHalfEven_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<double>("expected");

    QTest::newRow("0.5") << 0.5 << 0.0;
    QTest::newRow("1.5") << 1.5 << 2.0;
    QTest::newRow("-0.5") << -0.5 << -0.0;
    QTest::newRow("-2.5") << -2.5 << -2.0;
    QTest::newRow("2.6") << 2.6 << 3.0;
    QTest::newRow("1000.4") << 1000.4 << 1000.0;
    QTest::newRow("just below a half") << 0.49999999999999994 << 0.0;
    QTest::newRow("large whole") << 9007199254740993.0 << 9007199254740993.0;
}

void TestLogicHub::roundHalfEven() {
    QFETCH(double, value);
    QFETCH(double, expected);
    QCOMPARE(numeric::RoundHalfEven(value), expected);
}

// One tag seeing a run of values; each row starts from the previous row's properties.
void TestLogicHub::inferenceSequence() {
    struct Step {
        const char16_t* value;
        TagProperties expected;
        bool changed;
    };
    const Step steps[] = {
        {u"5", Props("N", 1, 0, 1), false},        {u"12.345", Props("N", 6, 3, 2), true},
        {u"7", Props("N", 6, 3, 2), false},        {u"-100.5", Props("N", 8, 3, 4), true},
        {u"", Props("N", 8, 3, 4), false},         {u"OFF", Props("T", 8, 0, 0), true},
        {u"123456789", Props("T", 9, 0, 0), true}, {u"42", Props("T", 9, 0, 0), false},
    };
    TagProperties current = FreshProperties;
    for (const Step& step : steps) {
        const TagProperties next = InferProperties(current, QStringView(step.value));
        QCOMPARE(next, step.expected);
        QCOMPARE(PropertiesChanged(current, next), step.changed);
        current = next;
    }
}

void TestLogicHub::inferenceFromFresh_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<TagProperties>("expected");

    QTest::newRow("leading point") << ".5" << Props("N", 3, 1, 1);
    QTest::newRow("minus counts") << "-1" << Props("N", 2, 0, 2);
    QTest::newRow("blanks count") << " 25 " << Props("N", 4, 0, 4);
    QTest::newRow("exponent counts as integer characters") << "1e3" << Props("N", 3, 0, 3);
    QTest::newRow("exponent after the point") << "1.5e-2" << Props("N", 6, 4, 1);
    QTest::newRow("trailing point") << "5." << Props("N", 1, 0, 1);
    QTest::newRow("text") << "12 V" << Props("T", 4, 0, 0);
    QTest::newRow("blank is text") << " " << Props("T", 1, 0, 0);
}

void TestLogicHub::inferenceFromFresh() {
    QFETCH(QString, value);
    QFETCH(TagProperties, expected);
    QCOMPARE(InferProperties(FreshProperties, value), expected);
}

void TestLogicHub::splitTagList_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("tags");

    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("one") << "Flow" << QStringList{"Flow"};
    QTest::newRow("empty piece") << "a,,b" << QStringList{"a", "", "b"};
    QTest::newRow("trailing comma") << "a," << QStringList{"a", ""};
    QTest::newRow("spaces kept") << " a , b" << QStringList{" a ", " b"};
}

void TestLogicHub::splitTagList() {
    QFETCH(QString, answer);
    QFETCH(QStringList, tags);
    QCOMPARE(answers::SplitTagList(answer), tags);
}

void TestLogicHub::splitValues() {
    using Pairs = QList<std::pair<QString, QString>>;
    bool viewsIntoAnswer = true;
    const auto split = [&](const QString& answer) {
        Pairs out;
        for (const auto& e : answers::SplitValues(answer)) {
            // Views point into the answer, never into a copy.
            if (!e.name.isEmpty())
                viewsIntoAnswer = viewsIntoAnswer && e.name.data() >= answer.constData() &&
                                  e.name.data() < answer.constData() + answer.size();
            out.append({e.name.toString(), e.value.toString()});
        }
        // Splitting a piece at a time gives the same entries, whatever the pieces' size.
        for (const qsizetype piece : {1, 2, 3}) {
            std::vector<answers::ValueEntry> pieces;
            for (answers::ValueSplitter splitter(answer); !splitter.Done();) {
                const size_t before = pieces.size();
                splitter.Next(piece, pieces);
                if (pieces.size() - before != size_t(piece) && !splitter.Done())
                    return Pairs{{"piece of the wrong size", QString::number(piece)}};
            }
            Pairs again;
            for (const auto& e : pieces)
                again.append({e.name.toString(), e.value.toString()});
            if (again != out)
                return Pairs{{"pieces differ", QString::number(piece)}};
        }
        return out;
    };
    QCOMPARE(split(QString()), Pairs());
    QCOMPARE(split(QStringLiteral("a,1\tb,2")), (Pairs{{"a", "1"}, {"b", "2"}}));
    QCOMPARE(split(QStringLiteral("a,1,5\tb,x,y")), (Pairs{{"a", "1,5"}, {"b", "x,y"}}));
    QCOMPARE(split(QStringLiteral("a,1\t")), (Pairs{{"a", "1"}, {"", ""}}));
    QCOMPARE(split(QStringLiteral("a\tb,")), (Pairs{{"a", ""}, {"b", ""}}));
    QCOMPARE(split(QStringLiteral("\t\t")), (Pairs{{"", ""}, {"", ""}, {"", ""}}));
    QCOMPARE(split(QStringLiteral(",v")), (Pairs{{"", "v"}}));
    QVERIFY(viewsIntoAnswer);
}

void TestLogicHub::splitStatus_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("entries"); // "name|code" each
    QTest::newRow("empty") << "" << QStringList();
    QTest::newRow("every code")
        << "A,good\nTank 1.Level,stale\nB,offline\nC,refused\nD,invalid\nE,waiting"
        << QStringList{"A|good",    "Tank 1.Level|stale", "B|offline",
                       "C|refused", "D|invalid",          "E|waiting"};
    QTest::newRow("tabs and blanks belong to the name")
        << " a\tb ,good" << QStringList{" a\tb |good"};
    QTest::newRow("CR before LF dropped")
        << "a,good\r\nb,stale\r" << QStringList{"a|good", "b|stale"};
    QTest::newRow("empty pieces") << "\na,good\n" << QStringList{"|", "a|good", "|"};
    QTest::newRow("no comma") << "lonely" << QStringList{"lonely|"};
    QTest::newRow("empty name") << ",good" << QStringList{"|good"};
    QTest::newRow("unicode name") << "Kühler,invalid" << QStringList{"Kühler|invalid"};
}

void TestLogicHub::splitStatus() {
    QFETCH(QString, answer);
    QFETCH(QStringList, entries);
    QStringList got;
    for (const answers::StatusEntry& entry : answers::SplitStatus(answer)) {
        // Views point into the answer, never into a copy.
        for (const QStringView part : {entry.name, entry.code})
            if (!part.isEmpty())
                QVERIFY(part.data() >= answer.constData() &&
                        part.data() + part.size() <= answer.constData() + answer.size());
        got << entry.name.toString() + QLatin1Char('|') + entry.code.toString();
    }
    QCOMPARE(got, entries);
}

void TestLogicHub::sameTagName_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    const auto row = [](const char* name, const char* a, const char* b, bool same) {
        QTest::newRow(name) << QString::fromUtf8(a) << QString::fromUtf8(b) << same;
    };
    row("equal", "Kiln.PV", "Kiln.PV", true);
    row("case differs", "Kiln.PV", "KILN.pv", true);
    row("both empty", "", "", true);
    row("different", "Kiln.PV", "Kiln.SP", false);
    row("prefix", "Kiln", "Kiln1", false);
    row("non-ASCII case", "Temp\u00e9", "TEMP\u00c9", true);
    row("sharp s upper-cases to SS", "Stra\u00dfe", "STRASSE", true);
    row("non-ASCII differs", "\u00e9", "\u00e8", false);
    row("symbols next to letters", "a[", "A{", false);
}

void TestLogicHub::sameTagName() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    QCOMPARE(answers::SameTagName(a, b), same);
    QCOMPARE(answers::SameTagName(b, a), same);
}

QTEST_GUILESS_MAIN(TestLogicHub)
#include "test_logic_hub.moc"
