#pragma once
// Splitting the hub's answers.

#include <QString>
#include <QStringList>
#include <QStringView>
#include <vector>

namespace answers {

// "GETTAGS": names separated by ","; every piece is one tag, empty ones included; an empty
// answer gives no tags.
QStringList SplitTagList(const QString& answer);

// One "GETVALUES" entry: the name, and the value after the first "," (empty without one).
struct ValueEntry {
    QStringView name;
    QStringView value;
};

// "GETVALUES": entries separated by tabs, in tag order; an empty answer gives none.
// The views point into `answer`, which must outlive the result.
std::vector<ValueEntry> SplitValues(const QString& answer);

// Case-insensitive comparison of a tag name with an entry name.
bool SameTagName(QStringView tagName, QStringView entryName);

} // namespace answers
