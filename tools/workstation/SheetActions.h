#pragma once
// The log sheet window's actions beside the table: "Print...", "Save as PDF..." (File menu)
// and "Trend..." (View menu, Ctrl+T, where the trend is built). They take the rows through
// functions, so the same actions serve the rows in memory and the history.
//
// Print and PDF cover the selected rows (from the first to the last selected one) or, with no
// row selected, every row. A trend shows the selected numeric columns from the first row on
// and follows the rows that arrive; text columns are left out, and with no numeric column
// selected the action is disabled with a tooltip that says why.

#include "SheetPrint.h"
#include "TrendData.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <vector>

class QAction;
class QMainWindow;
class QTableView;
class QWidget;

namespace workstation {

class SheetModel;
class TrendView;

struct SheetSource {
    QString title;             // the application's title
    QStringList headings;      // of every column of the table
    std::vector<bool> numeric; // one per column: a numeric variable's
    std::function<qint64()> rowCount;
    RowSource rows;
    // The points of a trend; when not given, read from `rows`.
    TrendFetch series;
};

// A trend's points read from rows by index (the rows are oldest first).
TrendFetch SeriesFromRows(std::function<qint64()> rowCount, RowSource rows);

// The rows and points of what `model` shows: read from its history when it has one (a trend
// then reads one column's points from the history alone), else the rows it keeps in memory.
// `numeric` has one entry per column of `headings`. The model must outlive the source.
SheetSource SheetSourceOf(const QString& title, const QStringList& headings,
                          std::vector<bool> numeric, const SheetModel& model);

// How the window asks the user for a file or a printer; tests give their own.
struct SheetDialogs {
    // The PDF file to write ("" to cancel).
    std::function<QString(QWidget* parent)> pdfFile;
    // Prints the job on a printer the user picks; false when cancelled or failed (`error`).
    std::function<bool(QWidget* parent, const PrintJob& job, QString* error)> print;
};
// The system's dialogs.
SheetDialogs StandardDialogs();

class SheetActions : public QObject {
    Q_OBJECT

public:
    // Adds the actions to the menus of `window` (creating "File" and "View" when it has none).
    SheetActions(QMainWindow& window, QTableView& view, SheetSource source,
                 SheetDialogs dialogs = StandardDialogs());

    // The rows of the print: the selected rows' span, or all.
    PrintJob Job() const;
    // The selected numeric columns, as indices into SheetRow::values.
    std::vector<int> TrendColumns() const;
    // Opens a trend of TrendColumns(); nullptr when there is none (or no Qt Charts).
    QWidget* OpenTrend();
    // Saves Job() as PDF to the file the dialog names; false when cancelled, or with `error`
    // when it fails.
    bool SavePdfTo(QString* error);

    // Call after the view was given another model (it comes with a selection of its own).
    void Rebind();

    // A new row: open trends draw it.
    void AddRow(const SheetRow& row);

    QAction* printAction() const { return print_; }
    QAction* pdfAction() const { return pdf_; }
    QAction* trendAction() const { return trend_; }

private:
    void UpdateTrendAction();
    void Report(const QString& text);

    QMainWindow& window_;
    QTableView& view_;
    SheetSource source_;
    SheetDialogs dialogs_;
    QAction* print_ = nullptr;
    QAction* pdf_ = nullptr;
    QAction* trend_ = nullptr;
    std::vector<QPointer<QWidget>> trends_;
    QMetaObject::Connection selection_;
};

} // namespace workstation
