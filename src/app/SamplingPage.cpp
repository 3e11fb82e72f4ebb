// The Sampling page: polls every tag's value, once on entry and then on the timer, widens
// each tag's properties from what it sees and highlights the tags that changed.

#include "app/frmSVCorblexAppGen.h"

#include "hub/Answers.h"
#include "hub/HubRequest.h"
#include "hub/Inference.h"
#include "model/Numeric.h"
#include "ui/FlexGrid.h"

#include <QElapsedTimer>
#include <QScopeGuard>

namespace {

// Rows of a sample between two looks at the clock that decides when to yield.
constexpr qint32 kRowsPerClockCheck = 32;

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

QString SampleHeading(qint32 count) {
    return QStringLiteral("Sample Value #") + QString::number(count);
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

void frmSVCorblexAppGen::EnterSamplingPage() {
    IGrid& grid = *SamplingGrid;
    const qint32 n = Tags_->Count();
    grid.SetRedraw(false);
    grid.SetRows(1);
    grid.SetCols(5);
    grid.SetTextMatrix(0, 0, QStringLiteral("Tag Alias"));
    grid.SetTextMatrix(0, 1, QStringLiteral("Type"));
    grid.SetTextMatrix(0, 2, QStringLiteral("Length"));
    grid.SetTextMatrix(0, 3, QStringLiteral("Decimals"));
    grid.SetTextMatrix(0, 4, SampleHeading(SampleCount_));
    grid.AutoSize(0, grid.Cols() - 1);
    grid.SetRows(n + 1);
    for (qint32 i = 1; i <= n; ++i) {
        FillTagRow(grid, i, 0, Tags_->At(i));
        grid.SetCellBackColor(i, 1, 3, Unchanged);
    }
    grid.AutoSize(0, grid.Cols() - 1);
    KeepValueHeadingInSight(*SamplingGrid);
    // A name shortened to fit can still be read whole.
    SamplingGrid->SetColTextTips(0, true);
    grid.SetRedraw(true);

    LastChangeTick_ = services_.tickCounter->GetTickCount();
    StopSampling_ = false;
    SampleValues();
    // The first sample may have found the tag list changed and gone back to the Connect page,
    // and while it waited for the hub the user may have pressed Next or Close.
    if (CurrentPage_ == 1 && !StopSampling_)
        SetSamplingTimer(SampleRateMs_, true);
}

void frmSVCorblexAppGen::LeaveSamplingPage(bool& ok) {
    StopSampling_ = true;
    SetSamplingTimer(0, false);
    // The pages after this one have no use for the entries' storage (tens of megabytes for a
    // million tags); a sample still running holds its own.
    std::vector<answers::ValueEntry>().swap(entriesStore_);
    ok = true;
}

void frmSVCorblexAppGen::SampleValues() {
    ++samplingDepth_;
    const auto depthGuard = qScopeGuard([this] { --samplingDepth_; });
    // A newer sample, or a new tag list, makes this one end at its next row. The collection
    // is held so that it outlives this sample whatever the pages do meanwhile.
    const quint64 serial = ++sampleSerial_;
    const quint64 generation = tagsGeneration_;
    const std::shared_ptr<TagItems> tags = Tags_;
    IGrid& grid = *SamplingGrid;

    SampleCount_ += 1;
    const QString answer = AskHub(hubrequest::GetValues);
    // While the hub was asked the user may have closed the window, pressed Next, or gone
    // back and fetched a new tag list: the answer then belongs to nobody.
    if (StopSampling_ || serial != sampleSerial_ || generation != tagsGeneration_)
        return;
    const qint32 n = tags->Count();

    // Pending events run once a few milliseconds of work have been done since the last time,
    // so a large tag list stays responsive without paying for a yield per row. The answer of
    // a million tags takes tens of milliseconds to split, so it is split in pieces too.
    QElapsedTimer sinceYield;
    sinceYield.start();
    const auto yieldIfDue = [&] {
        if (sinceYield.elapsed() < yieldBudgetMs_)
            return;
        services_.eventPump->ProcessPendingEvents();
        sinceYield.restart();
    };
    const auto abandoned = [&] {
        return StopSampling_ || serial != sampleSerial_ || generation != tagsGeneration_;
    };
    // The entries' storage is kept from one sample to the next while sampling goes on (a
    // sample started meanwhile makes its own).
    std::vector<answers::ValueEntry> entries = std::move(entriesStore_);
    entries.clear();
    const auto keepEntries = qScopeGuard([&] {
        if (!StopSampling_ && entries.capacity() > entriesStore_.capacity())
            entriesStore_ = std::move(entries);
    });
    constexpr qsizetype kEntriesPerPiece = 32768;
    for (answers::ValueSplitter splitter(answer); !splitter.Done();) {
        splitter.Next(kEntriesPerPiece, entries);
        if (!splitter.Done()) {
            yieldIfDue();
            if (abandoned())
                return; // the heading keeps its previous text
        }
    }

    const auto tagListChanged = [this] {
        // A sample that went on after the user left the page has nothing to send back.
        if (CurrentPage_ != 1)
            return;
        Message(MessageIcon::Stop,
                QStringLiteral("SVCorblex Tag List has changed. Please start over!"));
        cmdPrev_Click();
    };
    if (static_cast<qint64>(entries.size()) != n) {
        tagListChanged();
        return;
    }

    grid.SetRedraw(false);
    auto redraw = qScopeGuard([&grid] { grid.SetRedraw(true); });
    for (qint32 i = 1; i <= n; ++i) {
        const answers::ValueEntry& entry = entries[static_cast<size_t>(i - 1)];
        TagItem& tag = tags->At(i);
        if (!answers::SameTagName(tag.Name(), entry.name)) {
            redraw.dismiss();
            grid.SetRedraw(true);
            tagListChanged();
            return;
        }
        if (InferTagProperties(i, entry.value)) {
            grid.SetTextMatrix(i, 1, tag.FieldType());
            grid.SetTextMatrix(i, 2, QString::number(tag.Length()));
            grid.SetTextMatrix(i, 3, QString::number(tag.Decimals()));
        }
        // Rows whose value did not move keep the text they show.
        if (!SameText(tag.Value(), entry.value)) {
            tag.SetValue(entry.value);
            grid.SetTextMatrix(i, 4, tag.Value());
        }

        // The grid stays undrawn while events run: repainting a half-written pass would cost
        // the user's events more time than the whole pass's one repaint at its end. Reading
        // the clock costs about as much as a row, so it is read every few rows only.
        if (yieldBudgetMs_ <= 0 || i % kRowsPerClockCheck == 0)
            yieldIfDue();
        if (abandoned())
            return; // the heading keeps its previous text
    }
    redraw.dismiss();
    grid.SetRedraw(true);

    grid.AutoSize(0, grid.Cols() - 1);
    const quint32 elapsed = services_.tickCounter->GetTickCount() - LastChangeTick_;
    const auto seconds = static_cast<qint64>(numeric::RoundHalfEven(elapsed / 1000.0));
    grid.SetTextMatrix(0, 4,
                       SampleHeading(SampleCount_) + QStringLiteral(", No property changes for ") +
                           QString::number(seconds) + QStringLiteral(" secs"));
    // The longer heading gets room to be read.
    grid.AutoSize(4, 4);
    KeepValueHeadingInSight(*SamplingGrid);
}

bool frmSVCorblexAppGen::InferTagProperties(qint32 index, QStringView value) {
    const TagItem& tag = Tags_->At(index);
    const TagProperties current{tag.FieldType(), tag.Length(), tag.Decimals(), tag.Integers()};
    const TagProperties next = InferProperties(current, value);
    return ApplyTagProperties(index, next.fieldType, next.length, next.decimals, next.integers);
}

bool frmSVCorblexAppGen::ApplyTagProperties(qint32 index, const QString& fieldType, qint32 length,
                                            qint32 decimals, qint32 integers) {
    TagItem& tag = Tags_->At(index);
    const bool changed =
        PropertiesChanged({tag.FieldType(), tag.Length(), tag.Decimals(), tag.Integers()},
                          {fieldType, length, decimals, integers});
    if (changed)
        LastChangeTick_ = services_.tickCounter->GetTickCount();
    SamplingGrid->SetCellBackColor(index, 1, 3, changed ? Changed : Unchanged);
    if (changed) {
        tag.SetFieldType(fieldType);
        tag.SetLength(length);
        tag.SetDecimals(decimals);
        tag.SetIntegers(integers);
    }
    return changed;
}
