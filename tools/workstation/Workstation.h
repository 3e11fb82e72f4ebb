#pragma once
// The logic of the workstation stand-ins, kept apart from their windows: reading a
// variable's hub link, polling the hubs of an application for one log-sheet row, and
// checking an application's variables for the administration program.

#include "SheetRow.h"
#include "generate/Application.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class IHubReader;
class SVComSrvClass;

namespace workstation {

// A link is a hub prefix followed directly by the tag name: "HUB:" + tag, or
// "TCP:" + address + ":" + port + "!" + tag (the prefix ends at the first "!").
struct HubLink {
    QString prefix;
    QString tag;
};
// Splits a link whose prefix the hub reader can send requests to: the reader's own rule
// decides (hubreader::ParseRequest: a TCP prefix needs an address and a port of 1 to 65535),
// so a link passes the check exactly when the log sheet can poll it. Otherwise returns
// nullopt with `why` set to the fault, to follow "the link ... " in a message.
std::optional<HubLink> SplitLink(const QString& link, QString* why = nullptr);

// A "Date" or "Time" variable without a link: the sheet's own clock columns, not a value.
bool IsClockVariable(const ApplicationVariable& variable);

// The heading of a variable's column: its name with each "_" turned into a line break.
QString ColumnHeading(const QString& variableName);

// The columns of a live log sheet and the polling of its values. The sheet has a "Date"
// and a "Time" column, then one column per further variable (every variable except a
// "Date" or "Time" variable without a link).
class LogSheet {
public:
    explicit LogSheet(const Application& app);

    const QStringList& Headings() const { return headings_; }
    // True for a column of a numeric ("N") variable; false for "Date", "Time" and text.
    bool IsNumeric(int column) const { return numeric_.value(column); }
    int HubCount() const { return int(hubs_.size()); }
    // The status bar's summary of the sheet: its variables, its hubs and the poll interval.
    QString Summary(int intervalMs) const;

    // One row: the date (yyyy-MM-dd) and time (hh:mm:ss) of `now`, then each column's value.
    // Sends one "GETVALUES" request per hub; a tag missing from the answer (or a variable
    // without a usable link) shows "".
    QStringList Poll(IHubReader& reader, const QDateTime& now) const;

    // The request prefix of each hub, in the order of the hub indices below.
    QStringList HubPrefixes() const;
    // A row holding only the date and time of `now`.
    QStringList EmptyRow(const QDateTime& now) const;
    // Puts the values of hub `hub`'s "GETVALUES" answer into its columns of `row`.
    void FillRow(int hub, QStringView answer, QStringList& row) const;
    // Puts the qualities of hub `hub`'s "GETSTATUS" answer into `quality` (one per value, the
    // columns after "Date" and "Time"): a code the hub writes gives its quality, a code that
    // is not one of them Invalid, and a tag missing from the answer Unknown. Returns how many
    // of the hub's values are neither Good nor Unknown.
    int FillQuality(int hub, QStringView answer, std::vector<Quality>& quality) const;

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
    QList<bool> numeric_; // one per column
    std::vector<Hub> hubs_;
    qsizetype variables_ = 0;
};

// Polls every hub of a log sheet on its own reader without waiting for any of them, so a
// hub that stalls neither freezes the window nor holds up the values of the others.
//
// Poll starts a round: it finishes the round before (a hub that has not answered by then
// shows empty cells in that row) and asks every hub that is not still busy with an earlier
// request. A round's row is ready as soon as every hub has answered or failed, at the latest
// when the next round starts; an answer to an earlier round's request fills the round open
// when it arrives. Rows therefore come in order, at most one poll interval late.
//
// After a hub's "GETVALUES" answer the same reader asks "GETSTATUS", and the row waits for
// that answer too (within the same limit: a row the next round finishes first carries the
// values with quality Unknown). A hub that answers "GETSTATUS" with the empty text does not
// know the request: its values carry Unknown, and it is asked again only after it comes back
// from not answering (it may have been replaced by one that knows it) or StatusRetryMs later.
// A hub that does not answer at all gives empty values of quality Unknown; the status bar
// says it does not answer.
class SheetPoller : public QObject {
    Q_OBJECT

public:
    using ReaderFactory = std::function<std::unique_ptr<SVComSrvClass>()>;

    // How long a hub that does not answer "GETSTATUS" goes without being asked it again.
    static constexpr qint64 StatusRetryMs = 10 * 60 * 1000;

    // Whether a hub reports the quality of its values.
    enum class Reports { NotYetKnown, Quality, NoQuality };

    struct HubState {
        QString prefix;
        bool answering = true; // the last request was answered (true before the first)
        QDateTime silentSince; // when the first request went out that got no answer
        QDateTime lastAnswer;  // when the last answer arrived; invalid before the first
        Reports reports = Reports::NotYetKnown;
        QDateTime askStatusAfter; // NoQuality: when to ask "GETSTATUS" again
        int notGood = 0;          // values neither Good nor Unknown in the last status answer
    };

    SheetPoller(const LogSheet& sheet, const ReaderFactory& makeReader, QObject* parent = nullptr);
    ~SheetPoller() override;

    void Poll(const QDateTime& now);
    // Finishes the open round now, whoever has not answered yet.
    void Flush();

    const std::vector<HubState>& Hubs() const { return states_; }
    // The time of the last row given out; invalid before the first.
    const QDateTime& LastRowTime() const { return lastRow_; }
    // "HUB: answers | TCP:host:6001!: no answer since 12:00:01 | last row 12:00:05"; a hub that
    // answers adds ", no quality" when it does not report quality and ", N not good" when N
    // of its values are neither good nor of unknown quality.
    QString StatusText() const;

signals:
    void RowReady(const workstation::SheetRow& row);
    void StatusChanged();

private:
    void OnAnswer(int hub, const QDateTime& asked, const QString& answer);
    void OnStatus(int hub, quint64 round, const QString& answer);
    void Done(int hub);
    bool ShouldAskStatus(int hub) const;
    void MarkSilent(int hub, const QDateTime& since);
    void Ask(int hub, const QDateTime& now);

    const LogSheet& sheet_;
    std::vector<std::unique_ptr<SVComSrvClass>> readers_;
    std::vector<HubState> states_;
    std::vector<QDateTime> askedAt_; // when each hub's outstanding request went out
    bool roundOpen_ = false;
    QDateTime roundTime_;
    quint64 round_ = 0; // counts the rounds; the open one's number
    QStringList row_;
    std::vector<Quality> quality_; // the open round's, one per value
    std::vector<bool> waiting_;    // hubs the open round still waits for
    std::vector<bool> haveValues_; // hubs whose values the open round has (status pending)
    int waitingCount_ = 0;
    QDateTime lastRow_;
};

// One fault of one variable, for the administration program.
struct VariableProblem {
    int index; // 0-based position of the variable
    QString text;
};

// Checks every variable: the name must not be empty, the field type is "N" or "T", the
// length at least 1, the decimals at least 0 and below the length, and a link that is set
// must start with a hub prefix that SplitLink takes.
std::vector<VariableProblem> CheckVariables(const Application& app);

// The check report as text lines: a summary first, then one line per problem.
QStringList CheckReport(const QString& fileName, const Application& app,
                        const std::vector<VariableProblem>& problems);

} // namespace workstation
