#pragma once
// Helpers shared by the fuzz targets: a check that stops the run (so libFuzzer keeps the
// input), the ways the targets turn bytes into text, and a plain reference for the numeric
// rule that does not share code with the scanner under test.

#include "hub/Framing.h"

#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Aborts with the failed condition and the source line: libFuzzer then reports a crash and
// writes the input to a crash-* file.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

// The bytes as UTF-8, the way the hub reader and the .SVT reader decode what they receive
// (invalid sequences become U+FFFD).
inline QString FromUtf8(const uint8_t* data, size_t size) {
    return QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
}

// The bytes as raw UTF-16 code units (an odd last byte is dropped): reaches every code unit,
// lone surrogates included, which UTF-8 decoding never produces.
inline QString FromUtf16(const uint8_t* data, size_t size) {
    QString text(qsizetype(size / 2), Qt::Uninitialized);
    for (size_t i = 0; i + 1 < size; i += 2)
        text[qsizetype(i / 2)] = QChar(char16_t(data[i] | (data[i + 1] << 8)));
    return text;
}

// The numeric rule as a table of states, written independently of the scanner in
// src/model/Numeric.cpp: blanks, an optional sign, digits with at most one point and digits on
// at least one side of it, an optional exponent (e or E, optional sign, digits), blanks.
inline bool ReferenceIsNumeric(QStringView text) {
    enum State {
        Lead,      // blanks before the number
        Sign,      // after the sign
        Int,       // digits before any point (accepting)
        PointOnly, // a point with no digit before it
        Frac,      // after the point, a digit seen somewhere (accepting)
        Exp,       // after e/E
        ExpSign,   // after the exponent's sign
        ExpDigits, // exponent digits (accepting)
        Trail,     // blanks after a complete number (accepting)
        Reject
    };
    State state = Lead;
    for (const QChar qc : text) {
        const char16_t c = qc.unicode();
        const bool digit = c >= u'0' && c <= u'9';
        const bool sign = c == u'+' || c == u'-';
        const bool blank = c == u' ';
        const bool point = c == u'.';
        const bool e = c == u'e' || c == u'E';
        switch (state) {
        case Lead:
            state = blank ? Lead : sign ? Sign : digit ? Int : point ? PointOnly : Reject;
            break;
        case Sign:
            state = digit ? Int : point ? PointOnly : Reject;
            break;
        case Int:
            state = digit ? Int : point ? Frac : e ? Exp : blank ? Trail : Reject;
            break;
        case PointOnly:
            state = digit ? Frac : Reject;
            break;
        case Frac:
            state = digit ? Frac : e ? Exp : blank ? Trail : Reject;
            break;
        case Exp:
            state = digit ? ExpDigits : sign ? ExpSign : Reject;
            break;
        case ExpSign:
            state = digit ? ExpDigits : Reject;
            break;
        case ExpDigits:
            state = digit ? ExpDigits : blank ? Trail : Reject;
            break;
        case Trail:
            state = blank ? Trail : Reject;
            break;
        case Reject:
            return false;
        }
    }
    return state == Int || state == Frac || state == ExpDigits || state == Trail;
}

// The text of a numeric text without its blanks, as ASCII for strtod.
inline std::string NumericCore(QStringView text) {
    std::string core;
    core.reserve(size_t(text.size()));
    for (const QChar c : text)
        if (c != QLatin1Char(' '))
            core.push_back(char(c.unicode()));
    return core;
}

// What a plain reading of a byte stream from `pos` says about the answer that starts there:
// the header is one or more ASCII digits and LF, for at most 64 MiB; then that many bytes.
struct PlainAnswer {
    hubwire::AnswerDecoder::Status status = hubwire::AnswerDecoder::Status::Incomplete;
    qsizetype headerBytes = 0; // digits and LF
    qint64 length = -1;        // -1 while the header has not ended
};

inline PlainAnswer ReadAnswerPlainly(QByteArrayView stream, qsizetype pos) {
    using Status = hubwire::AnswerDecoder::Status;
    PlainAnswer e;
    qint64 value = 0;
    qsizetype digits = 0;
    for (qsizetype i = pos; i < stream.size(); ++i) {
        const char c = stream[i];
        if (c == '\n') {
            if (digits == 0) {
                e.status = Status::Error;
                return e;
            }
            e.headerBytes = i - pos + 1;
            e.length = value;
            e.status = stream.size() - (i + 1) >= value ? Status::Done : Status::Incomplete;
            return e;
        }
        if (c < '0' || c > '9' || (value = value * 10 + (c - '0')) > hubwire::MaxAnswerBytes) {
            e.status = Status::Error;
            return e;
        }
        ++digits;
    }
    return e;
}

} // namespace fuzz
