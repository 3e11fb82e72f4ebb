#pragma once
// How the hub writes a number on the wire: fixed point with "." and exactly the tag's
// decimals, never an exponent, never "-0", and never digits the number does not have.

#include <QByteArray>

namespace gateway {

// The most bytes WriteNumber writes.
constexpr qsizetype MaxNumberBytes = 40;
// Numbers of this magnitude or more are not published (empty): no process value is this large,
// so such a value is a wrong word order, scale or type.
constexpr long double NumberLimit = 1e21L;

// Writes `value` with `decimals` (0 to 9) digits after the point at `out`, which has room for
// MaxNumberBytes; returns the end of what was written. Nothing is written for infinities, NaN
// and numbers beyond NumberLimit. Whole numbers below 2^63 with no decimals are exact; beyond
// 2^53 otherwise, the first 15 significant digits are kept and the rest are zeros.
char* WriteNumber(char* out, long double value, int decimals);
// The same for a double, with the common case in double arithmetic: the simulated tags of a
// large table are written this way, a million in each answer.
char* WriteNumber(char* out, double value, int decimals);

// The same as a byte array.
QByteArray FormatNumber(long double value, int decimals);

} // namespace gateway
