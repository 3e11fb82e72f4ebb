// The heading-line formatter: worked names, edge cases, and the slow reference formatter
// (fuzz/oracles/ReferenceFormatter.h), which the fast one must match exactly.

#include "layout/modSVCorblexAppGen.h"
#include "oracles/ReferenceFormatter.h"

#include <QRandomGenerator>
#include <QTest>

using namespace modSVCorblexAppGen;

namespace {

// Random text over a small alphabet rich in spaces, "_" and "."; words of up to maxWord
// letters.
QString RandomName(QRandomGenerator& rng, int length, int maxWord) {
    static const QString separators[] = {QStringLiteral(" "), QStringLiteral("  "),
                                         QStringLiteral("_"), QStringLiteral(".")};
    QString s;
    while (s.size() < length) {
        const quint32 pick = rng.bounded(8u);
        if (pick < 4)
            s += separators[pick];
        else
            s += QString(rng.bounded(1, maxWord + 1), QChar(u'a' + rng.bounded(3))) + u' ';
    }
    return s.left(length);
}

} // namespace

class TestFormatter : public QObject {
    Q_OBJECT

private slots:
    // entry = the number shown in the heading-lines list; breaks = entry - 1.
    void formatVariableName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("entry");
        QTest::addColumn<QString>("expected");

        QTest::newRow("two lines") << "Kiln Inlet Temperature" << 2 << "Kiln Inlet_Temperature";
        QTest::newRow("three lines") << "Boiler Feed Water Flow" << 3 << "Boiler_Feed_Water Flow";
        QTest::newRow("longest word sets the start")
            << "Pump Discharge PV" << 2 << "Pump_Discharge PV";
        QTest::newRow("untouched mode") << "Tank 12  Level.PV" << 0 << "Tank 12 Level_PV";
        QTest::newRow("one line keeps dots") << "Tank 12  Level.PV" << 1 << "Tank 12 Level.PV";
        QTest::newRow("own breaks suffice") << "Line_3 Speed" << 2 << "Line_3 Speed";
        QTest::newRow("own breaks exceed") << "A_B_C D" << 2 << "A_B_C D";
        QTest::newRow("own breaks in untouched mode") << "Line_3.Speed" << 0 << "Line_3_Speed";
        QTest::newRow("own breaks wrapped as text")
            << "Reactor_2 Jacket Outlet Temperature" << 4 << "Reactor_2_Jacket_Outlet_Temperature";
        QTest::newRow("no more lines than words") << "A B" << 6 << "A_B";
        QTest::newRow("spaces never reach the result")
            << "  Kiln   Inlet  Temperature " << 2 << "Kiln Inlet_Temperature";
        QTest::newRow("word never split")
            << "A Supercalifragilistic B" << 2 << "A_Supercalifragilistic B";
        QTest::newRow("full-width word before a space") << "ABCD EFGH" << 2 << "ABCD_EFGH";
        QTest::newRow("full-width middle line") << "AB CDEFGHIJ K" << 3 << "AB_CDEFGHIJ_K";
        QTest::newRow("tab is not a space") << "Kiln\tInlet" << 2 << "Kiln\tInlet";
        for (int entry : {0, 1, 2, 9}) {
            QTest::addRow("empty, entry %d", entry) << "" << entry << "";
            QTest::addRow("spaces only, entry %d", entry) << "   " << entry << "";
        }
        for (int entry : {2, 5, 9})
            QTest::addRow("single word, entry %d", entry)
                << "Temperature" << entry << "Temperature";

