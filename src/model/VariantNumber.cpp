#include "model/VariantNumber.h"

#include "model/Numeric.h"

#include <limits>

namespace variantnumber {

bool IsNull(const QVariant& v) {
    return !v.isValid() || v.isNull();
}

bool HoldsText(const QVariant& v) {
    switch (v.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::QChar:
    case QMetaType::Char16:
    case QMetaType::Char32:
        return true;
    default:
        return false;
    }
}

std::optional<double> NumberOf(const QVariant& v) {
    switch (v.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return double(v.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return double(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    default:
        break;
    }
    if (!HoldsText(v))
        return std::nullopt;
    const QString text = v.toString();
    if (const auto value = numeric::ParseNumber(text))
        return value;
    if (!numeric::IsNumeric(text))
        return std::nullopt;
    // Numeric, but beyond a double: an infinity of the text's sign.
    const bool negative = text.trimmed().startsWith(u'-');
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
}

} // namespace variantnumber
