#pragma once
// The tag table of the hub: every tag it publishes, in order, and the answers built from them.
// Simulated tags move with time: their values are a pure function of (seed, tag position,
// seconds since start), so a run with the same seed gives the same values at the same moments.
// Live tags take the last value their broker or device delivered.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <optional>
#include <vector>

namespace gateway {

struct TagDef {
    // Live: a value read from a broker or device, kept in LiveValues at `slot`.
    enum class Kind { Number, Counter, State, Text, Live };
    QByteArray name;
    Kind kind = Kind::Number;
    // Number: base + amplitude * sin(2 pi t / period + phase) + noise * amplitude * random.
    double base = 0;
    double amplitude = 0;
    double period = 60; // seconds; also how long a State holds
    double noise = 0;
    int decimals = 0;
    // Counter: floor(base + rate * t).
    double rate = 1;
    // State: one of these, changing every `period` seconds; Text: states[0] always.
    QList<QByteArray> states;
    // Chance, per second, that the value is empty.
    double empty = 0;
    // Live: where its value is kept.
    qsizetype slot = -1;
};

class LiveValues;

class TagTable {
public:
    TagTable();

    void SetTags(std::vector<TagDef> tags, quint64 seed);
    // Adds a tag after the others (a live tag a source found while running); false, adding
    // nothing, when a tag of that name exists. The list stays as it is until SetTags.
    bool AppendTag(TagDef tag);
    // Where the values of Live tags are read from; must outlive the plant or be reset.
    void SetLiveValues(const LiveValues* live) { live_ = live; }
    qsizetype Count() const { return qsizetype(tags_.size()); }
    const std::vector<TagDef>& Tags() const { return tags_; }

    // The answer to a request now: GETTAGS, GETVALUES, GETSTATUS, or empty for any other
    // command.
    QByteArray Answer(const QByteArray& command) const;

    // "GETTAGS": the names joined by ",". Built once per tag list.
    const QByteArray& TagsAnswer() const { return tagsAnswer_; }
    // "GETVALUES" at `seconds` since start: "name,value" entries joined by tabs.
    QByteArray ValuesAnswer(double seconds) const;
    // "GETSTATUS": "name,code" entries joined by LF, code being the QualityWord of the tag's
    // value now (simulated tags are always good).
    QByteArray StatusAnswer() const;
    // The value of one tag at `seconds`, as the answer carries it.
    QByteArray Value(qsizetype index, double seconds) const;

private:
    // Writes the value of tag `index` at `out`, which has room for MaxValueBytes(index);
    // returns the end of what was written.
    char* WriteValue(char* out, qsizetype index, double seconds) const;
    // Writes the entries of tags [from, to) at `out`, each after a tab but the very first
    // tag's; returns the end of what was written.
    char* WriteEntries(char* out, qsizetype from, qsizetype to, double seconds) const;
    qsizetype MaxValueBytes(qsizetype index) const;

    QElapsedTimer clock_; // the simulation's time
    std::vector<TagDef> tags_;
    std::vector<double> phases_;
    quint64 seed_ = 0;
    const LiveValues* live_ = nullptr;
    QByteArray tagsAnswer_;
    qsizetype valuesBound_ = 0; // upper bound of the size of a GETVALUES answer
    qsizetype halfBound_ = 0;   // the same for the entries of the first half of the tags
    qsizetype statusBound_ = 0; // upper bound of the size of a GETSTATUS answer
    std::optional<QSet<QByteArray>> names_; // made by the first AppendTag after SetTags
};

} // namespace gateway
