// Speed of the pure logic on realistic volumes: one sampling pass over 100,000 tags
// (inference with the numeric rule; splitting and matching the values answer) and the
// heading-line formatter on 100,000 names and on one name of a million characters.
// Prints "name value unit" lines; each figure is the best of a few runs.

#include "hub/Answers.h"
#include "hub/Inference.h"
#include "layout/modSVCorblexAppGen.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QStringList>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int TagCount = 100'000;

// Keeps results alive so the compiler cannot drop the work.
qint64 g_sink = 0;

double BestMs(int runs, const std::function<void()>& work) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

void Print(const QString& name, double value, const char* unit) {
    std::printf("%s %.3f %s\n", qPrintable(name), value, unit);
    std::fflush(stdout);
}

QStringList SampleValues(QRandomGenerator& rng) {
    static const char* const texts[] = {"OFF", "ON", "Running", "12 V", "Fault 3", "n/a", ""};
    QStringList values;
    values.reserve(TagCount);
    for (int i = 0; i < TagCount; ++i) {
        switch (rng.bounded(6)) {
        case 0:
            values << QString::fromLatin1(texts[rng.bounded(7)]);
            break;
        case 1:
            values << QString::number(rng.bounded(100000));
            break;
        case 2:
            values << QString::number(rng.generateDouble() * 2000 - 1000, 'f', rng.bounded(1, 5));
            break;
        case 3:
            values << QString::number(rng.generateDouble() * 1e6, 'E', 3);
            break;
        default:
            values << QString::number(rng.generateDouble() * 500, 'f', 2);
        }
    }
    return values;
}

QStringList TagNames(QRandomGenerator& rng) {
    static const char* const words[] = {
        "Kiln",  "Inlet",    "Outlet",  "Temperature", "Pressure", "Boiler", "Feed",
        "Water", "Flow",     "Pump",    "Discharge",   "PV",       "SP",     "Tank",
        "Level", "Reactor",  "Jacket",  "Line",        "Speed",    "Motor",  "Current",
        "Valve", "Position", "Zone",    "Setpoint",    "Alarm",    "High",   "Low",
        "Steam", "Header",   "Cooling", "Fan"};
    QStringList names;
    names.reserve(TagCount);
    for (int i = 0; i < TagCount; ++i) {
        QString name;
        const int count = rng.bounded(1, 7);
        for (int w = 0; w < count; ++w) {
            if (w > 0)
                name += rng.bounded(10) ? QStringLiteral(" ") : QStringLiteral("  ");
            name += QString::fromLatin1(words[rng.bounded(int(std::size(words)))]);
            if (rng.bounded(8) == 0)
                name += QLatin1Char('.') + QString::number(rng.bounded(1, 20));
            if (rng.bounded(12) == 0)
                name += QLatin1Char('_') + QString::number(rng.bounded(1, 9));
        }
        names << name;
    }
    return names;
}

QString MegabyteName(QRandomGenerator& rng) {
    QString name;
    name.reserve(1'000'020);
    while (name.size() < 1'000'000) {
        name += QString(rng.bounded(1, 13), QChar(u'a' + rng.bounded(26)));
        name += rng.bounded(4) ? QStringLiteral(" ") : QStringLiteral("   ");
    }
    return name;
}

} // namespace

int main() {
    QRandomGenerator rng(42);

    // One sampling pass: every tag's properties widened by its value.
    const QStringList values = SampleValues(rng);
    std::vector<TagProperties> properties(TagCount, TagProperties{QStringLiteral("N"), 1, 0, 1});
    Print(QStringLiteral("infer_100k_values"),
          BestMs(5,
                 [&] {
                     qint64 changed = 0;
                     for (int i = 0; i < TagCount; ++i) {
                         const TagProperties next =
                             InferProperties(properties[size_t(i)], values[i]);
                         changed += PropertiesChanged(properties[size_t(i)], next);
                         properties[size_t(i)] = next;
                     }
                     g_sink += changed;
                 }),
          "ms");

    // The values answer of one pass: split, and each entry's name checked against its tag.
    const QStringList names = TagNames(rng);
    QString answer;
    for (int i = 0; i < TagCount; ++i) {
        if (i > 0)
            answer += u'\t';
        answer += (i % 3 ? names[i] : names[i].toUpper()) + u',' + values[i];
    }
    Print(QStringLiteral("split_values_100k"),
          BestMs(5, [&] { g_sink += qint64(answers::SplitValues(answer).size()); }), "ms");
    const auto entries = answers::SplitValues(answer);
    Print(QStringLiteral("match_names_100k"),
          BestMs(5,
                 [&] {
                     qint64 same = 0;
                     for (size_t i = 0; i < entries.size(); ++i)
                         same += answers::SameTagName(names[qsizetype(i)], entries[i].name);
                     g_sink += same;
                 }),
          "ms");

    // The formatter over every entry of the heading-lines list (entry k: k - 1 breaks).
    for (int entry = 0; entry <= 9; ++entry) {
        Print(QStringLiteral("format_100k_names_entry_%1").arg(entry),
              BestMs(3,
                     [&] {
                         qint64 length = 0;
                         for (const QString& name : names)
                             length +=
                                 modSVCorblexAppGen::FormatVariableName(name, entry - 1).size();
                         g_sink += length;
                     }),
              "ms");
    }
    const QString huge = MegabyteName(rng);
    for (int entry = 0; entry <= 9; ++entry) {
        Print(QStringLiteral("format_1mb_name_entry_%1").arg(entry),
              BestMs(3,
                     [&] {
                         g_sink += modSVCorblexAppGen::FormatVariableName(huge, entry - 1).size();
                     }),
              "ms");
    }

    std::fprintf(stderr, "checksum %lld\n", static_cast<long long>(g_sink));
    return 0;
}
