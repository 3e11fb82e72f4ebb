// Fuzzes the heading-line formatter, FormatVariableName, with every entry of the "Maximum
// Heading Lines" list (breaks -1 to 8).
//
// Input: a tag name as UTF-8, cut to 4096 characters so runs stay fast.
// Checks, for every breaks value:
// - the result has no leading, trailing or doubled spaces;
// - breaks -1: the collapsed name with "." turned into "_";
// - breaks >= 0: no text is lost or added: with "_" read as a blank and blanks collapsed,
//   the result equals the collapsed name read the same way; a name that already holds at
//   least `breaks` "_" comes back collapsed and otherwise unchanged; the result has at most
//   breaks + 1 more lines than the name has "_";
// - formatting twice gives the same result;
// - for names up to 96 characters, and long names of short words, the result equals a plain
//   slow reference formatter (every width tried, every line scanned character by character).

#include "FuzzSupport.h"
#include "layout/modSVCorblexAppGen.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace mod = modSVCorblexAppGen;

namespace {

// Names compared with the reference formatter, which tries every width the slow way: any name up
// to ReferenceLimit characters, and longer ones while (widths to try) x (longest word + 1)
// stays within ReferenceWork, each trial line scanning back at most a word. So long names of
// short words are compared, and so are names with one very long word, the ones whose every
// width is rejected (a score of -9999 or less).
constexpr qsizetype ReferenceLimit = 96;
constexpr qint64 ReferenceWork = 12000;

QString Collapsed(const QString& s) {
    // Blanks trimmed at both ends, inner runs reduced to one: written out plainly.
    QString out;
    out.reserve(s.size());
    bool pendingBlank = false;
    for (const QChar c : s) {
        if (c == QLatin1Char(' ')) {
            pendingBlank = !out.isEmpty();
            continue;
        }
        if (pendingBlank)
            out += QLatin1Char(' ');
        pendingBlank = false;
        out += c;
    }
    return out;
}

// The words of a text, taking both blanks and "_" as separators.
QString Words(QString s) {
    return Collapsed(s.replace(QLatin1Char('_'), QLatin1Char(' ')));
}

// ---- The rule, transcribed with 1-based positions and nothing precomputed. Line slots are
// views into the collapsed name, so the thousands of trial splits allocate nothing. ----

QStringView Mid(QStringView s, qint64 pos, qint64 count) { // pos 1-based
    if (pos > s.size() || count <= 0)
        return QStringView();
    return s.sliced(pos - 1, std::min<qint64>(count, s.size() - pos + 1));
}

QStringView TrimBlanks(QStringView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' '))
        ++b;
    while (e > b && s[e - 1] == QLatin1Char(' '))
        --e;
    return s.sliced(b, e - b);
}

qint64 RefLastSpacePos(QStringView p) {
    for (qint64 i = p.size(); i >= 1; --i)
        if (p[i - 1] == QLatin1Char(' '))
            return i;
    return 0;
}

qint64 RefLongestWord(QStringView s) {
    // The pieces between single spaces, measured one by one.
    qint64 longest = 0;
    qsizetype begin = 0;
    for (;;) {
        qsizetype space = s.indexOf(QLatin1Char(' '), begin);
        if (space < 0)
            space = s.size();
        longest = std::max<qint64>(longest, space - begin);
        if (space == s.size())
            return longest;
        begin = space + 1;
    }
}

std::vector<QStringView> RefSplitAtWidth(QStringView s, qint64 n, qint64 w, qint64& score) {
    std::vector<QStringView> lineSlots(size_t(n + 1)); // lineSlots[1..n]
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
        } else if (const qint64 p = RefLastSpacePos(piece); p != 0) {
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

QString RefFormat(const QString& name, qint32 breaks) {
    const QString s = Collapsed(name);
    if (breaks == -1) {
        QString t = s;
        return t.replace(QLatin1Char('.'), QLatin1Char('_'));
    }
    if (s.count(QLatin1Char('_')) >= breaks)
        return s;
    const qint64 n = qint64(breaks) + 1;
    const qint64 start = std::max<qint64>(s.size() / n, RefLongestWord(s));
    qint64 best = -9999, bestWidth = 0;
    for (qint64 w = start; w <= s.size(); ++w) {
        qint64 score;
        RefSplitAtWidth(s, n, w, score);
        if (score > best) {
            best = score;
            bestWidth = w;
        }
    }
    qint64 score;
    const std::vector<QStringView> lineSlots = RefSplitAtWidth(s, n, bestWidth, score);
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString name = fuzz::FromUtf8(data, size);
    if (name.size() > 4096)
        name.truncate(4096);
    const QString collapsed = Collapsed(name);
    FUZZ_CHECK(mod::CollapseSpaces(name) == collapsed);
    const qint32 nameBreaks = qint32(collapsed.count(QLatin1Char('_')));
    FUZZ_CHECK(mod::CountChar(name, QStringLiteral("_")) == name.count(QLatin1Char('_')));
    const qint64 longest = RefLongestWord(collapsed);
    const qint64 widths = collapsed.size() - std::max<qint64>(collapsed.size() / 9, longest) + 1;
    const bool compareWithReference =
        name.size() <= ReferenceLimit || widths * (longest + 1) <= ReferenceWork;

    for (qint32 breaks = -1; breaks <= 8; ++breaks) {
        const QString result = mod::FormatVariableName(name, breaks);
        FUZZ_CHECK(!result.startsWith(QLatin1Char(' ')) && !result.endsWith(QLatin1Char(' ')));
        FUZZ_CHECK(!result.contains(QStringLiteral("  ")));
        FUZZ_CHECK(mod::FormatVariableName(name, breaks) == result);
        if (collapsed.isEmpty())
            FUZZ_CHECK(result.isEmpty());

        if (breaks == -1) {
            QString expected = collapsed;
            FUZZ_CHECK(result == expected.replace(QLatin1Char('.'), QLatin1Char('_')));
        } else {
            FUZZ_CHECK(Words(result) == Words(collapsed));
            FUZZ_CHECK(result.size() == collapsed.size());
            const qint32 lines = mod::CountChar(result, QStringLiteral("_")) + 1;
            if (nameBreaks >= breaks)
                FUZZ_CHECK(result == collapsed);
            else
                FUZZ_CHECK(lines <= breaks + 1 + nameBreaks);
        }
        if (compareWithReference)
            FUZZ_CHECK(result == RefFormat(name, breaks));
    }
    return 0;
}
