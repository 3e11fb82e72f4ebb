#pragma once
// The work behind the Sampling page: asks the hub for every tag's value, splits the answer,
// widens each tag's properties from what it sees (InferTagProperties), highlights the rows
// whose properties changed, and keeps the clock of the last change that the value column's
// heading reports. The window's procedures (EnterSamplingPage, SampleValues,
// LeaveSamplingPage) drive it; it shows no message and changes no page itself.
//
// A sample waits for the hub and yields to pending events while it works, so the user may
// leave the page, go back and fetch a new tag list, or start another sample meanwhile. Each
// of these ends the run (End, Begin) or starts a newer sample, and the sample then stops at
// its next look, leaving the tags and the grid as they were.

#include "hub/Answers.h"
#include "model/TagItems.h"

#include <QString>
#include <QStringView>
#include <functional>
#include <memory>
#include <vector>

class FlexGrid;
class IEventPump;
class ITickCounter;

// "Sample Value #" and the count: the value column's heading before a sample has finished.
QString SampleHeading(qint32 count);
// Fits the Sampling grid's columns, the name column giving up room so that the value column
// and its heading stay in sight.
void FitSamplingColumns(FlexGrid& grid);

class SamplingEngine {
public:
    // `askValues` asks the hub for every value and returns the answer, "" on failure; events
    // keep running while it waits.
    SamplingEngine(FlexGrid& grid, ITickCounter& clock, IEventPump& pump,
                   std::function<QString()> askValues);

    // Starts sampling `tags`, whose rows the grid shows: the change clock starts now.
    void Begin(std::shared_ptr<TagItems> tags);
    // Ends the run: a sample still running stops at its next look; the storage kept between
    // samples is given back.
    void End();

    enum class Outcome {
        Done,        // the grid shows the sample; the heading reports sample `count`
        Abandoned,   // the run ended or a newer sample started meanwhile
        ListChanged, // the answer's tags are not the tag list's: another list is published
    };
    // One sample, numbered `count` in the heading.
    Outcome Sample(qint32 count);
    // True while a sample is on the stack (it waits for the hub or yields to events).
    bool Busy() const { return busy_ > 0; }

    // How much work a sample does between two yields to pending events; 0 yields after every
    // row.
    void SetYieldBudget(int ms) { yieldBudgetMs_ = ms; }

private:
    // Widens tag index's properties by one sampled value, highlights its row when they
    // changed, and returns whether they did.
    bool InferTagProperties(TagItems& tags, qint32 index, QStringView value);
    void WriteHeading(qint32 count);

    FlexGrid& grid_;
    ITickCounter& clock_;
    IEventPump& pump_;
    std::function<QString()> askValues_;

    std::shared_ptr<TagItems> tags_;
    // Changes with every Begin, End and sample: a sample whose number is no longer current
    // has been overtaken and stops.
    quint64 run_ = 0;
    bool running_ = false;
    int busy_ = 0;
    quint32 lastChangeTick_ = 0;
    int yieldBudgetMs_ = 10;
    // Storage for the entries of a values answer, kept between the samples of one run.
    std::vector<answers::ValueEntry> entriesStore_;
};
