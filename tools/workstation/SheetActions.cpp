#include "SheetActions.h"

#include "History.h"
#include "SheetModel.h"

#include <QAction>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QTableView>

#include <algorithm>
#include <set>

#ifdef SVC_HAVE_CHARTS
#include "TrendView.h"
#endif

namespace workstation {

namespace {

// Rows read at a time for a trend.
constexpr qint64 SeriesChunk = 4096;

QMenu* Menu(QMainWindow& window, const QString& title) {
    for (QAction* action : window.menuBar()->actions())
        if (action->menu() &&
            action->text().remove(QLatin1Char('&')) == QString(title).remove(QLatin1Char('&')))
            return action->menu();
    return window.menuBar()->addMenu(title);
}

} // namespace

TrendFetch SeriesFromRows(std::function<qint64()> rowCount, RowSource rows) {
    return [rowCount = std::move(rowCount), rows = std::move(rows)](int column, qint64 fromMs,
                                                                    qint64 toMs) {
        std::vector<TrendPoint> points;
        const qint64 count = rowCount();
        for (qint64 at = 0; at < count; at += SeriesChunk) {
            for (const SheetRow& row : rows(at, std::min(SeriesChunk, count - at))) {
                const TrendPoint p = PointOf(row, column);
                if (p.ms >= fromMs && p.ms <= toMs)
                    points.push_back(p);
            }
        }
        return points;
    };
}

SheetSource SheetSourceOf(const QString& title, const QStringList& headings,
                          std::vector<bool> numeric, const SheetModel& model) {
    SheetSource source{title,
                       headings,
                       std::move(numeric),
                       [&model] { return qint64(model.rowCount()); },
                       [&model](qint64 first, qint64 count) {
                           if (History* history = model.HistoryStore())
                               return history->Rows(first, count);
                           std::vector<SheetRow> rows;
                           const qint64 end = std::min(first + count, qint64(model.rowCount()));
                           for (qint64 i = std::max<qint64>(first, 0); i < end; ++i)
                               rows.push_back(model.Row(int(i)));
                           return rows;
                       },
                       {}};
    if (History* history = model.HistoryStore())
        source.series = [history](int column, qint64 fromMs, qint64 toMs) {
            std::vector<TrendPoint> points;
            for (const HistoryPoint& p : history->Series(column, fromMs, toMs))
                points.push_back(PointOf(p.ms, p.text, p.quality));
            return points;
        };
    return source;
}

SheetDialogs StandardDialogs() {
    SheetDialogs d;
    d.pdfFile = [](QWidget* parent) {
        return QFileDialog::getSaveFileName(parent, QStringLiteral("Save as PDF"), QString(),
                                            QStringLiteral("PDF files (*.pdf)"));
    };
    d.print = [](QWidget* parent, const PrintJob& job, QString* error) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setPageOrientation(QPageLayout::Landscape);
        printer.setDocName(job.title);
        QPrintDialog dialog(&printer, parent);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        return PrintRows(printer, job, error) > 0;
    };
    return d;
}

SheetActions::SheetActions(QMainWindow& window, QTableView& view, SheetSource source,
                           SheetDialogs dialogs)
    : QObject(&window), window_(window), view_(view), source_(std::move(source)),
      dialogs_(std::move(dialogs)) {
    if (!source_.series)
        source_.series = SeriesFromRows(source_.rowCount, source_.rows);
    QMenu* file = Menu(window, QStringLiteral("&File"));
    print_ = file->addAction(QStringLiteral("&Print..."));
    print_->setShortcut(QKeySequence::Print);
    print_->setToolTip(QStringLiteral("Prints the selected rows, or all rows"));
    connect(print_, &QAction::triggered, this, [this] {
        QString error;
        if (!dialogs_.print(&window_, Job(), &error) && !error.isEmpty())
            Report(QStringLiteral("Printing failed: ") + error);
    });
    pdf_ = file->addAction(QStringLiteral("Save as P&DF..."));
    pdf_->setToolTip(QStringLiteral("Saves the selected rows, or all rows, as a PDF file"));
    connect(pdf_, &QAction::triggered, this, [this] {
        QString error;
        if (!SavePdfTo(&error) && !error.isEmpty())
            Report(error);
    });
    trend_ = Menu(window, QStringLiteral("&View"))->addAction(QStringLiteral("&Trend..."));
    trend_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(trend_, &QAction::triggered, this, [this] { OpenTrend(); });
#ifdef SVC_HAVE_CHARTS
    Rebind();
#else
    trend_->setEnabled(false);
    trend_->setToolTip(QStringLiteral("This build of the program has no trends"));
#endif
}

