#include "gateway/WireText.h"

namespace gateway {

namespace {

bool IsControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

int Utf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& c) {
    const unsigned char b = p[0];
    if (b < 0x80) {
        c = b;
        return 1;
    }
    int length = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        length = 2;
        c = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3;
        c = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4;
        c = b & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (end - p < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

bool IsCleanText(QByteArrayView text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // Printable ASCII, the common case, in one step.
        if (*p >= 0x20 && *p < 0x7F) {
            ++p;
            continue;
        }
        char32_t c = 0;
        const int length = Utf8Sequence(p, end, c);
        if (length == 0 || IsControl(c))
            return false;
        p += length;
    }
    return true;
}

QByteArray CleanText(QByteArrayView text) {
    if (IsCleanText(text))
        return text.toByteArray();
    QByteArray clean;
    clean.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        char32_t c = 0;
        const int length = Utf8Sequence(p, end, c);
        if (length == 0) {
            clean += "\xEF\xBF\xBD"; // U+FFFD
            ++p;
        } else if (IsControl(c)) {
            clean += ' ';
            p += length;
        } else {
            clean.append(reinterpret_cast<const char*>(p), length);
            p += length;
        }
    }
    return clean;
}

} // namespace gateway
