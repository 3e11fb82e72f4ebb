// The tag record's conversions and the collection's addressing by position.

#include "component/Component.h"
#include "model/TagItem.h"
#include "model/TagItems.h"

#include <QTest>
#include <limits>

namespace {

using Setter = void (TagItem::*)(const QVariant&);
using Getter = QVariant (*)(const TagItem&);

// The setters that take any value, by the conversion they share, with the value each test
// record starts from.
struct Property {
    const char* conversion;
    Setter set;
    Getter get;
    QVariant old;
};

const Property Properties[] = {
    {"whole", &TagItem::SetLength, [](const TagItem& t) { return QVariant(t.Length()); }, 5},
    {"whole", &TagItem::SetDecimals, [](const TagItem& t) { return QVariant(t.Decimals()); }, 5},
    {"whole", &TagItem::SetIntegers, [](const TagItem& t) { return QVariant(t.Integers()); }, 5},
    {"Boolean", &TagItem::SetSelected, [](const TagItem& t) { return QVariant(t.Selected()); },
     true},
    {"text", &TagItem::SetName, [](const TagItem& t) { return QVariant(t.Name()); }, "old"},
    {"text", &TagItem::SetVariable, [](const TagItem& t) { return QVariant(t.Variable()); }, "old"},
    {"text", &TagItem::SetFieldType, [](const TagItem& t) { return QVariant(t.FieldType()); },
     "old"},
    {"text", &TagItem::SetValue, [](const TagItem& t) { return QVariant(t.Value()); }, "old"},
};

} // namespace

class TestTagModel : public QObject {
    Q_OBJECT

private slots:
    void setters_data() {
        QTest::addColumn<QString>("conversion");
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QVariant>("expected"); // none: refused, the old value stays
        const auto row = [](const char* conversion, const char* name, const QVariant& input,
                            const QVariant& expected) {
            QTest::addRow("%s: %s", conversion, name) << conversion << input << expected;
        };
        const QVariant refused;
        row("whole", "text with blanks", QStringLiteral(" -7 "), -7);
        row("whole", "fractional text", QStringLiteral("2.5"), 2);
        row("whole", "2.5 to even", 2.5, 2);
        row("whole", "2.6 up", 2.6, 3);
        row("whole", "largest", 2147483647.0, 2147483647);
        row("whole", "smallest after rounding", -2147483648.5, std::numeric_limits<int>::min());
        row("whole", "rounds past largest", 2147483647.5, refused);
        row("whole", "64-bit value", qlonglong(4294967296LL), refused);
        row("whole", "text too large", QStringLiteral("3000000000"), refused);
        row("whole", "text beyond double", QStringLiteral("1e999"), refused);
        row("whole", "word", QStringLiteral("OFF"), refused);
        row("whole", "NaN", std::numeric_limits<double>::quiet_NaN(), refused);
        row("whole", "null", QVariant(), refused);
        row("whole", "Boolean counts as one", true, 1);
        row("Boolean", "true", true, true);
        row("Boolean", "-1", -1, true);
        row("Boolean", "0", 0, false);
        row("Boolean", "0.4 is not zero", 0.4, true);
        row("Boolean", "text 0", QStringLiteral(" 0 "), false);
        row("Boolean", "text True", QStringLiteral("True"), true);
        row("Boolean", "word", QStringLiteral("yes"), refused);
        row("Boolean", "null", QVariant(), refused);
        row("text", "text", QStringLiteral("Kiln, 1"), QStringLiteral("Kiln, 1"));
        row("text", "empty text", QString(), QString());
        row("text", "int", -42, QStringLiteral("-42"));
        row("text", "double", 2.5, QStringLiteral("2.5"));
        row("text", "null", QVariant(), refused);
    }

    // Each setter of a conversion gets the same input; a refused value throws and leaves the
    // old one.
    void setters() {
        QFETCH(QString, conversion);
        QFETCH(QVariant, input);
        QFETCH(QVariant, expected);
        for (const Property& p : Properties) {
            if (conversion != QLatin1String(p.conversion))
                continue;
            TagItem item;
            (item.*p.set)(p.old);
            if (expected.isValid())
                (item.*p.set)(input);
            else
                QVERIFY_THROWS_EXCEPTION(ComponentError, (item.*p.set)(input));
            QCOMPARE(p.get(item), expected.isValid() ? expected : p.old);
        }
    }

    // Sampling rewrites a value in the storage it has; a copy handed out before must keep the
    // text it had, whatever the new value's length.
    void valueRewrittenInPlace_data() {
        QTest::addColumn<QStringList>("values");
        QTest::newRow("shorter, longer, empty")
            << QStringList{"123.45", "7", "1234567890123456789012345", "", "8.5"};
        QTest::newRow("same length") << QStringList{"1.25", "1.50", "1.75"};
        QTest::newRow("from empty") << QStringList{"", "OFF", "RUNNING"};
        QTest::newRow("non-ASCII") << QStringList{"Füllstand", "😀", "x"};
    }

    void valueRewrittenInPlace() {
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

    // Positions 1..3 hold records named "1", "2", "3"; an empty expected name means an error.
    void itemPosition_data() {
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

    void itemPosition() {
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

    void atReachesBeyondSixteenBits() {
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

    // Two records of one name stay apart, removal closes the gap, and a record handed out
    // outlives the collection's clearing.
    void sameNamesRemoveAndClear() {
        TagItems tags;
        for (const char* name : {"A", "B", "A"})
            tags.Add(QString::fromLatin1(name));
        const TagItems::Ptr third = tags.Item(3);
        QVERIFY(third != tags.Item(1));
        tags.Remove(QStringLiteral("2"));
        QStringList names;
        for (const auto& item : tags)
            names << item->Name();
        QCOMPARE(names, QStringList({QStringLiteral("A"), QStringLiteral("A")}));
        QCOMPARE(tags.Item(2), third);
        tags.Clear();
        QCOMPARE(tags.Count(), 0);
        QCOMPARE(third->Name(), QStringLiteral("A"));
        QVERIFY_THROWS_EXCEPTION(ComponentError, tags.Item(1));
    }
};

QTEST_GUILESS_MAIN(TestTagModel)
#include "test_tagmodel.moc"
