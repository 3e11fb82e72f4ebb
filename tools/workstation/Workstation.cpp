#include "Workstation.h"

#include "generate/SvtFormat.h"
#include "hub/Answers.h"
#include "hub/HubReader.h"
#include "hub/HubRequest.h"
#include "hub/IHubReader.h"

#include <QHash>

namespace workstation {

std::optional<HubLink> SplitLink(const QString& link, QString* why) {
    static const QLatin1String Hub("HUB:");
    static const QLatin1String Tcp("TCP:");
    qsizetype prefixEnd = -1;
    if (link.startsWith(Hub)) {
        prefixEnd = Hub.size();
    } else if (link.startsWith(Tcp)) {
        const qsizetype bang = link.indexOf(QLatin1Char('!'), Tcp.size());
        if (bang >= 0)
            prefixEnd = bang + 1;
    }
    if (prefixEnd < 0) {
        if (why)
            *why = QStringLiteral("has no \"HUB:\" or \"TCP:address:port!\" prefix");
        return std::nullopt;
    }
    HubLink split{link.left(prefixEnd), link.mid(prefixEnd)};
    // The request the log sheet sends with this prefix must be one the reader sends.
    QString reason;
    if (!hubreader::ParseRequest(split.prefix + QLatin1String(hubrequest::GetValues), &reason)) {
        if (why)
            *why = QStringLiteral("has an unusable hub prefix: ") + reason;
        return std::nullopt;
    }
    return split;
}

QString LogSheet::Summary(int intervalMs) const {
    return QStringLiteral("variables: %1, hubs: %2, a row every %3 ms")
        .arg(QString::number(variables_), QString::number(HubCount()), QString::number(intervalMs));
}

QString ColumnHeading(const QString& variableName) {
    QString heading = variableName;
    heading.replace(QLatin1Char('_'), QLatin1Char('\n'));
    return heading;
}

bool IsClockVariable(const ApplicationVariable& v) {
    return !v.Link() && (v.Name() == QLatin1String("Date") || v.Name() == QLatin1String("Time"));
}

LogSheet::LogSheet(const Application& app) : variables_(qsizetype(app.Variables().size())) {
    headings_ << QStringLiteral("Date") << QStringLiteral("Time");
    numeric_ << false << false;
    QHash<QString, int> hubIndex;
    for (const ApplicationVariable& v : app.Variables()) {
        if (IsClockVariable(v))
            continue;
        const int column = int(headings_.size());
        headings_ << ColumnHeading(v.Name());
        numeric_ << (v.FieldType() == QLatin1String("N"));
        const auto link = v.Link() ? SplitLink(*v.Link()) : std::nullopt;
        if (!link)
            continue;
        auto it = hubIndex.constFind(link->prefix);
        if (it == hubIndex.constEnd()) {
            it = hubIndex.insert(link->prefix, int(hubs_.size()));
            hubs_.push_back(Hub{link->prefix, {}});
        }
        hubs_[std::size_t(*it)].tags.push_back(Tag{link->tag.toCaseFolded(), column});
    }
}

QStringList LogSheet::Poll(IHubReader& reader, const QDateTime& now) const {
    QStringList row = EmptyRow(now);
    for (int h = 0; h < int(hubs_.size()); ++h) {
        const QString answer =
            reader.ReadInputFile(hubs_[std::size_t(h)].prefix + QLatin1String("GETVALUES"));
        FillRow(h, answer, row);
    }
    return row;
}

QStringList LogSheet::HubPrefixes() const {
    QStringList prefixes;
    for (const Hub& hub : hubs_)
        prefixes << hub.prefix;
    return prefixes;
}

QStringList LogSheet::EmptyRow(const QDateTime& now) const {
    QStringList row;
    row.reserve(headings_.size());
    row << DateText(now) << TimeText(now);
    while (row.size() < headings_.size())
        row << QString();
    return row;
}

void LogSheet::FillRow(int hubIndex, QStringView answer, QStringList& row) const {
    if (answer.isEmpty())
        return;
    const Hub& hub = hubs_[std::size_t(hubIndex)];
    // Entries "name,value" separated by tabs; the value follows the first ",". The first
    // entry of a name (compared ignoring letter case) counts.
    QHash<QString, QStringView> values;
    values.reserve(qsizetype(hub.tags.size()));
    for (const QStringView entry : answer.split(QLatin1Char('\t'))) {
        const qsizetype comma = entry.indexOf(QLatin1Char(','));
        const QStringView name = comma < 0 ? entry : entry.left(comma);
        const QStringView value = comma < 0 ? QStringView() : entry.mid(comma + 1);
        QString key = name.toString().toCaseFolded();
        if (!values.contains(key))
            values.insert(std::move(key), value);
    }
    for (const Tag& tag : hub.tags) {
        const auto it = values.constFind(tag.folded);
        if (it != values.constEnd())
            row[tag.column] = it->toString();
    }
}

int LogSheet::FillQuality(int hubIndex, QStringView answer, std::vector<Quality>& quality) const {
    const Hub& hub = hubs_[std::size_t(hubIndex)];
    // The first entry of a name (compared ignoring letter case) counts, as for the values.
    QHash<QString, QStringView> codes;
    codes.reserve(qsizetype(hub.tags.size()));
    for (const answers::StatusEntry& entry : answers::SplitStatus(answer)) {
        QString key = entry.name.toString().toCaseFolded();
        if (!codes.contains(key))
            codes.insert(std::move(key), entry.code);
    }
    int notGood = 0;
    for (const Tag& tag : hub.tags) {
        const auto it = codes.constFind(tag.folded);
        Quality q = Quality::Unknown;
        // A code this program does not know says the value is not usable as it is.
        if (it != codes.constEnd())
            q = QualityFromCode(*it) == Quality::Unknown ? Quality::Invalid : QualityFromCode(*it);
        quality[std::size_t(tag.column - 2)] = q;
        if (q != Quality::Good && q != Quality::Unknown)
            ++notGood;
    }
    return notGood;
}

SheetPoller::SheetPoller(const LogSheet& sheet, const ReaderFactory& makeReader, QObject* parent)
    : QObject(parent), sheet_(sheet) {
    for (const QString& prefix : sheet.HubPrefixes()) {
        readers_.push_back(makeReader());
        HubState state;
        state.prefix = prefix;
        states_.push_back(state);
    }
    askedAt_.resize(readers_.size());
    waiting_.assign(readers_.size(), false);
    haveValues_.assign(readers_.size(), false);
}

// The readers go first: a request still waiting is dropped with them, without a callback.
SheetPoller::~SheetPoller() {
    readers_.clear();
}

void SheetPoller::Poll(const QDateTime& now) {
    Flush();
    roundOpen_ = true;
    roundTime_ = now;
    ++round_;
    row_ = sheet_.EmptyRow(now);
    quality_.assign(std::size_t(row_.size() - 2), Quality::Unknown);
    waiting_.assign(readers_.size(), true);
    haveValues_.assign(readers_.size(), false);
    waitingCount_ = int(readers_.size());
    for (int h = 0; h < int(readers_.size()); ++h)
        if (!readers_[std::size_t(h)]->Busy())
            Ask(h, now);
    if (waitingCount_ == 0)
        Flush();
}

void SheetPoller::Ask(int hub, const QDateTime& now) {
    askedAt_[std::size_t(hub)] = now;
    readers_[std::size_t(hub)]->Send(
        states_[std::size_t(hub)].prefix + QLatin1String("GETVALUES"),
        [this, hub, now](const QString& answer) { OnAnswer(hub, now, answer); });
}

void SheetPoller::Flush() {
    if (!roundOpen_)
        return;
    roundOpen_ = false;
    // A hub still busy with its values has not answered in time for this row; one that gave
    // its values but not yet their status has, and its values go with quality Unknown.
    for (std::size_t h = 0; h < waiting_.size(); ++h)
        if (waiting_[h] && !haveValues_[h])
            MarkSilent(int(h), askedAt_[h]);
    waiting_.assign(waiting_.size(), false);
    lastRow_ = roundTime_;
    SheetRow row;
    row.time = roundTime_;
    row.values = std::exchange(row_, QStringList()).mid(2);
    row.quality = std::exchange(quality_, {});
    emit StatusChanged();
    emit RowReady(row);
}

void SheetPoller::OnAnswer(int hub, const QDateTime& asked, const QString& answer) {
    HubState& state = states_[std::size_t(hub)];
    if (answer.isEmpty()) {
        MarkSilent(hub, asked);
    } else {
        // A hub back after not answering may be another one, which may know "GETSTATUS".
        if (!state.answering && state.reports == Reports::NoQuality)
            state.reports = Reports::NotYetKnown;
        state.answering = true;
        state.silentSince = QDateTime();
        state.lastAnswer = QDateTime::currentDateTime();
    }
    if (!roundOpen_ || !waiting_[std::size_t(hub)]) {
        emit StatusChanged();
        return;
    }
    sheet_.FillRow(hub, answer, row_);
    if (answer.isEmpty() || !ShouldAskStatus(hub))
        return Done(hub);
    haveValues_[std::size_t(hub)] = true;
    const quint64 round = round_;
    readers_[std::size_t(hub)]->Send(
        state.prefix + QLatin1String(hubrequest::GetStatus),
        [this, hub, round](const QString& status) { OnStatus(hub, round, status); });
    emit StatusChanged();
}

bool SheetPoller::ShouldAskStatus(int hub) const {
    const HubState& state = states_[std::size_t(hub)];
    return state.reports != Reports::NoQuality || roundTime_ >= state.askStatusAfter;
}

void SheetPoller::OnStatus(int hub, quint64 round, const QString& answer) {
    HubState& state = states_[std::size_t(hub)];
    const bool forOpenRound = roundOpen_ && round == round_ && waiting_[std::size_t(hub)];
    if (answer.isEmpty()) {
        // It answered the values just before: it does not know the request.
        state.reports = Reports::NoQuality;
        state.askStatusAfter = roundTime_.addMSecs(StatusRetryMs);
        state.notGood = 0;
    } else {
        state.reports = Reports::Quality;
        std::vector<Quality> quality(std::size_t(sheet_.Headings().size() - 2));
        state.notGood = sheet_.FillQuality(hub, answer, forOpenRound ? quality_ : quality);
    }
    if (forOpenRound)
        return Done(hub);
    // The round this answer was for is gone; the open one still needs this hub's values,
    // and its reader is free now.
    if (roundOpen_ && waiting_[std::size_t(hub)] && !haveValues_[std::size_t(hub)])
        Ask(hub, roundTime_);
    emit StatusChanged();
}

void SheetPoller::Done(int hub) {
    waiting_[std::size_t(hub)] = false;
    if (--waitingCount_ == 0)
        return Flush();
    emit StatusChanged();
}

void SheetPoller::MarkSilent(int hub, const QDateTime& since) {
    HubState& state = states_[std::size_t(hub)];
    if (!state.answering)
        return;
    state.answering = false;
    state.silentSince = since;
}

QString SheetPoller::StatusText() const {
    QStringList parts;
    for (const HubState& state : states_) {
        if (state.answering) {
            QString part = state.prefix + QStringLiteral(" answers");
            if (state.reports == Reports::NoQuality)
                part += QStringLiteral(", no quality");
            else if (state.notGood > 0)
                part += QStringLiteral(", %1 not good").arg(state.notGood);
            parts << part;
        } else
            parts << state.prefix + QStringLiteral(" no answer since ") +
                         TimeText(state.silentSince);
    }
    if (lastRow_.isValid())
        parts << QStringLiteral("last row ") + TimeText(lastRow_);
    else
        parts << QStringLiteral("no row yet");
    return parts.join(QStringLiteral(" | "));
}

std::vector<VariableProblem> CheckVariables(const Application& app) {
    std::vector<VariableProblem> problems;
    int index = 0;
    for (const ApplicationVariable& v : app.Variables()) {
        const auto add = [&](const QString& text) { problems.push_back({index, text}); };
        if (v.Name().isEmpty())
            add(QStringLiteral("the name is empty"));
        if (v.FieldType() != QLatin1String("N") && v.FieldType() != QLatin1String("T"))
            add(QStringLiteral("the field type \"%1\" is neither \"N\" nor \"T\"")
                    .arg(svt::Escape(v.FieldType())));
        if (v.Length() < 1)
            add(QStringLiteral("the length %1 is below 1").arg(v.Length()));
        if (v.Decimals() < 0)
            add(QStringLiteral("the decimals %1 are below 0").arg(v.Decimals()));
        else if (v.Decimals() > 0 && v.Decimals() >= v.Length())
            add(QStringLiteral("the decimals %1 are not below the length %2")
                    .arg(v.Decimals())
                    .arg(v.Length()));
        QString why;
        if (v.Link() && !SplitLink(*v.Link(), &why))
            add(QStringLiteral("the link \"%1\" %2").arg(svt::Escape(*v.Link()), why));
        ++index;
    }
    return problems;
}

QStringList CheckReport(const QString& fileName, const Application& app,
                        const std::vector<VariableProblem>& problems) {
    QStringList lines;
    const qsizetype count = qsizetype(app.Variables().size());
    if (problems.empty()) {
        lines << QStringLiteral("%1: all %2 variables are valid.")
                     .arg(fileName, QString::number(count));
        return lines;
    }
    int invalid = 0;
    int last = -1;
    for (const VariableProblem& p : problems) {
        if (p.index != last)
            ++invalid;
        last = p.index;
    }
    lines << QStringLiteral("%1: %2 of %3 variables are invalid.")
                 .arg(fileName, QString::number(invalid), QString::number(count));
    for (const VariableProblem& p : problems)
        lines << QStringLiteral("variable %1 \"%2\": %3")
                     .arg(p.index + 1)
                     .arg(svt::Escape(app.Variables()[std::size_t(p.index)].Name()), p.text);
    return lines;
}

} // namespace workstation
