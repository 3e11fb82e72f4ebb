// The tag record's conversions and the collection's addressing by position.

#include "component/Component.h"
#include "model/TagItem.h"
#include "model/TagItems.h"

#include <QTest>
#include <limits>

class TestTagModel : public QObject {
    Q_OBJECT

private slots:
    void wholeNumberSetters_data();
    void wholeNumberSetters();
    void selectedSetter_data();
    void selectedSetter();
    void textSetters_data();
    void textSetters();

    void valueRewrittenInPlace_data();
    void valueRewrittenInPlace();

    void duplicateNamesAreSeparateRecords();
    void itemPosition_data();
    void itemPosition();
    void atReachesBeyondSixteenBits();
    void removeAndClear();
};

// Length, Decimals and Integers share one conversion; a refused value leaves the old one.
void TestTagModel::wholeNumberSetters_data() {
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("expected");

    QTest::newRow("text with blanks") << QVariant(QStringLiteral(" -7 ")) << true << -7;
    QTest::newRow("fractional text") << QVariant(QStringLiteral("2.5")) << true << 2;
    QTest::newRow("2.5 to even") << QVariant(2.5) << true << 2;
    QTest::newRow("2.6 up") << QVariant(2.6) << true << 3;
    QTest::newRow("largest") << QVariant(2147483647.0) << true << 2147483647;
    QTest::newRow("smallest after rounding")
        << QVariant(-2147483648.5) << true << std::numeric_limits<int>::min();
    QTest::newRow("rounds past largest") << QVariant(2147483647.5) << false << 0;
    QTest::newRow("64-bit value") << QVariant(qlonglong(4294967296LL)) << false << 0;
    QTest::newRow("text too large") << QVariant(QStringLiteral("3000000000")) << false << 0;
    QTest::newRow("text beyond double") << QVariant(QStringLiteral("1e999")) << false << 0;
    QTest::newRow("word") << QVariant(QStringLiteral("OFF")) << false << 0;
    QTest::newRow("NaN") << QVariant(std::numeric_limits<double>::quiet_NaN()) << false << 0;
    QTest::newRow("null") << QVariant() << false << 0;
    QTest::newRow("Boolean counts as one") << QVariant(true) << true << 1;
}

void TestTagModel::wholeNumberSetters() {
    QFETCH(QVariant, input);
    QFETCH(bool, accepted);
    QFETCH(int, expected);

    using Setter = void (TagItem::*)(const QVariant&);
    using Getter = qint32 (TagItem::*)() const;
    const std::pair<Setter, Getter> properties[] = {
        {&TagItem::SetLength, &TagItem::Length},
        {&TagItem::SetDecimals, &TagItem::Decimals},
        {&TagItem::SetIntegers, &TagItem::Integers},
    };
    for (const auto& [set, get] : properties) {
        TagItem item;
        (item.*set)(QVariant(5));
        if (accepted) {
            (item.*set)(input);
            QCOMPARE((item.*get)(), expected);
        } else {
            QVERIFY_THROWS_EXCEPTION(ComponentError, (item.*set)(input));
            QCOMPARE((item.*get)(), 5);
        }
    }
}

void TestTagModel::selectedSetter_data() {
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<bool>("expected");

    QTest::newRow("true") << QVariant(true) << true << true;
    QTest::newRow("-1") << QVariant(-1) << true << true;
    QTest::newRow("0") << QVariant(0) << true << false;
    QTest::newRow("0.4 is not zero") << QVariant(0.4) << true << true;
    QTest::newRow("text 0") << QVariant(QStringLiteral(" 0 ")) << true << false;
    QTest::newRow("text True") << QVariant(QStringLiteral("True")) << true << true;
    QTest::newRow("word") << QVariant(QStringLiteral("yes")) << false << true;
    QTest::newRow("null") << QVariant() << false << true;
}

void TestTagModel::selectedSetter() {
    QFETCH(QVariant, input);
    QFETCH(bool, accepted);
    QFETCH(bool, expected);

    TagItem item;
    item.SetSelected(true);
    if (accepted)
        item.SetSelected(input);
    else
        QVERIFY_THROWS_EXCEPTION(ComponentError, item.SetSelected(input));
    QCOMPARE(item.Selected(), expected);
}

void TestTagModel::textSetters_data() {
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("expected");

    QTest::newRow("text") << QVariant(QStringLiteral("Kiln, 1")) << true << "Kiln, 1";
    QTest::newRow("empty text") << QVariant(QString()) << true << "";
    QTest::newRow("int") << QVariant(-42) << true << "-42";
    QTest::newRow("double") << QVariant(2.5) << true << "2.5";
    QTest::newRow("null") << QVariant() << false << "old";
}

// Sampling rewrites a value in the storage it has; a copy handed out before must keep the
// text it had, whatever the new value's length.
void TestTagModel::valueRewrittenInPlace_data() {
    QTest::addColumn<QStringList>("values");
    QTest::newRow("shorter, longer, empty")
        << QStringList{"123.45", "7", "1234567890123456789012345", "", "8.5"};
    QTest::newRow("same length") << QStringList{"1.25", "1.50", "1.75"};
    QTest::newRow("from empty") << QStringList{"", "OFF", "RUNNING"};
    QTest::newRow("non-ASCII") << QStringList{"Füllstand", "😀", "x"};
}

