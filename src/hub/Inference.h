#pragma once
// Property inference for one tag and one sampled value: field type ("N" or "T"), length,
// decimals and integer width only ever widen, and a tag that once showed text stays text.

#include <QString>
#include <QStringView>

struct TagProperties {
    QString fieldType; // "N" or "T"
    qint32 length = 1;
    qint32 decimals = 0;
    qint32 integers = 1;
    friend bool operator==(const TagProperties&, const TagProperties&) = default;
};

// The properties after seeing `value`. Comparisons are strictly greater-than; characters are
// counted as they stand (sign, blanks and the point count). An empty value changes nothing.
TagProperties InferProperties(const TagProperties& current, QStringView value);

// Exact comparison of two field types. They are one character nearly always, so that case is
// decided here without a call into the string library.
inline bool SameFieldType(const QString& a, const QString& b) {
    const qsizetype n = a.size();
    if (n != b.size())
        return false;
    if (n == 1)
        return a.front() == b.front();
    return n == 0 || a == b;
}

// True when `next` differs from `current` in any of the four properties (the field type
// compared as exact text).
inline bool PropertiesChanged(const TagProperties& current, const TagProperties& next) {
    return !(current.length == next.length && current.decimals == next.decimals &&
             current.integers == next.integers && SameFieldType(current.fieldType, next.fieldType));
}
