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

// True when `next` differs from `current` in any of the four properties (the field type
// compared as exact text).
inline bool PropertiesChanged(const TagProperties& current, const TagProperties& next) {
    return !(current == next);
}
