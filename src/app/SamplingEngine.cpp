#include "app/SamplingEngine.h"

#include "hub/Inference.h"
#include "model/Numeric.h"
#include "ui/FlexGrid.h"
#include "ui/Platform.h"

#include <QElapsedTimer>
#include <QScopeGuard>

namespace {

// Rows of a sample between two looks at the clock that decides when to yield.
constexpr qint32 RowsPerClockCheck = 32;
// Entries of a values answer split between two chances to yield.
constexpr qsizetype EntriesPerPiece = 32768;

const QColor Changed(0, 255, 255);
const QColor Unchanged(255, 255, 255);

// Exact comparison; sampled values are short, so a plain loop beats a call into the string
// library.
bool SameText(const QString& a, QStringView b) {
    const qsizetype n = a.size();
    if (n != b.size())
        return false;
    const QChar* x = a.constData();
    const QChar* y = b.data();
    for (qsizetype k = 0; k < n; ++k)
        if (x[k] != y[k])
            return false;
    return true;
}

// The value column's heading holds the figures the user watches; a long tag name must not
// push it out of sight. The name column gives up the room the others need, down to the
// width of its own heading, and its longest names are then shortened on screen.
void KeepValueHeadingInSight(FlexGrid& grid) {
    int others = 0;
    for (int c = 1; c < grid.Cols(); ++c)
        others += grid.ColWidth(c);
    const int least = grid.fontMetrics().horizontalAdvance(grid.TextMatrix(0, 0)) + 16;
    const int fitting = std::max(grid.VisibleCellsWidth() - others, least);
    if (grid.ColWidth(0) > fitting)
        grid.SetColWidth(0, fitting);
}

} // namespace

QString SampleHeading(qint32 count) {
    return QStringLiteral("Sample Value #") + QString::number(count);
}

void FitSamplingColumns(FlexGrid& grid) {
    grid.AutoSize(0, grid.Cols() - 1);
    KeepValueHeadingInSight(grid);
}

SamplingEngine::SamplingEngine(FlexGrid& grid, ITickCounter& clock, IEventPump& pump,
                               std::function<QString()> askValues)
    : grid_(grid), clock_(clock), pump_(pump), askValues_(std::move(askValues)) {}

void SamplingEngine::Begin(std::shared_ptr<TagItems> tags) {
    ++run_;
    running_ = true;
    tags_ = std::move(tags);
    lastChangeTick_ = clock_.GetTickCount();
}

void SamplingEngine::End() {
    ++run_;
    running_ = false;
    // The pages after sampling have no use for the entries' storage (tens of megabytes for a
    // million tags); a sample still running holds its own.
    std::vector<answers::ValueEntry>().swap(entriesStore_);
}

SamplingEngine::Outcome SamplingEngine::Sample(qint32 count) {
    ++busy_;
    const auto busyGuard = qScopeGuard([this] { --busy_; });
    // The collection is held so that it outlives this sample whatever the pages do meanwhile.
    const quint64 run = ++run_;
    const std::shared_ptr<TagItems> tags = tags_;
    const auto overtaken = [&] { return !running_ || run != run_ || !tags; };

    const QString answer = askValues_();
    if (overtaken())
        return Outcome::Abandoned;
    const qint32 n = tags->Count();

    // Pending events run once a few milliseconds of work have been done since the last time,
    // so a large tag list stays responsive without paying for a yield per row. The answer of
    // a million tags takes tens of milliseconds to split, so it is split in pieces too.
    QElapsedTimer sinceYield;
    sinceYield.start();
    const auto yieldIfDue = [&] {
        if (sinceYield.elapsed() < yieldBudgetMs_)
            return;
        pump_.ProcessPendingEvents();
        sinceYield.restart();
    };
    // The entries' storage is kept from one sample to the next while the run goes on (a
    // sample started meanwhile makes its own).
    std::vector<answers::ValueEntry> entries = std::move(entriesStore_);
    entries.clear();
    const auto keepEntries = qScopeGuard([&] {
        if (running_ && entries.capacity() > entriesStore_.capacity())
            entriesStore_ = std::move(entries);
    });
    for (answers::ValueSplitter splitter(answer); !splitter.Done();) {
        splitter.Next(EntriesPerPiece, entries);
        if (!splitter.Done()) {
            yieldIfDue();
            if (overtaken())
                return Outcome::Abandoned; // the heading keeps its previous text
        }
    }
    if (static_cast<qint64>(entries.size()) != n)
        return Outcome::ListChanged;

    grid_.SetRedraw(false);
    auto redraw = qScopeGuard([this] { grid_.SetRedraw(true); });
    for (qint32 i = 1; i <= n; ++i) {
        const answers::ValueEntry& entry = entries[static_cast<size_t>(i - 1)];
        TagItem& tag = tags->At(i);
        if (!answers::SameTagName(tag.Name(), entry.name))
            return Outcome::ListChanged;
        if (InferTagProperties(*tags, i, entry.value)) {
            grid_.SetTextMatrix(i, 1, tag.FieldType());
            grid_.SetTextMatrix(i, 2, QString::number(tag.Length()));
            grid_.SetTextMatrix(i, 3, QString::number(tag.Decimals()));
        }
        // Rows whose value did not move keep the text they show.
        if (!SameText(tag.Value(), entry.value)) {
            tag.SetValue(entry.value);
            grid_.SetTextMatrix(i, 4, tag.Value());
        }

        // The grid stays undrawn while events run: repainting a half-written pass would cost
        // the user's events more time than the whole pass's one repaint at its end. Reading
        // the clock costs about as much as a row, so it is read every few rows only.
        if (yieldBudgetMs_ <= 0 || i % RowsPerClockCheck == 0)
            yieldIfDue();
        if (overtaken())
            return Outcome::Abandoned; // the heading keeps its previous text
    }
    redraw.dismiss();
    grid_.SetRedraw(true);
    WriteHeading(count);
    return Outcome::Done;
}

void SamplingEngine::WriteHeading(qint32 count) {
    grid_.AutoSize(0, grid_.Cols() - 1);
    const quint32 elapsed = clock_.GetTickCount() - lastChangeTick_;
    const auto seconds = static_cast<qint64>(numeric::RoundHalfEven(elapsed / 1000.0));
    grid_.SetTextMatrix(0, 4,
                        SampleHeading(count) + QStringLiteral(", No property changes for ") +
                            QString::number(seconds) + QStringLiteral(" secs"));
    // The longer heading gets room to be read.
    grid_.AutoSize(4, 4);
    KeepValueHeadingInSight(grid_);
}

bool SamplingEngine::InferTagProperties(TagItems& tags, qint32 index, QStringView value) {
    TagItem& tag = tags.At(index);
    const TagProperties current{tag.FieldType(), tag.Length(), tag.Decimals(), tag.Integers()};
    const TagProperties next = InferProperties(current, value);
    const bool changed = PropertiesChanged(current, next);
    if (changed) {
        lastChangeTick_ = clock_.GetTickCount();
        tag.SetFieldType(next.fieldType);
        tag.SetLength(next.length);
        tag.SetDecimals(next.decimals);
        tag.SetIntegers(next.integers);
    }
    grid_.SetCellBackColor(index, 1, 3, changed ? Changed : Unchanged);
    return changed;
}
