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

// The same split a piece at a time, so that a caller can do other work between the pieces
// of a very long answer. The views point into the answer, which must outlive them.
class ValueSplitter {
public:
    explicit ValueSplitter(QStringView answer) : all_(answer), done_(answer.isEmpty()) {}
    bool Done() const { return done_; }
    // Appends at most `most` further entries to `out`.
    void Next(qsizetype most, std::vector<ValueEntry>& out);

private:
    QStringView all_;
    qsizetype begin_ = 0;
    bool done_;
};

// One "GETSTATUS" entry: the name, and the quality code after its last ","
// ("good", "stale", "offline", "refused", "invalid", "waiting"; empty without a ",").
struct StatusEntry {
    QStringView name;
    QStringView code;
};

// "GETSTATUS": entries separated by LF, in tag order; an empty answer gives none. A CR before
// an LF is dropped. The views point into `answer`, which must outlive the result.
std::vector<StatusEntry> SplitStatus(QStringView answer);

// Case-insensitive comparison of a tag name with an entry name.
bool SameTagName(QStringView tagName, QStringView entryName);

} // namespace answers
