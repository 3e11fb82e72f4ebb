// The Sampling page: polls every tag's value, once on entry and then on the timer; the
// sampling engine widens each tag's properties from what it sees and highlights the tags
// that changed.

#include "app/SamplingEngine.h"
#include "app/frmSVCorblexAppGen.h"

#include "ui/FlexGrid.h"

#include <QTimer>

void frmSVCorblexAppGen::EnterSamplingPage() {
    IGrid& grid = *SamplingGrid;
    const TagItems& tags = *state_.tags;
    const qint32 n = tags.Count();
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
    const QColor unchanged(255, 255, 255);
    for (qint32 i = 1; i <= n; ++i) {
        FillTagRow(grid, i, 0, tags.At(i));
        grid.SetCellBackColor(i, 1, 3, unchanged);
    }
    FitSamplingColumns(*SamplingGrid);
    // A name shortened to fit can still be read whole.
    SamplingGrid->SetColTextTips(0, true);
    grid.SetRedraw(true);

    sampler_->Begin(state_.tags);
    StopSampling_ = false;
    SampleValues();
    // The first sample may have found the tag list changed and gone back to the Connect page,
    // and while it waited for the hub the user may have pressed Next or Close.
    if (CurrentPage_ == 1 && !StopSampling_)
        SetSamplingTimer(state_.sampleRateMs, true);
}

void frmSVCorblexAppGen::LeaveSamplingPage(bool& ok) {
    StopSampling_ = true;
    SetSamplingTimer(0, false);
    sampler_->End();
    ok = true;
}

void frmSVCorblexAppGen::SampleValues() {
    SampleCount_ += 1;
    if (sampler_->Sample(SampleCount_) != SamplingEngine::Outcome::ListChanged)
        return;
    // A sample that went on after the user left the page has nothing to send back.
    if (CurrentPage_ != 1)
        return;
    Message(MessageIcon::Stop,
            QStringLiteral("SVCorblex Tag List has changed. Please start over!"));
    cmdPrev_Click();
}

bool frmSVCorblexAppGen::SamplingInProgress() const {
    return sampler_->Busy();
}

void frmSVCorblexAppGen::SetSampleYieldBudget(int ms) {
    sampler_->SetYieldBudget(ms);
}
