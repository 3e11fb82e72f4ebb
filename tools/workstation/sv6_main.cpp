// sv6.exe FILE: shows the application in the .SVT file FILE as a log sheet that keeps its
// history. Every poll adds a row with the date, the time and the current value of each
// variable, read through the variable's link from its hub (one "GETVALUES" request per hub and
// poll). Each hub is polled on its own connection without waiting, so a hub that stalls
// freezes neither the window nor the other hubs' values; the status bar tells which hubs
// answer, since when one does not, and the time of the last row.
//
// Every row is recorded in the application's history (see History.h), and the sheet shows the
// whole history: it scrolls back to the first row ever recorded, "Go to" (Ctrl+G) jumps to a
// date and time, and "Export CSV" writes a range as a spreadsheet. The history is the file
// --history names; else NAME.svh beside NAME.SVT when that folder is writable; else a file in
// the user's data folder whose name is made unique from the full path of the .SVT. When a
// second sv6.exe shows the same application, the first records and the second shows the
// history as it grows, saying in its status bar that it does not record, and records on when
// the first ends. File, "Print..." and "Save as PDF..." put the selected rows (or all) on
// paper or into a PDF file; View, "Trend..." shows the selected numeric columns against time.
//
// sv6.exe --export-csv FROM TO OUTFILE FILE writes the rows of the history of FILE from FROM
// to TO as CSV into OUTFILE and ends, without a window or a display: FROM and TO are local
// times as yyyy-MM-ddThh:mm:ss (or hh:mm, or a date alone yyyy-MM-dd), both included to the
// end of their last unit (TO 2026-12-06 includes the whole day). Exits 0 when written, else 1
// with the reason on standard error.
//
// The wizard passes the file as the one and only argument, unquoted and possibly holding
// blanks. Options may come before it:
//   --history FILE         keep the history in FILE
//   --export-csv FROM TO OUTFILE   see above
// and for tests:
//   --exit-after-polls N   quit with exit code 0 after N polls (also SV6_EXIT_AFTER_POLLS);
//                          problems then go to standard error instead of a message box
//   --poll-interval-ms N   poll every N ms instead of every second (also SV6_POLL_INTERVAL_MS)
//   --print-rows           also print each row, tab-separated, on standard output (after it
//                          is recorded), and the status bar's text after it on standard error
//   SV6_SCREENSHOT=PATH    save a picture of the window as PATH (PNG) before quitting
//   SV6_HISTORY_MAX_PAGES=N  let the history grow to no more than N pages of SQLite (at least
//                          what it has): a disk that fills up
// SIGTERM and SIGINT close the window and end the program with exit code 0; so does, on
// Windows, WM_CLOSE sent to its main thread.

#include "Fail.h"
#include "History.h"
#include "SheetActions.h"
#include "SheetDialogs.h"
#include "SheetModel.h"
#include "Workstation.h"
#include "generate/Application.h"
#include "hub/HubReader.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#ifdef Q_OS_WIN
#include <QAbstractNativeEventFilter>

#include <qt_windows.h>
#endif

namespace {

std::atomic<bool> stopRequested{false};

extern "C" void OnStopSignal(int) {
    stopRequested = true;
}

#ifdef Q_OS_WIN
// Windows asks a program to end with WM_CLOSE: to its windows, which close as with the close
// button, and to its main thread (QProcess::terminate does both), which is heard here. The
// thread's message is the one that also arrives where the sheet has no window of the system's
// own (the off-screen platform).
class CloseMessageFilter : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        const MSG* msg = static_cast<const MSG*>(message);
        if (type != "windows_generic_MSG" || msg->hwnd != nullptr || msg->message != WM_CLOSE)
            return false;
        stopRequested = true;
        return true;
    }
};
#endif

const QLatin1String ExportOption("--export-csv");

const QString Usage = QStringLiteral(
    "Usage: sv6.exe [--history HISTORY] [--exit-after-polls N] [--poll-interval-ms N] "
    "[--print-rows] FILE\n"
    "       sv6.exe [--history HISTORY] --export-csv FROM TO OUTFILE FILE\n"
    "The history is HISTORY, else FILE's name with .svh beside it when that folder is writable, "
    "else a file in the user's data folder.\n"
    "FROM and TO: yyyy-MM-ddThh:mm:ss, yyyy-MM-ddThh:mm or yyyy-MM-dd (local time, included).");

struct Options {
    QString file;
    QString history;
    int exitAfterPolls = 0;
    int intervalMs = 1000;
    bool printRows = false;
    bool exportCsv = false;
    QString exportFrom;
    QString exportTo;
    QString exportFile;
    QString error;
};

int PositiveNumber(const QString& text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n > 0 ? n : 0;
}

