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

    // The searches for tab and comma are the library's vectorised ones; the entries only
    // point into the answer.
    const QStringView all(answer);
    entries.reserve(size_t(all.size() / 16) + 1);
    qsizetype begin = 0;
    for (;;) {
        qsizetype end = all.indexOf(u'\t', begin);
        if (end < 0)
            end = all.size();
        const QStringView entry = all.sliced(begin, end - begin);
        const qsizetype comma = entry.indexOf(u',');
        if (comma < 0)
            entries.push_back({entry, QStringView()});
        else
            entries.push_back({entry.first(comma), entry.sliced(comma + 1)});
        if (end == all.size())
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
