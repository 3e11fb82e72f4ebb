// Fuzzes the splitting of the hub's answers and the per-tag work of a sample.
//
// Input: a "GETTAGS" answer, a NUL byte, a "GETVALUES" answer (without a NUL the whole input
// is the values answer and the tag list is taken from its entry names). Both are decoded as
// UTF-8, as the hub reader does.
//
// Checks: both splits agree with a plain reading of the text; the sampling page's checks
// (entry count equals tag count, each entry's name equals its tag's name ignoring case, the
// latter compared with a full upper-case comparison); then every tag, starting from the
// initial properties N/1/0/1, sees the values of several samples, and after each value the
// inference invariants hold and the result equals what a reading of all the values seen so
// far, taken together, says the tag must be.

#include "FuzzSupport.h"
#include "hub/Answers.h"
#include "hub/Inference.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace {

// What a tag that starts as N/1/0/1 has become after seeing `values`, read off the whole
// sequence at once instead of value by value: empty values are not looked at; while every
// value seen is a number the tag is a number whose integer and decimal widths are the widest
// parts before and after a point of any value, and whose length is those two plus the point;
// from the first value that is not a number on, it is text as long as the numeric length
// reached before, or the longest value seen since, whichever is more.
TagProperties PropertiesAfter(const QStringList& values) {
    QStringList seen;
    for (const QString& v : values)
        if (!v.isEmpty())
            seen.append(v);
    qsizetype firstText = 0;
    while (firstText < seen.size() && fuzz::ReferenceIsNumeric(seen[firstText]))
        ++firstText;

    qint32 integers = 1;
    qint32 decimals = 0;
    for (qsizetype k = 0; k < firstText; ++k) {
        const QString& v = seen[k];
        const qsizetype point = v.indexOf(QLatin1Char('.'));
        integers = std::max(integers, qint32(point < 0 ? v.size() : point));
        decimals = std::max(decimals, qint32(point < 0 ? 0 : v.size() - point - 1));
    }
    const qint32 numericLength = integers + decimals + (decimals > 0 ? 1 : 0);
    if (firstText == seen.size())
        return {QStringLiteral("N"), numericLength, decimals, integers};

    qint32 length = numericLength;
    for (qsizetype k = firstText; k < seen.size(); ++k)
        length = std::max(length, qint32(seen[k].size()));
    return {QStringLiteral("T"), length, 0, 0};
}

void CheckStep(const TagProperties& before, const TagProperties& after, QStringView value) {
    FUZZ_CHECK(after.fieldType == QLatin1String("N") || after.fieldType == QLatin1String("T"));
    // Text stays text; the length never shrinks.
    FUZZ_CHECK(!(before.fieldType == QLatin1String("T") && after.fieldType != before.fieldType));
    FUZZ_CHECK(after.length >= before.length);
    if (value.isEmpty())
        FUZZ_CHECK(after == before);
    if (after.fieldType == QLatin1String("N")) {
        FUZZ_CHECK(after.decimals >= before.decimals && after.integers >= before.integers);
        FUZZ_CHECK(after.length >= after.integers + after.decimals + (after.decimals >= 1 ? 1 : 0));
    } else {
        FUZZ_CHECK(after.length >= qint32(value.size()));
        if (before.fieldType == QLatin1String("N")) {
            FUZZ_CHECK(after.decimals == 0 && after.integers == 0);
        } else {
            FUZZ_CHECK(after.decimals == before.decimals && after.integers == before.integers);
        }
    }
    FUZZ_CHECK(PropertiesChanged(before, after) == !(after == before));
}

void CheckTagList(const QString& answer, const QStringList& tags) {
    if (answer.isEmpty()) {
        FUZZ_CHECK(tags.isEmpty());
        return;
    }
    FUZZ_CHECK(tags.size() == answer.count(QLatin1Char(',')) + 1);
    FUZZ_CHECK(tags.join(QLatin1Char(',')) == answer);
}

void CheckValues(const QString& answer, const std::vector<answers::ValueEntry>& entries) {
    if (answer.isEmpty()) {
        FUZZ_CHECK(entries.empty());
        return;
    }
    FUZZ_CHECK(qsizetype(entries.size()) == answer.count(QLatin1Char('\t')) + 1);
    // Walk the answer by hand: each entry runs to the next tab; its name runs to its first
    // comma, its value is the rest after that comma.
    qsizetype begin = 0;
    for (const answers::ValueEntry& e : entries) {
        qsizetype end = answer.indexOf(QLatin1Char('\t'), begin);
        if (end < 0)
            end = answer.size();
        const QStringView entry = QStringView(answer).sliced(begin, end - begin);
        qsizetype comma = -1;
        for (qsizetype i = 0; i < entry.size(); ++i) {
            if (entry[i] == QLatin1Char(',')) {
                comma = i;
                break;
            }
        }
        const QStringView name = comma < 0 ? entry : entry.first(comma);
        const QStringView value = comma < 0 ? QStringView() : entry.sliced(comma + 1);
        FUZZ_CHECK(e.name == name);
        FUZZ_CHECK(e.value == value);
        FUZZ_CHECK(!e.name.contains(QLatin1Char(',')) && !e.name.contains(QLatin1Char('\t')));
        FUZZ_CHECK(!e.value.contains(QLatin1Char('\t')));
        begin = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const QString valuesAnswer =
        nul ? fuzz::FromUtf8(nul + 1, size - size_t(nul + 1 - data)) : fuzz::FromUtf8(data, size);
    const std::vector<answers::ValueEntry> entries = answers::SplitValues(valuesAnswer);
    CheckValues(valuesAnswer, entries);

    QString tagAnswer;
    if (nul) {
        tagAnswer = fuzz::FromUtf8(data, size_t(nul - data));
    } else {
        QStringList names;
        for (const answers::ValueEntry& e : entries)
            names.append(e.name.toString());
        tagAnswer = names.join(QLatin1Char(','));
    }
    const QStringList tags = answers::SplitTagList(tagAnswer);
    CheckTagList(tagAnswer, tags);

    // The sampling page's checks: the same count, then the same name at every position.
    bool listChanged = qsizetype(entries.size()) != tags.size();
    for (qsizetype i = 0; !listChanged && i < tags.size(); ++i) {
        const QStringView entryName = entries[size_t(i)].name;
        const bool same = answers::SameTagName(tags[i], entryName);
        FUZZ_CHECK(same == (tags[i].toUpper() == entryName.toString().toUpper()));
        FUZZ_CHECK(answers::SameTagName(tags[i], tags[i]));
        listChanged = !same;
    }
    // Without a tag list of its own the names come from the answer, so they always match
    // (as long as no name held a comma and so became two tags).
    if (!nul && !tagAnswer.isEmpty() && tags.size() == qsizetype(entries.size()))
        FUZZ_CHECK(!listChanged);

    // Inference: tag i sees, sample after sample, the value of entry i, then of the entries
    // after it, so each tag meets a sequence of different values.
    const size_t n = entries.size();
    const size_t samples = std::min<size_t>(n, 4);
    for (size_t i = 0; i < n; ++i) {
        TagProperties props{QStringLiteral("N"), 1, 0, 1};
        QStringList seen;
        for (size_t s = 0; s < samples; ++s) {
            const QStringView value = entries[(i + s) % n].value;
            const TagProperties next = InferProperties(props, value);
            CheckStep(props, next, value);
            seen.append(value.toString());
            FUZZ_CHECK(next == PropertiesAfter(seen));
            // A second look at the same value changes nothing.
            FUZZ_CHECK(InferProperties(next, value) == next);
            props = next;
        }
    }
    return 0;
}
