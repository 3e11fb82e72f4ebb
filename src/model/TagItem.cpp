#include "model/TagItem.h"

#include "hub/Numeric.h"
#include "model/Component.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace {

bool IsNull(const QVariant& v) {
    return !v.isValid() || v.isNull();
}

bool IsFloatingType(int typeId) {
    return typeId == QMetaType::Double || typeId == QMetaType::Float;
}

bool IsIntegerType(int typeId) {
    switch (typeId) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return true;
    default:
        return false;
    }
}

bool IsTextType(int typeId) {
    return typeId == QMetaType::QString || typeId == QMetaType::QByteArray ||
           typeId == QMetaType::QChar || typeId == QMetaType::Char16 || typeId == QMetaType::Char32;
}

// The text form of a value: numbers become their decimal text (shortest round-trip form).
QString ToText(const QVariant& v, const char* property) {
    if (IsNull(v))
        throw ComponentError(QStringLiteral("TagItem.%1: a null value cannot be stored as text")
                                 .arg(QLatin1String(property)));
    const int typeId = v.metaType().id();
    if (IsFloatingType(typeId))
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    if (v.canConvert<QString>())
        return v.toString();
    throw ComponentError(QStringLiteral("TagItem.%1: a %2 value cannot be stored as text")
                             .arg(QLatin1String(property), QLatin1String(v.typeName())));
}

[[noreturn]] void ThrowNotWhole(const char* property, const QVariant& v) {
    throw ComponentError(QStringLiteral("TagItem.%1: \"%2\" is not a whole number in range")
                             .arg(QLatin1String(property), v.toString()));
}

// A whole 32-bit number from a number or numeric text; fractions round halves to even.
qint32 ToWhole(const QVariant& v, const char* property) {
    if (IsNull(v))
        ThrowNotWhole(property, v);
    const int typeId = v.metaType().id();
    double value = 0;
    if (typeId == QMetaType::Bool) {
        value = v.toBool() ? 1 : 0;
    } else if (IsIntegerType(typeId)) {
        if (typeId == QMetaType::ULongLong || typeId == QMetaType::ULong ||
            typeId == QMetaType::UInt) {
            const qulonglong u = v.toULongLong();
            if (u > qulonglong(std::numeric_limits<qint32>::max()))
                ThrowNotWhole(property, v);
            return qint32(u);
        }
        const qlonglong l = v.toLongLong();
        if (l < std::numeric_limits<qint32>::min() || l > std::numeric_limits<qint32>::max())
            ThrowNotWhole(property, v);
        return qint32(l);
    } else if (IsFloatingType(typeId)) {
        value = v.toDouble();
    } else if (IsTextType(typeId)) {
        const auto parsed = numeric::ParseNumber(v.toString());
        if (!parsed)
            ThrowNotWhole(property, v);
        value = *parsed;
    } else {
        ThrowNotWhole(property, v);
    }
    const double rounded = numeric::RoundHalfEven(value);
    if (!(rounded >= double(std::numeric_limits<qint32>::min()) &&
          rounded <= double(std::numeric_limits<qint32>::max())))
        ThrowNotWhole(property, v); // also refuses NaN
    return qint32(rounded);
}

// A truth value: booleans as they are, numbers (and numeric text) true unless zero, and the
// words "true" and "false" in any letter case.
bool ToTruth(const QVariant& v) {
    if (IsNull(v))
        throw ComponentError(QStringLiteral("TagItem.Selected: a null value is not a truth value"));
    const int typeId = v.metaType().id();
    if (typeId == QMetaType::Bool)
        return v.toBool();
    if (IsIntegerType(typeId))
        return v.toLongLong() != 0 || v.toULongLong() != 0;
    if (IsFloatingType(typeId))
        return v.toDouble() != 0.0;
    if (IsTextType(typeId)) {
        const QString text = v.toString();
        if (const auto parsed = numeric::ParseNumber(text))
            return *parsed != 0.0;
        if (numeric::IsNumeric(text))
            return true; // too large for a double, but certainly not zero
        const QString trimmed = text.trimmed();
        if (trimmed.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        if (trimmed.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
            return false;
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
void TagItem::SetSelected(const QVariant& v) {
    selected_ = ToTruth(v);
}
