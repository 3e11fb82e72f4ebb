#include "model/TagItem.h"

#include "component/Component.h"
#include "model/Numeric.h"
#include "model/VariantNumber.h"

#include <QLocale>

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

using variantnumber::IsNull;

// The text form of a value: numbers become their decimal text (the shortest form that reads
// back as the same number).
QString ToText(const QVariant& v, const char* property) {
    if (IsNull(v))
        throw ComponentError(QStringLiteral("TagItem.%1: a null value cannot be stored as text")
                                 .arg(QLatin1String(property)));
    const int typeId = v.metaType().id();
    if (typeId == QMetaType::Double || typeId == QMetaType::Float)
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    if (v.canConvert<QString>())
        return v.toString();
    throw ComponentError(QStringLiteral("TagItem.%1: a %2 value cannot be stored as text")
                             .arg(QLatin1String(property), QLatin1String(v.typeName())));
}

// A whole 32-bit number from a number or numeric text; fractions round halves to even.
// A Boolean counts as 1 or 0.
qint32 ToWhole(const QVariant& v, const char* property) {
    std::optional<double> value;
    if (!IsNull(v))
        value = v.metaType().id() == QMetaType::Bool ? (v.toBool() ? 1.0 : 0.0)
                                                     : variantnumber::NumberOf(v);
    const double rounded = value ? numeric::RoundHalfEven(*value) : 0.0;
    if (!value || !(rounded >= double(std::numeric_limits<qint32>::min()) &&
                    rounded <= double(std::numeric_limits<qint32>::max())))
        throw ComponentError(QStringLiteral("TagItem.%1: \"%2\" is not a whole number in range")
                                 .arg(QLatin1String(property), v.toString()));
    return qint32(rounded);
}

// A truth value: Booleans as they are, numbers (and numeric text) true unless zero, and the
// words "true" and "false" in any letter case.
bool ToTruth(const QVariant& v) {
    if (!IsNull(v)) {
        if (v.metaType().id() == QMetaType::Bool)
            return v.toBool();
        if (const auto value = variantnumber::NumberOf(v))
            return *value != 0.0;
        if (variantnumber::HoldsText(v)) {
            const QString word = v.toString().trimmed();
            if (word.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
                return true;
            if (word.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
                return false;
        }
    }
    throw ComponentError(
        QStringLiteral("TagItem.Selected: \"%1\" is not a truth value").arg(v.toString()));
}

} // namespace

void TagItem::SetName(const QVariant& v) {
    name_ = ToText(v, "Name");
}
void TagItem::SetVariable(const QVariant& v) {
    variable_ = ToText(v, "Variable");
}
void TagItem::SetFieldType(const QVariant& v) {
    fieldType_ = ToText(v, "FieldType");
}
void TagItem::SetLength(const QVariant& v) {
    length_ = ToWhole(v, "Length");
}
void TagItem::SetDecimals(const QVariant& v) {
    decimals_ = ToWhole(v, "Decimals");
}
void TagItem::SetIntegers(const QVariant& v) {
    integers_ = ToWhole(v, "Integers");
}
void TagItem::SetValue(const QVariant& v) {
    value_ = ToText(v, "Value");
}
void TagItem::SetValue(QStringView v) {
    const qsizetype n = v.size();
    if (value_.isDetached() && value_.capacity() >= n) {
        value_.resize(n); // keeps the storage
        if (n > 0)
            std::memmove(value_.data(), v.data(), size_t(n) * sizeof(QChar));
        return;
    }
    // A little room to spare: most values move by a digit now and then, and the heap hands
    // out blocks of this size anyway.
    constexpr qsizetype kSpare = 12;
    QString fresh;
    fresh.reserve(std::max(n, kSpare));
    fresh.append(v);
    value_ = std::move(fresh);
}
void TagItem::SetSelected(const QVariant& v) {
    selected_ = ToTruth(v);
}
