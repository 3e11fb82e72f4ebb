// Fuzzes the numeric rule (IsNumeric, ParseNumber) and rounding (RoundHalfEven).
//
// Input: any bytes. They are read as UTF-8 text and, separately, as raw UTF-16 code units.
// Checks for each text:
// - IsNumeric agrees with an independent state-table matcher of numeric text;
// - ParseNumber gives a value exactly when the text is numeric and within a double's range,
//   and that value is the one the C library's correctly rounded strtod gives for the same
//   digits (a result too small for a normal double may come back as zero);
// - rounding the value agrees with the floating-point unit's ties-to-even rounding.
// The first eight bytes, as a double, also go through RoundHalfEven.

#include "FuzzSupport.h"
#include "model/Numeric.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

void CheckRounding(double value) {
    const double rounded = numeric::RoundHalfEven(value);
    const double reference = std::nearbyint(value); // default mode: nearest, ties to even
    if (std::isnan(value)) {
        FUZZ_CHECK(std::isnan(rounded));
        return;
    }
    FUZZ_CHECK(rounded == reference);
    if (std::isfinite(value))
        FUZZ_CHECK(std::fabs(rounded - value) <= 0.5);
}

void CheckText(const QString& text) {
    const bool numeric = numeric::IsNumeric(text);
    FUZZ_CHECK(numeric == fuzz::ReferenceIsNumeric(text));
    const std::optional<double> value = numeric::ParseNumber(text);
    if (!numeric) {
        FUZZ_CHECK(!value);
    } else {
        // Only ASCII digits, signs, point, e/E and blanks got this far.
        const std::string core = fuzz::NumericCore(text);
        errno = 0;
        const double reference = std::strtod(core.c_str(), nullptr);
        if (std::isinf(reference)) {
            FUZZ_CHECK(!value); // numeric, but too large for a double
        } else {
            FUZZ_CHECK(value.has_value());
            FUZZ_CHECK(std::isfinite(*value));
            FUZZ_CHECK(*value == reference); // subnormal results included
            FUZZ_CHECK(std::signbit(*value) == std::signbit(reference));
            CheckRounding(*value);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0; // long texts add nothing the short ones miss, and strtod is slow on them
    CheckText(fuzz::FromUtf8(data, size));
    CheckText(fuzz::FromUtf16(data, size));
    if (size >= sizeof(double)) {
        double raw;
        std::memcpy(&raw, data, sizeof raw);
        CheckRounding(raw);
    }
    return 0;
}
