#pragma once
// What may travel in a tag name or value on the wire: UTF-8 text without control characters,
// and values of a bounded length. The answers separate entries with TAB and requests end at
// LF, so one stray control character would break every client's view of every tag.

#include <QByteArray>
#include <QByteArrayView>

namespace gateway {

// The longest value the hub publishes, in bytes; a longer one is published empty.
constexpr qsizetype MaxValueBytes = 1024;

// True when `text` is valid UTF-8 without control characters (C0, DEL or C1).
bool IsCleanText(QByteArrayView text);

// The length of the valid UTF-8 sequence at `p` (before `end`, which it must not be) and its
// code point in `c`; 0 when the bytes there are not one (overlong forms and surrogates are not).
int Utf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& c);

// `text` made clean: each control character becomes a blank and each invalid UTF-8 sequence
// the replacement character U+FFFD. Clean text comes back unchanged.
QByteArray CleanText(QByteArrayView text);

} // namespace gateway
