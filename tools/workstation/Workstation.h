#pragma once
// The logic of the workstation stand-ins, kept apart from their windows: reading a
// variable's hub link, polling the hubs of an application for one log-sheet row, and
// checking an application's variables for the administration program.

#include "generate/Application.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class IHubReader;

namespace workstation {

// A link is a hub prefix followed directly by the tag name: "HUB:" + tag, or
// "TCP:" + address + ":" + port + "!" + tag (the prefix ends at the first "!").
struct HubLink {
    QString prefix;
    QString tag;
};
std::optional<HubLink> SplitLink(const QString& link);

// The heading of a variable's column: its name with each "_" turned into a line break.
QString ColumnHeading(const QString& variableName);

// The columns of a live log sheet and the polling of its values. The sheet has a "Date"
// and a "Time" column, then one column per further variable (every variable except a
// "Date" or "Time" variable without a link).
class LogSheet {
public:
    explicit LogSheet(const Application& app);

    const QStringList& Headings() const { return headings_; }
    int HubCount() const { return int(hubs_.size()); }

    // One row: the date (yyyy-MM-dd) and time (hh:mm:ss) of `now`, then each column's value.
    // Sends one "GETVALUES" request per hub; a tag missing from the answer (or a variable
    // without a usable link) shows "".
    QStringList Poll(IHubReader& reader, const QDateTime& now) const;

private:
    struct Tag {
        QString folded; // tag name, case-folded
        int column;     // index into a row
    };
    struct Hub {
        QString prefix;
        std::vector<Tag> tags;
    };
    QStringList headings_;
    std::vector<Hub> hubs_;
};

// One fault of one variable, for the administration program.
struct VariableProblem {
    int index; // 0-based position of the variable
    QString text;
};

// Checks every variable: the name must not be empty, the field type is "N" or "T", the
// length at least 1, the decimals at least 0 and below the length, and a link that is set
// must start with a hub prefix.
std::vector<VariableProblem> CheckVariables(const Application& app);

// The check report as text lines: a summary first, then one line per problem.
QStringList CheckReport(const QString& fileName, const Application& app,
                        const std::vector<VariableProblem>& problems);

} // namespace workstation
