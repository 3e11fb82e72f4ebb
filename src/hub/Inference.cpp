#include "hub/Inference.h"

#include "model/Numeric.h"

namespace {

// Shared so that turning a tag to text copies a reference, never allocates.
const QString& TextFieldType() {
    static const QString text = QStringLiteral("T");
    return text;
}

} // namespace

TagProperties InferProperties(const TagProperties& current, QStringView value) {
    if (value.isEmpty())
        return current;

    const qint32 n = static_cast<qint32>(value.size());
    TagProperties next = current;

    if (!numeric::IsNumeric(value)) {
        // Text: the tag stays text from now on; only the length counts.
        next.fieldType = TextFieldType();
        if (n > next.length)
            next.length = n;
        next.decimals = 0;
        next.integers = 0;
        return next;
    }

    if (current.fieldType.size() == 1 && current.fieldType.front() == u'T') {
        // A number seen by a text tag only widens the field.
        if (n > next.length)
            next.length = n;
        return next;
    }

    // A number seen by a numeric tag: characters before the first point (sign and blanks
    // included) widen the integer part, characters after it the decimals.
    qint32 point = 0; // 1-based, 0 if none; values are short, so a plain loop is quickest
    for (qint32 k = 0; k < n; ++k) {
        if (value[k] == u'.') {
            point = k + 1;
            break;
        }
    }
    if (point == 0) {
        if (n > next.integers)
            next.integers = n;
    } else {
        if (point - 1 > next.integers)
            next.integers = point - 1;
        if (n - point > next.decimals)
            next.decimals = n - point;
    }
    const qint32 total = next.decimals + next.integers + (next.decimals >= 1 ? 1 : 0);
    if (total > next.length)
        next.length = total;
    return next;
}
