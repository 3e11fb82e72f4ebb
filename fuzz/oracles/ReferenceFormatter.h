// A slow reference heading-line formatter, shared by the formatter test and the formatter fuzz
// target: written the plain way, 1-based, trying every line width and scanning every trial
// line character by character. Line slots are views into the text, so the thousands of trial
// splits allocate nothing.
#pragma once

#include <QString>
#include <QStringList>
#include <QStringTokenizer>
#include <QStringView>

#include <algorithm>
#include <vector>

namespace reference {

// Blanks trimmed at both ends, inner runs reduced to one.
inline QString Collapsed(const QString& s) {
    return s.split(QLatin1Char(' '), Qt::SkipEmptyParts).join(QLatin1Char(' '));
}

inline QStringView Mid(QStringView s, qint64 pos, qint64 count) { // pos 1-based
    if (pos > s.size() || count <= 0)
        return QStringView();
    return s.sliced(pos - 1, std::min<qint64>(count, s.size() - pos + 1));
}

inline QStringView TrimBlanks(QStringView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.sliced(b, e - b);
}

// The 1-based position of the last space, 0 when there is none.
inline qint64 LastSpacePos(QStringView p) {
    return p.lastIndexOf(QLatin1Char(' ')) + 1;
}

// The longest piece between single spaces.
inline qint64 LongestWord(QStringView s) {
    qint64 longest = 0;
    for (const QStringView word : s.tokenize(QLatin1Char(' ')))
        longest = std::max<qint64>(longest, word.size());
    return longest;
}

// The n lines of s at width w in slots 1..n (slot 0 stays empty), and their score.
inline std::vector<QStringView> SplitAtWidth(QStringView s, qint64 n, qint64 w, qint64& score) {
    std::vector<QStringView> lineSlots(size_t(n + 1));
    qint64 pos = 1;
    for (qint64 k = 1; k <= n; ++k) {
        if (k == n) {
            lineSlots[size_t(k)] = Mid(s, pos, s.size() - pos + 1);
            break;
        }
        const QStringView piece = Mid(s, pos, w);
        qint64 advance;
        if (piece.size() < w) {
            lineSlots[size_t(k)] = piece;
            advance = piece.size();
        } else if (const qint64 p = LastSpacePos(piece); p != 0) {
            lineSlots[size_t(k)] = TrimBlanks(piece.left(p));
            advance = p;
        } else {
            const qint64 after = pos + piece.size(); // 1-based position right after the piece
            const bool endsText = after - 1 == s.size();
            const bool spaceAfter = after <= s.size() && s[after - 1] == QLatin1Char(' ');
            if (spaceAfter || endsText) {
                lineSlots[size_t(k)] = piece;
                advance = piece.size() + 1;
            } else {
                advance = 0;
            }
        }
        pos += advance;
    }
    score = 0;
    for (qint64 k = 1; k <= n; ++k) {
        if (lineSlots[size_t(k)].size() > w) {
            score = -9999;
            break;
        }
        score -= w - lineSlots[size_t(k)].size();
    }
    return lineSlots;
}

// s on at most breaks + 1 lines joined by "_", at the best-scoring width.
inline QString WrapWords(const QString& s, qint32 breaks) {
    const qint64 n = qint64(breaks) + 1;
    const qint64 start = std::max<qint64>(s.size() / n, LongestWord(s));
    qint64 best = -9999, bestWidth = 0;
    for (qint64 w = start; w <= s.size(); ++w) {
        qint64 score;
        SplitAtWidth(s, n, w, score);
        if (score > best) {
            best = score;
            bestWidth = w;
        }
    }
    qint64 score;
    const std::vector<QStringView> lineSlots = SplitAtWidth(s, n, bestWidth, score);
    QString result;
    for (qint64 k = 1; k <= n; ++k) {
        if (!lineSlots[size_t(k)].isEmpty()) {
            result += lineSlots[size_t(k)];
            result += QLatin1Char('_');
        }
    }
    if (result.endsWith(QLatin1Char('_')))
        result.chop(1);
    return result;
}

inline QString FormatVariableName(const QString& name, qint32 breaks) {
    QString s = Collapsed(name);
    if (breaks == -1)
        return s.replace(QLatin1Char('.'), QLatin1Char('_'));
    if (s.count(QLatin1Char('_')) >= breaks)
        return s;
    return WrapWords(s, breaks);
}

} // namespace reference
