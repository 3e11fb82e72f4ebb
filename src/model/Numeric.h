#pragma once
// What text counts as a number everywhere in the program (sample-rate box, port box and sampled
// values): optional blanks, an optional sign, digits with at most one "." and digits on at
// least one side of it, an optional exponent (e or E, optional sign, digits), optional
// blanks. Nothing else: no letters, no thousands separators, no NaN or Inf, not empty. The
// decimal point is always "." whatever the locale.

#include <QStringView>
#include <optional>

namespace numeric {

bool IsNumeric(QStringView text);
// The value of a numeric text; nullopt when the text is not numeric or does not fit a double.
std::optional<double> ParseNumber(QStringView text);
// Rounds to the nearest whole number, an exact half to the even neighbour.
double RoundHalfEven(double value);

} // namespace numeric