PrintJob SheetActions::Job() const {
    PrintJob job;
    job.title = source_.title;
    job.headings = source_.headings;
    job.rows = source_.rows;
    const qint64 count = source_.rowCount();
    // The ranges, not the cells: a selection of whole columns of the history is vast.
    const QItemSelection selected = view_.selectionModel()->selection();
    if (selected.isEmpty()) {
        job.first = 0;
        job.count = count;
        return job;
    }
    int low = selected.front().top();
    int high = selected.front().bottom();
    for (const QItemSelectionRange& range : selected) {
        low = std::min(low, range.top());
        high = std::max(high, range.bottom());
    }
    job.first = low;
    job.count = std::max<qint64>(0, std::min<qint64>(high, count - 1) - low + 1);
    return job;
}

std::vector<int> SheetActions::TrendColumns() const {
    std::set<int> columns;
    for (const QItemSelectionRange& range : view_.selectionModel()->selection())
        for (int c = std::max(range.left(), 2); c <= range.right(); ++c)
            if (std::size_t(c) < source_.numeric.size() && source_.numeric[std::size_t(c)])
                columns.insert(c - 2);
    return {columns.begin(), columns.end()};
}

void SheetActions::Rebind() {
#ifdef SVC_HAVE_CHARTS
    disconnect(selection_);
    selection_ = connect(view_.selectionModel(), &QItemSelectionModel::selectionChanged, this,
                         &SheetActions::UpdateTrendAction);
    UpdateTrendAction();
#endif
}

void SheetActions::UpdateTrendAction() {
    const bool any = !TrendColumns().empty();
    trend_->setEnabled(any);
    trend_->setToolTip(any ? QStringLiteral("Shows the selected numeric columns against time")
                           : QStringLiteral("Select a numeric column first: text columns have "
                                            "no trend"));
}

QWidget* SheetActions::OpenTrend() {
#ifdef SVC_HAVE_CHARTS
    const std::vector<int> columns = TrendColumns();
    if (columns.empty())
        return nullptr;
    QStringList names;
    for (const int c : columns)
        names
            << QString(source_.headings.value(c + 2)).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const qint64 count = source_.rowCount();
    qint64 fromMs = 0;
    qint64 toMs = 0;
    if (count > 0) {
        const auto first = source_.rows(0, 1);
        const auto last = source_.rows(count - 1, 1);
        if (!first.empty() && !last.empty()) {
            fromMs = first.front().time.toMSecsSinceEpoch();
            toMs = last.front().time.toMSecsSinceEpoch();
        }
    }
    if (count == 0)
        fromMs = toMs = QDateTime::currentMSecsSinceEpoch();
    auto* trend = new TrendView(names, columns, source_.series, fromMs, toMs, &window_);
    trend->setWindowFlag(Qt::Window);
    trend->setAttribute(Qt::WA_DeleteOnClose);
    trend->setWindowTitle(QStringLiteral("Trend: ") + names.join(QStringLiteral(", ")) +
                          QStringLiteral(" - ") + source_.title);
    trend->resize(900, 500);
    trend->show();
    trends_.emplace_back(trend);
    return trend;
#else
    return nullptr;
#endif
}

bool SheetActions::SavePdfTo(QString* error) {
    const QString path = dialogs_.pdfFile(&window_);
    if (path.isEmpty())
        return false;
    return SavePdf(path, Job(), error);
}

void SheetActions::AddRow(const SheetRow& row) {
#ifdef SVC_HAVE_CHARTS
    trends_.erase(std::remove_if(trends_.begin(), trends_.end(),
                                 [](const QPointer<QWidget>& t) { return t.isNull(); }),
                  trends_.end());
    for (const QPointer<QWidget>& trend : trends_)
        static_cast<TrendView*>(trend.data())->AddRow(row);
#else
    (void)row;
#endif
}

void SheetActions::Report(const QString& text) {
    // Without a loop of its own: the sheet goes on taking rows meanwhile.
    auto* box = new QMessageBox(QMessageBox::Warning, window_.windowTitle(), text, QMessageBox::Ok,
                                &window_);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

} // namespace workstation
