#pragma once
// The questions the log sheet's window asks: a moment to go to and a range to export. Each is
// a dialog made by a function (so a test can look at it without running it) and a function
// type the window calls (so a test can answer without a modal loop).

#include <QDateTime>
#include <QString>
#include <functional>
#include <optional>

class QDialog;
class QWidget;

namespace workstation {

// "Go to": a date and time between `first` and `last`, starting at `initial`.
QDialog* MakeGoToDialog(QWidget* parent, const QDateTime& initial, const QDateTime& first,
                        const QDateTime& last);
using AskMoment = std::function<std::optional<QDateTime>(
    QWidget* parent, const QDateTime& initial, const QDateTime& first, const QDateTime& last)>;
// Runs the dialog; nullopt when the user cancels.
std::optional<QDateTime> AskMomentWithDialog(QWidget* parent, const QDateTime& initial,
                                             const QDateTime& first, const QDateTime& last);

// "Export CSV": a range (the whole history by default) and the file to write.
struct ExportChoice {
    QDateTime from;
    QDateTime to;
    QString file;
};
QDialog* MakeExportDialog(QWidget* parent, const QDateTime& first, const QDateTime& last,
                          const QString& suggestedFile);
using AskExport = std::function<std::optional<ExportChoice>(
    QWidget* parent, const QDateTime& first, const QDateTime& last, const QString& suggestedFile)>;
std::optional<ExportChoice> AskExportWithDialog(QWidget* parent, const QDateTime& first,
                                                const QDateTime& last,
                                                const QString& suggestedFile);

} // namespace workstation