void TestTagModel::valueRewrittenInPlace() {
    QFETCH(QStringList, values);
    TagItem tag;
    tag.SetValue(QString());
    QString previous;
    QString copy;
    for (const QString& value : values) {
        tag.SetValue(QStringView(value));
        QCOMPARE(tag.Value(), value);
        QCOMPARE(copy, previous); // the copy taken before was not written through
        copy = tag.Value();
        previous = value;
    }
    // The value given as a view of itself.
    tag.SetValue(QStringView(tag.Value()).mid(1));
    QCOMPARE(tag.Value(), values.last().mid(1));
    QCOMPARE(copy, values.last());
}

void TestTagModel::textSetters() {
    QFETCH(QVariant, input);
    QFETCH(bool, accepted);
    QFETCH(QString, expected);

    using Setter = void (TagItem::*)(const QVariant&);
    using Getter = const QString& (TagItem::*)() const;
    const std::pair<Setter, Getter> properties[] = {
        {&TagItem::SetName, &TagItem::Name},
        {&TagItem::SetVariable, &TagItem::Variable},
        {&TagItem::SetFieldType, &TagItem::FieldType},
        {&TagItem::SetValue, &TagItem::Value},
    };
    for (const auto& [set, get] : properties) {
        TagItem item;
        (item.*set)(QVariant(QStringLiteral("old")));
        if (accepted)
            (item.*set)(input);
        else
            QVERIFY_THROWS_EXCEPTION(ComponentError, (item.*set)(input));
        QCOMPARE((item.*get)(), expected);
    }
}

void TestTagModel::duplicateNamesAreSeparateRecords() {
    TagItems tags;
    const auto first = tags.Add(QStringLiteral("Flow"));
    const auto second = tags.Add(QStringLiteral("Flow"));
    QCOMPARE(tags.Count(), 2);
    QVERIFY(first != second);
    QCOMPARE(tags.Item(1), first);
    QCOMPARE(tags.Item(2), second);
    QCOMPARE(second->Name(), QStringLiteral("Flow"));
}

// Positions 1..3 hold records named "1", "2", "3"; an empty expected name means an error.
void TestTagModel::itemPosition_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<QVariant>("key");
    QTest::addColumn<QString>("expected");

    QTest::newRow("number") << 3 << QVariant(2) << "2";
    QTest::newRow("text with blanks") << 3 << QVariant(QStringLiteral(" 3 ")) << "3";
    QTest::newRow("2.5 rounds to even") << 3 << QVariant(2.5) << "2";
    QTest::newRow("0.5 rounds to 0") << 3 << QVariant(0.5) << "";
    QTest::newRow("zero") << 3 << QVariant(0) << "";
    QTest::newRow("past the end") << 3 << QVariant(4) << "";
    QTest::newRow("empty collection") << 0 << QVariant(1) << "";
    QTest::newRow("name as key") << 3 << QVariant(QStringLiteral("Flow")) << "";
    QTest::newRow("null") << 3 << QVariant() << "";
    QTest::newRow("overflow text") << 3 << QVariant(QStringLiteral("40000")) << "";
    QTest::newRow("beyond double") << 3 << QVariant(QStringLiteral("1e999")) << "";
    QTest::newRow("Boolean") << 3 << QVariant(true) << "";
}

void TestTagModel::itemPosition() {
    QFETCH(int, count);
    QFETCH(QVariant, key);
    QFETCH(QString, expected);

    TagItems tags;
    for (int i = 1; i <= count; ++i)
        tags.Add(QString::number(i));
    if (expected.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(ComponentError, tags.Item(key));
        QVERIFY_THROWS_EXCEPTION(ComponentError, tags.Remove(key));
        QCOMPARE(tags.Count(), count);
    } else {
        QCOMPARE(tags.Item(key)->Name(), expected);
    }
}

void TestTagModel::atReachesBeyondSixteenBits() {
    TagItems tags;
    tags.Reserve(40000);
    for (int i = 1; i <= 40000; ++i)
        tags.Add(QString::number(i));
    QCOMPARE(tags.At(40000).Name(), QStringLiteral("40000"));
    QCOMPARE(tags.At(1).Name(), QStringLiteral("1"));
    QVERIFY_THROWS_EXCEPTION(ComponentError, tags.At(0));
    QVERIFY_THROWS_EXCEPTION(ComponentError, tags.At(40001));
    try {
        tags.Item(40000);
        QFAIL("position 40000 reached through Item");
    } catch (const ComponentError& e) {
        QVERIFY2(e.message().contains(QLatin1String("overflow")), qPrintable(e.message()));
    }
}

void TestTagModel::removeAndClear() {
    TagItems tags;
    for (const char* name : {"A", "B", "C"})
        tags.Add(QString::fromLatin1(name));
    tags.Remove(QStringLiteral("2"));
    QStringList names;
    for (const auto& item : tags)
        names << item->Name();
    QCOMPARE(names, QStringList({QStringLiteral("A"), QStringLiteral("C")}));

    // A record handed out outlives the collection's clearing.
    const TagItems::Ptr held = tags.Item(2);
    tags.Clear();
    QCOMPARE(tags.Count(), 0);
    QCOMPARE(held->Name(), QStringLiteral("C"));
    QVERIFY_THROWS_EXCEPTION(ComponentError, tags.Item(1));
}

QTEST_GUILESS_MAIN(TestTagModel)
#include "test_tagmodel.moc"
