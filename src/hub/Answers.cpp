#include "hub/Answers.h"

namespace answers {

QStringList SplitTagList(const QString& answer) {
    if (answer.isEmpty())
        return {};
    return answer.split(u',', Qt::KeepEmptyParts);
}

std::vector<ValueEntry> SplitValues(const QString& answer) {
    std::vector<ValueEntry> entries;
    if (answer.isEmpty())
        return entries;

    const QStringView all(answer);
    const char16_t* const data = all.utf16();
    const qsizetype size = all.size();

    qsizetype tabs = 0;
    for (qsizetype i = 0; i < size; ++i)
        tabs += data[i] == u'\t';
    entries.reserve(size_t(tabs) + 1);

    qsizetype begin = 0;
    for (;;) {
        qsizetype end = begin;
        qsizetype comma = -1;
        while (end < size && data[end] != u'\t') {
            if (comma < 0 && data[end] == u',')
                comma = end;
            ++end;
        }
        if (comma < 0)
            entries.push_back({all.sliced(begin, end - begin), QStringView()});
        else
            entries.push_back(
                {all.sliced(begin, comma - begin), all.sliced(comma + 1, end - comma - 1)});
        if (end == size)
            break;
        begin = end + 1;
    }
    return entries;
}

namespace {

inline char16_t AsciiUpper(char16_t c) {
    return (c >= u'a' && c <= u'z') ? c - 32 : c;
}

bool HasNonAscii(QStringView s) {
    for (QChar c : s)
        if (c.unicode() >= 0x80)
            return true;
    return false;
}

} // namespace

bool SameTagName(QStringView tagName, QStringView entryName) {
    // Plain ASCII names are decided here without building upper-case copies; anything else
    // falls back to comparing the full upper-case forms (which may change a text's length).
    if (tagName.size() == entryName.size()) {
        const char16_t* a = tagName.utf16();
        const char16_t* b = entryName.utf16();
        for (qsizetype i = 0, n = tagName.size(); i < n; ++i) {
            if (a[i] == b[i])
                continue;
            if (a[i] >= 0x80 || b[i] >= 0x80)
                return tagName.toString().toUpper() == entryName.toString().toUpper();
            if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
                return false;
        }
        return true;
    }
    if (!HasNonAscii(tagName) && !HasNonAscii(entryName))
        return false;
    return tagName.toString().toUpper() == entryName.toString().toUpper();
}

} // namespace answers
