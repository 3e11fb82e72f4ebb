#include "layout/modSVCorblexAppGen.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace modSVCorblexAppGen {

namespace {

constexpr char16_t Space = u' ';
// Score of a width at which the text left for the last line does not fit.
constexpr qint64 Rejected = -9999;

QStringView TrimSpaces(QStringView v) {
    qsizetype b = 0;
    qsizetype e = v.size();
    while (b < e && v[b] == Space)
        ++b;
    while (e > b && v[e - 1] == Space)
        --e;
    return v.sliced(b, e - b);
}

// Finds spaces by scanning the text. Used for single splits: every call looks at each
// character of a line at most once.
struct ScanningIndex {
    QStringView s;
    // Index of the last space in [begin, end), or -1.
    qsizetype LastSpace(qsizetype begin, qsizetype end) const {
        for (qsizetype i = end - 1; i >= begin; --i)
            if (s[i] == Space)
                return i;
        return -1;
    }
    // [begin, end) with spaces trimmed at both ends, as (first index, length).
    std::pair<qsizetype, qsizetype> Trimmed(qsizetype begin, qsizetype end) const {
        while (begin < end && s[begin] == Space)
            ++begin;
        while (end > begin && s[end - 1] == Space)
            --end;
        return {begin, end - begin};
    }
};

// Answers the same questions from tables built once per text in linear time, so that trying
// thousands of widths on a very long text costs constant time per line.
class TableIndex {
public:
    explicit TableIndex(QStringView s) : size_(s.size()) {
        const size_t n = size_t(size_);
        qint32* tables = stack_;
        if (3 * n > std::size(stack_)) {
            heap_ = std::make_unique<qint32[]>(3 * n);
            tables = heap_.get();
        }
        prevSpace_ = tables;
        prevNonSpace_ = tables + n;
        nextNonSpace_ = tables + 2 * n;
        qint32 lastSpace = -1;
        qint32 lastNonSpace = -1;
        for (qsizetype i = 0; i < size_; ++i) {
            if (s[i] == Space)
                lastSpace = qint32(i);
            else
                lastNonSpace = qint32(i);
            prevSpace_[i] = lastSpace;
            prevNonSpace_[i] = lastNonSpace;
        }
        qint32 nextNonSpace = qint32(size_);
        for (qsizetype i = size_ - 1; i >= 0; --i) {
            if (s[i] != Space)
                nextNonSpace = qint32(i);
            nextNonSpace_[i] = nextNonSpace;
        }
    }
    TableIndex(const TableIndex&) = delete;
    TableIndex& operator=(const TableIndex&) = delete;

    qsizetype LastSpace(qsizetype begin, qsizetype end) const {
        if (end <= begin)
            return -1;
        const qsizetype i = prevSpace_[end - 1];
        return i >= begin ? i : -1;
    }
    std::pair<qsizetype, qsizetype> Trimmed(qsizetype begin, qsizetype end) const {
        if (end <= begin)
            return {begin, 0};
        const qsizetype first = nextNonSpace_[begin];
        if (first >= end)
            return {begin, 0};
        return {first, prevNonSpace_[end - 1] - first + 1};
    }

private:
    qsizetype size_;
    qint32 stack_[3 * 128];
    std::unique_ptr<qint32[]> heap_;
    qint32* prevSpace_ = nullptr;
    qint32* prevNonSpace_ = nullptr;
    qint32* nextNonSpace_ = nullptr;
};

// The line-filling rule shared by the width search and the final split: lays s out in n
// slots of width w and hands each slot to take(slot number from 0, first index, length).
// Slots that stay empty are handed over with length 0.
template <typename Index, typename Take>
void LayOut(QStringView s, qint64 n, qint64 w, const Index& index, Take&& take) {
    const qsizetype size = s.size();
    qsizetype pos = 0;
    for (qint64 k = 0; k < n; ++k) {
        if (k == n - 1) {
            // The last line holds the whole remainder, fitting or not.
            take(k, std::min(pos, size), std::max<qsizetype>(size - pos, 0));
            return;
        }
        const qsizetype pieceLength = std::clamp<qsizetype>(size - pos, 0, w);
        qsizetype advance = 0;
        if (pieceLength < w) {
            // The rest of the text is shorter than a line.
            take(k, std::min(pos, size), pieceLength);
            advance = pieceLength;
        } else if (const qsizetype space = index.LastSpace(pos, pos + pieceLength); space >= 0) {
            // Break after the last space of the piece; the line loses its outer spaces.
            const auto [first, length] = index.Trimmed(pos, space + 1);
            take(k, first, length);
            advance = space - pos + 1;
        } else if (pos + pieceLength == size ||
                   (pos + pieceLength < size && s[pos + pieceLength] == Space)) {
            // A word exactly as wide as the line, ending at a space or at the end.
            take(k, pos, pieceLength);
            advance = pieceLength + 1;
        } else {
            // A word wider than the line: leave this line empty and try the next.
            take(k, std::min(pos, size), 0);
        }
        pos += advance;
    }
}

// Minus the unfilled width of the n lines, or Rejected when the last one is wider than w.
template <typename Index> qint64 ScoreOf(QStringView s, qint64 n, qint64 w, const Index& index) {
    qint64 filled = 0;
    bool fits = true;
    LayOut(s, n, w, index, [&](qint64 k, qsizetype, qsizetype length) {
        filled += length;
        if (k == n - 1 && length > w)
            fits = false;
    });
    return fits ? filled - n * w : Rejected;
}

} // namespace

