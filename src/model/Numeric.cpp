#include "model/Numeric.h"

#include <charconv>
#include <cmath>
#include <string>

namespace numeric {

namespace {

// What one pass over a numeric text found, as offsets into the text.
struct Scan {
    bool ok = false;
    bool negative = false;
    qsizetype intBegin = 0, intEnd = 0;   // digits before the point
    qsizetype fracBegin = 0, fracEnd = 0; // digits after the point
    qsizetype expBegin = 0, expEnd = 0;   // exponent digits
    bool expNegative = false;
};

inline bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// One hand-written pass: no allocation, no locale, no regular expression. Only the space
// character is a blank.
inline Scan ScanNumber(QStringView text) {
    Scan r;
    const char16_t* p = text.utf16();
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n && p[i] == u' ')
        ++i;
    if (i < n && (p[i] == u'+' || p[i] == u'-')) {
        r.negative = p[i] == u'-';
        ++i;
    }
    r.intBegin = i;
    while (i < n && IsDigit(p[i]))
        ++i;
    r.intEnd = i;
    r.fracBegin = r.fracEnd = i;
    if (i < n && p[i] == u'.') {
        ++i;
        r.fracBegin = i;
        while (i < n && IsDigit(p[i]))
            ++i;
        r.fracEnd = i;
    }
    if (r.intEnd == r.intBegin && r.fracEnd == r.fracBegin)
        return r; // no digit on either side of the point
    r.expBegin = r.expEnd = i;
    if (i < n && (p[i] == u'e' || p[i] == u'E')) {
        ++i;
        if (i < n && (p[i] == u'+' || p[i] == u'-')) {
            r.expNegative = p[i] == u'-';
            ++i;
        }
        r.expBegin = i;
        while (i < n && IsDigit(p[i]))
            ++i;
        r.expEnd = i;
        if (r.expEnd == r.expBegin)
            return r; // "e" without digits
    }
    while (i < n && p[i] == u' ')
        ++i;
    r.ok = i == n;
    return r;
}

// The decimal order of magnitude of a non-zero numeric text (1.0e<order> <= |value| <
// 1.0e<order+1>), saturated far beyond what a double can hold. Tells an overflow from an
// underflow when the conversion reports a value out of range.
qint64 DecimalOrder(QStringView text, const Scan& s) {
    constexpr qint64 Cap = qint64(1) << 40;
    qint64 exponent = 0;
    for (qsizetype i = s.expBegin; i < s.expEnd && exponent < Cap; ++i)
        exponent = exponent * 10 + (text[i].unicode() - u'0');
    if (s.expNegative)
        exponent = -exponent;
    for (qsizetype i = s.intBegin; i < s.intEnd; ++i)
        if (text[i] != u'0')
            return exponent + (s.intEnd - i) - 1;
    for (qsizetype i = s.fracBegin; i < s.fracEnd; ++i)
        if (text[i] != u'0')
            return exponent - (i - s.fracBegin) - 1;
    return 0;
}

} // namespace

bool IsNumeric(QStringView text) {
    return ScanNumber(text).ok;
}

std::optional<double> ParseNumber(QStringView text) {
    const Scan s = ScanNumber(text);
    if (!s.ok)
        return std::nullopt;

    // Rebuild the number in the one form the conversion reads: "-", digits, ".", digits,
    // "e", "-", digits. Short texts (all real ones) use the stack.
    const qsizetype needed = 1 + (s.intEnd - s.intBegin) + 1 + (s.fracEnd - s.fracBegin) + 2 +
                             (s.expEnd - s.expBegin) + 1;
    char stackBuffer[128];
    std::string heapBuffer;
    char* out = stackBuffer;
    if (needed > qsizetype(sizeof stackBuffer)) {
        heapBuffer.resize(size_t(needed));
        out = heapBuffer.data();
    }
    char* const begin = out;
    if (s.negative)
        *out++ = '-';
    if (s.intEnd == s.intBegin)
        *out++ = '0';
    for (qsizetype i = s.intBegin; i < s.intEnd; ++i)
        *out++ = char(text[i].unicode());
    if (s.fracEnd > s.fracBegin) {
        *out++ = '.';
        for (qsizetype i = s.fracBegin; i < s.fracEnd; ++i)
            *out++ = char(text[i].unicode());
    }
    if (s.expEnd > s.expBegin) {
        *out++ = 'e';
        if (s.expNegative)
            *out++ = '-';
        for (qsizetype i = s.expBegin; i < s.expEnd; ++i)
            *out++ = char(text[i].unicode());
    }

    double value = 0;
    const auto [ptr, ec] = std::from_chars(begin, out, value);
    if (ec == std::errc::result_out_of_range) {
        if (DecimalOrder(text, s) > 0)
            return std::nullopt;        // too large for a double
        return s.negative ? -0.0 : 0.0; // too small: it is zero as far as a double goes
    }
    if (ec != std::errc() || ptr != out)
        return std::nullopt;
    return value;
}

double RoundHalfEven(double value) {
    // From the whole number below: value - below is exact for every double, so halves are
    // told exactly. (Some C libraries round as floor(value + 0.5), which takes the largest
    // double below 0.5 up to 1.)
    if (!std::isfinite(value))
        return value;
    const double below = std::floor(value);
    const double fraction = value - below;
    if (fraction > 0.5)
        return below + 1.0;
    if (fraction < 0.5)
        return below;
    return std::fmod(below, 2.0) == 0.0 ? below : below + 1.0; // an exact half: the even one
}

} // namespace numeric