        // Two long words on nine lines leave 7 empty lines: 7 * 1428 = 9996 unfilled cells still
        // scores, 7 * 1429 = 10003 does not, and then the name stays on one line.
        const QString a1428 = QString(1428, u'A');
        const QString b1428 = QString(1428, u'B');
        const QString a1429 = QString(1429, u'A');
        const QString b1429 = QString(1429, u'B');
        QTest::newRow("long words, just scores")
            << a1428 + u' ' + b1428 << 9 << a1428 + u'_' + b1428;
        QTest::newRow("long words, nothing scores")
            << a1429 + u' ' + b1429 << 9 << a1429 + u' ' + b1429;
        QTest::newRow("long words, two lines") << a1429 + u' ' + b1429 << 2 << a1429 + u'_' + b1429;
        QTest::newRow("single word over 9999") << QString(10000, u'W') << 2 << QString(10000, u'W');
    }

    void formatVariableName() {
        QFETCH(QString, name);
        QFETCH(int, entry);
        QFETCH(QString, expected);
        QCOMPARE(FormatVariableName(name, entry - 1), expected);
        QCOMPARE(reference::FormatVariableName(name, entry - 1), expected);
    }

    // Every width from 0 past the end, on texts that were not collapsed first.
    void splitAtWidthMatchesReference() {
        QRandomGenerator rng(20261205);
        for (int round = 0; round < 400; ++round) {
            const QString s = RandomName(rng, rng.bounded(0, 30), 6);
            for (qint32 n = 1; n <= 9; ++n) {
                for (qint32 w = 0; w <= s.size() + 2; ++w) {
                    qint64 expectedScore = 0;
                    qint32 score = 0;
                    const auto expected = reference::SplitAtWidth(s, n, w, expectedScore);
                    const auto actual = SplitAtWidth(s, n, w, score);
                    const bool same =
                        actual.size() + 1 == expected.size() &&
                        std::equal(actual.begin(), actual.end(), expected.begin() + 1);
                    if (!same || score != expectedScore)
                        QFAIL(qPrintable(QStringLiteral("\"%1\" n=%2 w=%3").arg(s).arg(n).arg(w)));
                }
            }
        }
    }

    void wrapWordsMatchesReference() {
        QRandomGenerator rng(7);
        for (int round = 0; round < 1000; ++round) {
            const QString s = RandomName(rng, rng.bounded(0, 60), round % 2 ? 4 : 12);
            for (qint32 breaks = 1; breaks <= 8; ++breaks) {
                const QString expected = reference::WrapWords(s, breaks);
                const QString actual = WrapWords(s, breaks, QStringLiteral("_"));
                if (actual != expected)
                    QFAIL(qPrintable(QStringLiteral("\"%1\" breaks=%2: \"%3\", expected \"%4\"")
                                         .arg(s)
                                         .arg(breaks)
                                         .arg(actual, expected)));
            }
            for (qint32 breaks = -1; breaks <= 8; ++breaks)
                QCOMPARE(FormatVariableName(s, breaks), reference::FormatVariableName(s, breaks));
        }
    }

    // Names long enough for the unfilled width to come near the score of a rejected width, where
    // stopping the width search early matters most.
    void formatMatchesReferenceOnLongNames() {
        QRandomGenerator rng(99);
        for (int round = 0; round < 12; ++round) {
            const int maxWord = 1 + rng.bounded(round < 6 ? 40 : 700);
            const QString s = RandomName(rng, rng.bounded(800, 2500), maxWord);
            for (qint32 breaks = 1; breaks <= 8; ++breaks)
                QCOMPARE(FormatVariableName(s, breaks), reference::FormatVariableName(s, breaks));
        }
    }

    // Hostile names of a million characters finish for every entry. Lines joined again by spaces
    // give back the collapsed name, as no text is lost; beyond two lines the two halves leave
    // so much unfilled width that no width scores and the name stays on one line.
    void megabyteName() {
        QRandomGenerator rng(1);
        QString words;
        while (words.size() < 1'000'000) {
            words += QString(rng.bounded(1, 13), QChar(u'a' + rng.bounded(26)));
            words += rng.bounded(4) ? QStringLiteral(" ") : QStringLiteral("   ");
        }
        const QString collapsed = CollapseSpaces(words);
        const QString oneWord(1'000'000, u'x');
        const QString twoHalves = QString(500'000, u'p') + u' ' + QString(499'999, u'q');

        for (int entry = 0; entry <= 9; ++entry) {
            const QString result = FormatVariableName(words, entry - 1);
            if (entry <= 1) {
                QCOMPARE(result, collapsed);
            } else {
                QVERIFY(CountChar(result, QStringLiteral("_")) <= entry - 1);
                QCOMPARE(QString(result).replace(u'_', u' '), collapsed);
            }
            QCOMPARE(FormatVariableName(oneWord, entry - 1), oneWord);
            const QString halves = FormatVariableName(twoHalves, entry - 1);
            QCOMPARE(halves, entry == 2 ? QString(twoHalves).replace(u' ', u'_') : twoHalves);
        }
    }
};

QTEST_GUILESS_MAIN(TestFormatter)
#include "test_formatter.moc"
