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
#include "oracles/ReferenceFormatter.h"

#include <algorithm>

namespace mod = modSVCorblexAppGen;

namespace {

// Names compared with the reference formatter, which tries every width the slow way: any name up
// to ReferenceLimit characters, and longer ones while (widths to try) x (longest word + 1)
// stays within ReferenceWork, each trial line scanning back at most a word. So long names of
// short words are compared, and so are names with one very long word, the ones whose every
// width is rejected (a score of -9999 or less).
constexpr qsizetype ReferenceLimit = 96;
constexpr qint64 ReferenceWork = 12000;

using reference::Collapsed;

// The words of a text, taking both blanks and "_" as separators.
QString Words(QString s) {
    return Collapsed(s.replace(QLatin1Char('_'), QLatin1Char(' ')));
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
    const qint64 longest = reference::LongestWord(collapsed);
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
            FUZZ_CHECK(result == reference::FormatVariableName(name, breaks));
    }
    return 0;
}