Options ParseArguments(const QStringList& args) {
    Options o;
    o.exitAfterPolls = PositiveNumber(qEnvironmentVariable("SV6_EXIT_AFTER_POLLS"));
    if (const int ms = PositiveNumber(qEnvironmentVariable("SV6_POLL_INTERVAL_MS")))
        o.intervalMs = ms;
    if (args.isEmpty()) {
        o.error = QStringLiteral("No application file given.\n") + Usage;
        return o;
    }
    // The last argument is always the file, whatever it looks like.
    o.file = args.last();
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--print-rows")) {
            o.printRows = true;
        } else if ((a == QLatin1String("--exit-after-polls") ||
                    a == QLatin1String("--poll-interval-ms")) &&
                   i + 2 < args.size() && PositiveNumber(args[i + 1]) > 0) {
            (a == QLatin1String("--exit-after-polls") ? o.exitAfterPolls : o.intervalMs) =
                PositiveNumber(args[++i]);
        } else if (a == QLatin1String("--history") && i + 2 < args.size()) {
            o.history = args[++i];
        } else if (a == ExportOption && i + 4 < args.size()) {
            o.exportCsv = true;
            o.exportFrom = args[++i];
            o.exportTo = args[++i];
            o.exportFile = args[++i];
        } else {
            o.error = QStringLiteral("Unknown or incomplete option \"%1\".\n").arg(a) + Usage;
            return o;
        }
    }
    return o;
}

// A moment of --export-csv in milliseconds since the epoch: the start of what the text
// names, or with `end` its last millisecond.
std::optional<qint64> ParseMoment(const QString& text, bool end) {
    struct Form {
        const char* format;
        qint64 unitMs; // 0: a whole day
    };
    static const Form Forms[] = {
        {"yyyy-MM-ddThh:mm:ss.zzz", 1}, {"yyyy-MM-ddThh:mm:ss", 1000}, {"yyyy-MM-ddThh:mm", 60000},
        {"yyyy-MM-dd hh:mm:ss.zzz", 1}, {"yyyy-MM-dd hh:mm:ss", 1000}, {"yyyy-MM-dd hh:mm", 60000},
    };
    for (const Form& form : Forms) {
        const QDateTime t = QDateTime::fromString(text, QLatin1String(form.format));
        if (t.isValid())
            return t.toMSecsSinceEpoch() + (end ? form.unitMs - 1 : 0);
    }
    const QDate day = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
    if (!day.isValid())
        return std::nullopt;
    return end ? day.addDays(1).startOfDay().toMSecsSinceEpoch() - 1
               : day.startOfDay().toMSecsSinceEpoch();
}

// The recorded columns: every variable the sheet shows after its clock columns.
std::vector<workstation::HistoryColumn> SheetColumns(const Application& app) {
    std::vector<workstation::HistoryColumn> columns;
    for (const ApplicationVariable& v : app.Variables())
        if (!workstation::IsClockVariable(v))
            columns.push_back({v.Name(), v.Link().value_or(QString()), v.FieldType()});
    return columns;
}

int ExportCsv(const Options& options, const Application& app) {
    const auto from = ParseMoment(options.exportFrom, false);
    const auto to = ParseMoment(options.exportTo, true);
    if (!from || !to) {
        logging::Error(QStringLiteral("\"%1\" is not a date and time.\n")
                           .arg(from ? options.exportTo : options.exportFrom) +
                       Usage);
        return 1;
    }
    QString error;
    const QString path = workstation::HistoryPath(options.file, options.history);
    const auto history = workstation::History::Open(path, app.Title(), SheetColumns(app),
                                                    workstation::History::Access::ReadOnly, &error);
    if (!history) {
        logging::Error(error);
        return 1;
    }
    if (!history->HasSheet()) {
        logging::Error(QStringLiteral("The history file %1 holds no rows of this version of %2.")
                           .arg(path, options.file));
        return 1;
    }
    if (!history->ExportCsv(*from, *to, options.exportFile, &error)) {
        logging::Error(error);
        return 1;
    }
    return 0;
}

int Fail(const QString& text, bool interactive) {
    return workstation::Fail(QStringLiteral("sv6"), text, interactive);
}

// The last millisecond of the second of `t`: a range chosen to the second includes the rows
// shown with that second.
qint64 EndOfSecond(const QDateTime& t) {
    const qint64 ms = t.toMSecsSinceEpoch();
    return ms - ms % 1000 + 999;
}

} // namespace

