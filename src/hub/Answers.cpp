#include "hub/Answers.h"

#include <cstring>

namespace answers {

QStringList SplitTagList(const QString& answer) {
    if (answer.isEmpty())
        return {};
    return answer.split(u',', Qt::KeepEmptyParts);
}

void ValueSplitter::Next(qsizetype most, std::vector<ValueEntry>& out) {
    // The searches for tab and comma are the library's vectorised ones; the entries only
    // point into the answer.
    for (qsizetype k = 0; k < most && !done_; ++k) {
        qsizetype end = all_.indexOf(u'\t', begin_);
        if (end < 0)
            end = all_.size();
        const QStringView entry = all_.sliced(begin_, end - begin_);
        const qsizetype comma = entry.indexOf(u',');
        if (comma < 0)
            out.push_back({entry, QStringView()});
        else
            out.push_back({entry.first(comma), entry.sliced(comma + 1)});
        done_ = end == all_.size();
        begin_ = end + 1;
    }
}

std::vector<ValueEntry> SplitValues(const QString& answer) {
    std::vector<ValueEntry> entries;
    ValueSplitter splitter(answer);
    if (!splitter.Done()) {
        entries.reserve(size_t(answer.size() / 16) + 1);
        splitter.Next(answer.size() + 1, entries);
    }
    return entries;
}

std::vector<StatusEntry> SplitStatus(QStringView answer) {
    std::vector<StatusEntry> entries;
    if (answer.isEmpty())
        return entries;
    for (qsizetype begin = 0;;) {
        qsizetype end = answer.indexOf(u'\n', begin);
        const bool last = end < 0;
        if (last)
            end = answer.size();
        QStringView entry = answer.sliced(begin, end - begin);
        if (entry.endsWith(u'\r'))
            entry.chop(1);
        // A name holds no ",", so the last one separates, whatever a later code may hold.
        const qsizetype comma = entry.lastIndexOf(u',');
        if (comma < 0)
            entries.push_back({entry, QStringView()});
        else
            entries.push_back({entry.first(comma), entry.sliced(comma + 1)});
        if (last)
            return entries;
        begin = end + 1;
    }
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
        // The hub nearly always sends the name exactly as it listed it.
        if (tagName.isEmpty() || std::memcmp(a, b, size_t(tagName.size()) * sizeof(char16_t)) == 0)
            return true;
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
