#include "gateway/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace gateway {

namespace {

constexpr long double Scale[] = {1, 1e1L, 1e2L, 1e3L, 1e4L, 1e5L, 1e6L, 1e7L, 1e8L, 1e9L};

// Writes `whole` / 10^decimals.
char* WriteScaled(char* out, qint64 whole, int decimals) {
    const bool negative = whole < 0;
    // Nothing is written for a value that rounds to zero: "-0" and "-0.00" read as 0 anyway.
    quint64 magnitude = negative ? quint64(0) - quint64(whole) : quint64(whole);
    if (negative && magnitude != 0)
        *out++ = '-';
    if (decimals == 0)
        return std::to_chars(out, out + 24, magnitude).ptr;
    quint64 unit = 1;
    for (int i = 0; i < decimals; ++i)
        unit *= 10;
    out = std::to_chars(out, out + 24, magnitude / unit).ptr;
    *out++ = '.';
    quint64 fraction = magnitude % unit;
    for (int i = decimals - 1; i >= 0; --i) {
        out[i] = char('0' + fraction % 10);
        fraction /= 10;
    }
    return out + decimals;
}

// Numbers too large for the exact path: 15 significant digits, the rest zeros.
char* WriteSignificant(char* out, long double value, int decimals) {
    char digits[64];
    // "d.dddddddddddddde+XX"
    const int n = std::snprintf(digits, sizeof digits, "%.14Le", std::fabs(value));
    const char* e = std::strchr(digits, 'e');
    if (n <= 0 || !e)
        return out;
    const int exponent = std::atoi(e + 1);
    char mantissa[16];
    int count = 0;
    for (const char* p = digits; p < e && count < 15; ++p)
        if (*p >= '0' && *p <= '9')
            mantissa[count++] = *p;
    if (value < 0)
        *out++ = '-';
    // Digits before the point: exponent + 1 (at least 1, as the value is at least 1 here).
    const int before = std::max(1, exponent + 1);
    for (int i = 0; i < before; ++i)
        *out++ = i < count ? mantissa[i] : '0';
    if (decimals > 0) {
        *out++ = '.';
        for (int i = 0; i < decimals; ++i) {
            const int at = before + i;
            *out++ = at < count ? mantissa[at] : '0';
        }
    }
    return out;
}

} // namespace

char* WriteNumber(char* out, long double value, int decimals) {
    if (!std::isfinite(value) || std::fabs(value) >= NumberLimit)
        return out;
    decimals = std::clamp(decimals, 0, 9);
    // 64-bit integers read from a device stay exact, up to the largest and down to the most
    // negative one (a long double holds every one of them).
    if (decimals == 0) {
        const long double whole = std::round(value);
        if (whole >= -0x1p63L && whole < 0x1p63L)
            return WriteScaled(out, qint64(whole), 0);
    }
    // Halves round away from zero, as people round by hand.
    const long double scaled = std::round(value * Scale[decimals]);
    // Below 2^53 every digit of a double is real.
    if (std::fabs(scaled) < 9e15L)
        return WriteScaled(out, qint64(scaled), decimals);
    return WriteSignificant(out, value, decimals);
}

char* WriteNumber(char* out, double value, int decimals) {
    static constexpr double ScaleDouble[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
    if (decimals >= 0 && decimals <= 9) {
        const double scaled = std::round(value * ScaleDouble[decimals]);
        if (std::fabs(scaled) < 9e15)
            return WriteScaled(out, qint64(scaled), decimals);
    }
    return WriteNumber(out, static_cast<long double>(value), decimals);
}

QByteArray FormatNumber(long double value, int decimals) {
    QByteArray text(MaxNumberBytes, Qt::Uninitialized);
    text.truncate(WriteNumber(text.data(), value, decimals) - text.constData());
    return text;
}

} // namespace gateway
