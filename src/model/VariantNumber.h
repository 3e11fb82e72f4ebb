#pragma once
// Reading numbers out of variants the one way the tag model needs: number types as they
// are, text by the program's numeric rule.

#include <QVariant>
#include <optional>

namespace variantnumber {

// An invalid variant or one holding a null pointer: it has no value to convert.
bool IsNull(const QVariant& v);

// True for the variant types that hold text (text, bytes, a single character).
bool HoldsText(const QVariant& v);

// The number a variant stands for: a number type's value, or the value of numeric text
// (plus or minus infinity when the text is numeric but too large for a double). nullopt for
// anything else, Booleans included.
std::optional<double> NumberOf(const QVariant& v);

} // namespace variantnumber