QString FormatVariableName(const QString& name, qint32 breaks) {
    QString s = CollapseSpaces(name);
    if (breaks == -1)
        return s.replace(u'.', u'_'); // untouched mode: dots become line breaks
    static const QString lineBreak = QStringLiteral("_");
    if (CountChar(s, lineBreak) >= breaks)
        return s; // the name already has as many lines as allowed
    return WrapWords(s, breaks, lineBreak);
}

QString CollapseSpaces(const QString& s) {
    const QStringView t = TrimSpaces(s);
    if (t.isEmpty())
        return QString();
    if (t.size() == s.size()) {
        bool doubled = false;
        const char16_t* c = t.utf16();
        for (qsizetype i = 1, n = t.size(); i < n && !doubled; ++i)
            doubled = c[i] == Space && c[i - 1] == Space;
        if (!doubled)
            return s; // nothing to remove: share the text instead of copying it
    }
    QString out(t.size(), Qt::Uninitialized);
    char16_t* const begin = reinterpret_cast<char16_t*>(out.data());
    char16_t* d = begin;
    char16_t previous = 0;
    const char16_t* const source = t.utf16();
    for (qsizetype i = 0; i < t.size(); ++i) {
        const char16_t c = source[i];
        if (c != Space || previous != Space)
            *d++ = c;
        previous = c;
    }
    out.truncate(d - begin);
    return out;
}

qint32 CountChar(const QString& s, const QString& c) {
    if (c.isEmpty())
        return 0;
    return qint32(s.count(c.front()));
}

QString WrapWords(const QString& s, qint32 breaks, const QString& separator) {
    // One line slot per heading line; each slot is a real string, so breaks is meant to stay
    // small (the heading-lines list offers at most 8). Fewer than one break is one line.
    breaks = std::clamp(breaks, 0, std::numeric_limits<qint32>::max() - 1);
    const qint64 n = qint64(breaks) + 1;
    const qint64 length = s.size();

    // Try the widths from the narrowest that could hold the text upwards and keep the best
    // score, the narrowest on a tie. A width w leaves at least n*w - length cells unfilled,
    // so its score is at most length - n*w, which only falls as w grows: once that bound is
    // no longer above the best score, no wider width can replace it.
    const qint64 start = std::max<qint64>(length / n, LongestWordLength(s));
    qint64 best = Rejected;
    qint64 bestWidth = 0;
    {
        const TableIndex index(s);
        for (qint64 w = start; w <= length; ++w) {
            if (length - n * w <= best)
                break;
            const qint64 score = ScoreOf(QStringView(s), n, w, index);
            if (score > best) {
                best = score;
                bestWidth = w;
            }
        }
    }

    qint32 score = 0;
    const std::vector<QString> lines = SplitAtWidth(s, qint32(n), qint32(bestWidth), score);
    qsizetype total = 0;
    for (const QString& slot : lines)
        total += slot.size() + separator.size();
    QString result;
    result.reserve(total);
    for (const QString& slot : lines) {
        if (!slot.isEmpty()) {
            result += slot;
            result += separator;
        }
    }
    if (result.endsWith(separator))
        result.chop(separator.size());
    return result;
}

std::vector<QString> SplitAtWidth(const QString& s, qint32 n, qint32 w, qint32& score) {
    std::vector<QString> lines(size_t(std::max(n, 0)));
    const QStringView view(s);
    const ScanningIndex index{view};
    const qint64 width = std::max(w, 0);
    qint64 filled = 0;
    bool fits = true;
    LayOut(view, n, width, index, [&](qint64 k, qsizetype first, qsizetype length) {
        if (length > 0)
            lines[size_t(k)] = s.sliced(first, length);
        filled += length;
        if (k == n - 1 && length > width)
            fits = false;
    });
    const qint64 result = fits ? filled - qint64(lines.size()) * width : Rejected;
    score = qint32(std::max<qint64>(result, std::numeric_limits<qint32>::min()));
    return lines;
}

qint32 LastSpacePos(const QString& s) {
    return qint32(s.lastIndexOf(Space) + 1);
}

qint32 LongestWordLength(const QString& s) {
    qsizetype longest = 0;
    qsizetype current = 0;
    for (QChar c : s) {
        if (c == Space) {
            current = 0;
        } else if (++current > longest) {
            longest = current;
        }
    }
    return qint32(longest);
}

} // namespace modSVCorblexAppGen