int main(int argc, char** argv) {
    // An export needs no display: it runs without the widget application.
    bool exportOnly = false;
    for (int i = 1; i < argc; ++i)
        exportOnly = exportOnly || std::strcmp(argv[i], "--export-csv") == 0;
    std::unique_ptr<QCoreApplication> qtApp;
    if (exportOnly)
        qtApp = std::make_unique<QCoreApplication>(argc, argv);
    else
        qtApp = std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sv6"));
    logging::SetProgram(QStringLiteral("sv6.exe"));
    const Options options = ParseArguments(QCoreApplication::arguments().mid(1));
    const bool interactive = options.exitAfterPolls == 0 && !exportOnly;
    if (!options.error.isEmpty() || (exportOnly && !options.exportCsv))
        return Fail(options.error.isEmpty() ? Usage : options.error, interactive);

    Application app;
    try {
        app = Application::LoadFromFile(options.file);
    } catch (const ComponentError& e) {
        return Fail(e.message(), interactive);
    }
    if (options.exportCsv)
        return ExportCsv(options, app);

    const workstation::LogSheet sheet(app);
    workstation::SheetPoller poller(sheet, [] {
        auto reader = std::make_unique<SVComSrvClass>();
        reader->SetSilent(true);
        return reader;
    });

    // The history: recorded here, read while another sv6.exe records it, or, when the file is
    // refused, none (the sheet then keeps its last rows in memory).
    const QString historyPath = workstation::HistoryPath(options.file, options.history);
    QString historyError;
    const std::unique_ptr<workstation::History> history =
        workstation::History::Open(historyPath, app.Title(), SheetColumns(app),
                                   workstation::History::Access::Record, &historyError);
    QString historyText;
    if (!history) {
        historyText = QStringLiteral("history not kept: ") + historyError;
        logging::Warning(historyText);
    } else if (!history->Recording()) {
        historyText = QStringLiteral("history: ") + history->NotRecordingReason();
        logging::Notice(historyText + QStringLiteral(" (") + historyPath + QLatin1Char(')'));
    } else {
        if (const int pages = PositiveNumber(qEnvironmentVariable("SV6_HISTORY_MAX_PAGES")))
            history->LimitPagesForTest(pages);
        historyText = QStringLiteral("recording to ") + QFileInfo(historyPath).fileName();
        logging::Notice(QStringLiteral("recording the history to %1 (%2 rows so far)")
                            .arg(historyPath, QString::number(history->RowCount())));
    }

    // A reader whose application differs from the one the other sv6.exe records has no rows
    // of its own in the file: it shows its live rows instead.
    workstation::History* shown =
        history && (history->Recording() || history->HasSheet()) ? history.get() : nullptr;
    if (history && !shown)
        historyText += QStringLiteral("; the history holds no rows of this version of the "
                                      "application");

    QMainWindow window;
    auto* model = new workstation::SheetModel(sheet.Headings(), shown, &window);
    auto* view = new QTableView(&window);
    view->setObjectName(QStringLiteral("logSheet"));
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
    // Every row is as high as the first: the view never measures rows it does not show.
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setDefaultAlignment(Qt::AlignCenter);
    // Each column is as wide as its heading lines, so every heading can be read in full.
    for (int c = 0; c < model->columnCount(); ++c)
        view->setColumnWidth(
            c, std::max(view->horizontalHeader()->sectionSizeHint(c), view->columnWidth(c)));
    window.setCentralWidget(view);
    // The hubs' state is what the user looks for first; the file goes to the title.
    window.setWindowTitle(app.Title() + QStringLiteral(" - ") + options.file);
    auto* about = new QLabel(sheet.Summary(options.intervalMs));
    window.statusBar()->addPermanentWidget(about);
    auto* hubStatus = new QLabel(poller.StatusText());
    hubStatus->setObjectName(QStringLiteral("hubStatus"));
    window.statusBar()->addWidget(hubStatus, 1);
    auto* historyStatus = new QLabel(historyText);
    historyStatus->setObjectName(QStringLiteral("historyStatus"));
    window.statusBar()->addWidget(historyStatus);
    QObject::connect(&poller, &workstation::SheetPoller::StatusChanged, hubStatus,
                     [&] { hubStatus->setText(poller.StatusText()); });
    // A write problem is shown once when it starts and goes when writing works again.
    const auto showHistoryState = [&] {
        const QString text =
            history && !history->WriteProblem().isEmpty() ? history->WriteProblem() : historyText;
        if (historyStatus->text() != text)
            historyStatus->setText(text);
    };

    // The menus. Actions that show or print the rows in other ways go into the blocks below.
    QMenu* fileMenu = window.menuBar()->addMenu(QStringLiteral("&File"));
    QMenu* viewMenu = window.menuBar()->addMenu(QStringLiteral("&View"));
    workstation::AskExport askExport = workstation::AskExportWithDialog;
    QAction* exportAction = fileMenu->addAction(QStringLiteral("&Export CSV..."));
    exportAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    exportAction->setEnabled(shown != nullptr);
    QObject::connect(exportAction, &QAction::triggered, &window, [&] {
        const QFileInfo svt(options.file);
        const auto choice =
            askExport(&window, model->FirstTime(), model->LastTime(),
                      svt.absoluteDir().filePath(svt.completeBaseName() + QStringLiteral(".csv")));
        if (!choice)
            return;
        QString error;
        if (shown->ExportCsv(choice->from.toMSecsSinceEpoch(), EndOfSecond(choice->to),
                             choice->file, &error))
            window.statusBar()->showMessage(QStringLiteral("exported to ") + choice->file, 10000);
        else
            QMessageBox::warning(&window, QStringLiteral("Export CSV"), error);
    });
    workstation::AskMoment askMoment = workstation::AskMomentWithDialog;
    QAction* goToAction = viewMenu->addAction(QStringLiteral("&Go to..."));
    goToAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    QObject::connect(goToAction, &QAction::triggered, &window, [&] {
        const QModelIndex top = view->indexAt(QPoint(0, 0));
        const QDateTime initial = top.isValid() ? model->Row(top.row()).time : model->LastTime();
        if (const auto moment = askMoment(&window, initial, model->FirstTime(), model->LastTime()))
            workstation::GoTo(*view, *model, *moment);
    });
    // Print, PDF and trend, over the rows the sheet shows: the history's, or the last rows
    // kept in memory when there is none.
    std::vector<bool> numeric;
    for (int c = 0; c < model->columnCount(); ++c)
        numeric.push_back(sheet.IsNumeric(c));
    auto* sheetActions = new workstation::SheetActions(
        window, *view, workstation::SheetSourceOf(app.Title(), sheet.Headings(), numeric, *model));
    QObject::connect(&poller, &workstation::SheetPoller::RowReady, sheetActions,
                     &workstation::SheetActions::AddRow);

    fileMenu->addSeparator();
    QAction* quitAction = fileMenu->addAction(QStringLiteral("&Quit"));
    quitAction->setShortcut(QKeySequence::Quit);
    QObject::connect(quitAction, &QAction::triggered, &window, &QMainWindow::close);

    window.resize(900, 500);
    window.show();
    view->scrollToBottom();

    int rows = 0;
    QTimer pollTimer;
    QObject::connect(
        &poller, &workstation::SheetPoller::RowReady, &window,
        [&](const workstation::SheetRow& sheetRow) {
            // A user looking at earlier rows stays there; one at the bottom
            // follows the new rows. A reader shows the rows the recording
            // sv6.exe adds.
            workstation::AddKeepingView(*view, [&] {
                // When the sv6.exe that recorded has ended, this one takes over.
                if (shown && !shown->Recording() && shown->TryToRecord()) {
                    model->Refresh();
                    historyText =
                        QStringLiteral("recording to ") + QFileInfo(historyPath).fileName();
                    logging::Notice(QStringLiteral("recording the history to ") + historyPath +
                                    QStringLiteral(" now that the sv6.exe that "
                                                   "recorded it has ended"));
                }
                if (shown && !shown->Recording())
                    model->Refresh();
                else
                    model->AddLiveRow(sheetRow);
            });
            showHistoryState();
            if (options.printRows) {
                const QStringList row = workstation::DisplayRow(sheetRow);
                std::fprintf(stdout, "%s\n", row.join(QLatin1Char('\t')).toUtf8().constData());
                std::fflush(stdout);
                logging::Info(QStringLiteral("status: ") + poller.StatusText() +
                              QStringLiteral(" | ") + historyStatus->text());
            }
            if (options.exitAfterPolls > 0 && ++rows >= options.exitAfterPolls) {
                pollTimer.stop();
                const QString shot = qEnvironmentVariable("SV6_SCREENSHOT");
                if (!shot.isEmpty())
                    window.grab().save(shot, "PNG");
                window.close();
                QApplication::quit();
            }
        });
    const auto poll = [&] { poller.Poll(QDateTime::currentDateTime()); };
    QObject::connect(&pollTimer, &QTimer::timeout, &window, poll);
    pollTimer.start(options.intervalMs);
    QTimer::singleShot(0, &window, poll);

    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
#ifdef Q_OS_WIN
    CloseMessageFilter closeMessages;
    qtApp->installNativeEventFilter(&closeMessages);
#endif
    QTimer stopWatch;
    QObject::connect(&stopWatch, &QTimer::timeout, &window, [&] {
        if (stopRequested) {
            pollTimer.stop();
            window.close();
            QApplication::quit();
        }
    });
    stopWatch.start(100);

    return qtApp->exec();
}
