// The tag record's value storage and the collection's addressing by position.

#include "component/Component.h"
#include "model/TagItem.h"
#include "model/TagItems.h"

#include <QTest>

class TestTagModel : public QObject {
    Q_OBJECT

private slots:
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

    // Positions run past 16 bits; two records of one name stay apart; a record handed out
    // outlives its collection.
    void atReachesBeyondSixteenBits() {
        TagItems tags;
        tags.Reserve(40000);
        for (int i = 1; i <= 40000; ++i)
            tags.Add(QString::number(i));
        QCOMPARE(tags.At(40000).Name(), QStringLiteral("40000"));
        QCOMPARE(tags.At(1).Name(), QStringLiteral("1"));
        QVERIFY_THROWS_EXCEPTION(ComponentError, tags.At(0));
        QVERIFY_THROWS_EXCEPTION(ComponentError, tags.At(40001));
    }

    void sameNamesStayApart() {
        TagItem* first = nullptr;
        TagItems::Ptr third;
        {
            TagItems tags;
            for (const char* name : {"A", "B", "A"})
                tags.Add(QString::fromLatin1(name));
            first = &tags.At(1);
            third = *(tags.begin() + 2);
            QVERIFY(first != third.get());
            QCOMPARE(&tags.At(3), third.get());
        }
        QCOMPARE(third->Name(), QStringLiteral("A"));
    }
};

QTEST_GUILESS_MAIN(TestTagModel)
#include "test_tagmodel.moc"
