#pragma once
// The heading-line formatter: turns a tag name into a variable name laid out on at most a
// chosen number of heading lines, "_" separating the lines. Pure string routines.
// Positions are 1-based; only the space character counts as a space.

#include <QString>
#include <vector>

namespace modSVCorblexAppGen {

// breaks = (number of heading lines) - 1; -1 leaves the name untouched but turns "." into
// line breaks.
QString FormatVariableName(const QString& name, qint32 breaks);
QString CollapseSpaces(const QString& s);
qint32 CountChar(const QString& s, const QString& c);
QString WrapWords(const QString& s, qint32 breaks, const QString& separator);
// Fills n line slots for width w and returns them; score receives minus the unfilled width,
// or -9999 when the last slot is wider than w.
std::vector<QString> SplitAtWidth(const QString& s, qint32 n, qint32 w, qint32& score);
qint32 LastSpacePos(const QString& s);
qint32 LongestWordLength(const QString& s);

} // namespace modSVCorblexAppGen
