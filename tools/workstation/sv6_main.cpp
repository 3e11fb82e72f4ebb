// sv6.exe FILE: shows the application in the .SVT file FILE as a live log sheet. Every poll
// adds a row with the date, the time and the current value of each variable, read through
// the variable's link from its hub (one "GETVALUES" request per hub and poll). Each hub is
// polled on its own connection without waiting, so a hub that stalls freezes neither the
// window nor the other hubs' values; the status bar tells which hubs answer, since when one
// does not, and the time of the last row. File, "Print..." and "Save as PDF..." put the
// selected rows (or all) on paper or into a PDF file; View, "Trend..." shows the selected
// numeric columns against time.
//
// The wizard passes the file as the one and only argument, unquoted and possibly holding
// blanks. For tests, options may come before it:
//   --exit-after-polls N   quit with exit code 0 after N polls (also SV6_EXIT_AFTER_POLLS);
//                          problems then go to standard error instead of a message box
//   --poll-interval-ms N   poll every N ms instead of every second (also SV6_POLL_INTERVAL_MS)
//   --print-rows           also print each row, tab-separated, on standard output, and the
//                          status bar's text after it on standard error
//   SV6_SCREENSHOT=PATH    save a picture of the window as PATH (PNG) before quitting
// SIGTERM and SIGINT close the window and end the program with exit code 0; so does, on
// Windows, WM_CLOSE sent to its main thread.

#include "Fail.h"
#include "SheetActions.h"
#include "Workstation.h"
#include "generate/Application.h"
#include "hub/HubReader.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <deque>

#ifdef Q_OS_WIN
#include <QAbstractNativeEventFilter>

#include <qt_windows.h>
#endif

namespace {

constexpr int MaxRows = 1000;

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

// The rows of the sheet, newest last; the oldest row goes when MaxRows is reached.
class RowsModel : public QAbstractTableModel {
public:
    explicit RowsModel(const QStringList& headings, QObject* parent = nullptr)
        : QAbstractTableModel(parent), headings_(headings) {}

    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(rows_.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : int(headings_.size());
    }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid())
            return {};
        return rows_[std::size_t(index.row())].value(index.column());
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
            return headings_.value(section);
        return QAbstractTableModel::headerData(section, orientation, role);
    }

    void Append(const QStringList& row) {
        if (rows_.size() >= MaxRows) {
            beginRemoveRows({}, 0, 0);
            rows_.pop_front();
            endRemoveRows();
        }
        const int at = int(rows_.size());
        beginInsertRows({}, at, at);
        rows_.push_back(row);
        endInsertRows();
    }

private:
    QStringList headings_;
    std::deque<QStringList> rows_;
};

struct Options {
    QString file;
    int exitAfterPolls = 0;
    int intervalMs = 1000;
    bool printRows = false;
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
        o.error = QStringLiteral("No application file given.\nUsage: sv6.exe FILE");
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
        } else {
            o.error = QStringLiteral("Unknown or incomplete option \"%1\".\nUsage: sv6.exe "
                                     "[--exit-after-polls N] [--poll-interval-ms N] "
                                     "[--print-rows] FILE")
                          .arg(a);
            return o;
        }
    }
    return o;
}

int Fail(const QString& text, bool interactive) {
    return workstation::Fail(QStringLiteral("sv6"), text, interactive);
}

} // namespace

int main(int argc, char** argv) {
    QApplication qtApp(argc, argv);
    logging::SetProgram(QStringLiteral("sv6.exe"));
    const Options options = ParseArguments(qtApp.arguments().mid(1));
    const bool interactive = options.exitAfterPolls == 0;
    if (!options.error.isEmpty())
        return Fail(options.error, interactive);

    Application app;
    try {
        app = Application::LoadFromFile(options.file);
    } catch (const ComponentError& e) {
        return Fail(e.message(), interactive);
    }

    const workstation::LogSheet sheet(app);
    workstation::SheetPoller poller(sheet, [] {
        auto reader = std::make_unique<SVComSrvClass>();
        reader->SetSilent(true);
        return reader;
    });

    QMainWindow window;
    auto* model = new RowsModel(sheet.Headings(), &window);
    auto* view = new QTableView(&window);
    view->setObjectName(QStringLiteral("logSheet"));
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->verticalHeader()->hide();
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
    QObject::connect(&poller, &workstation::SheetPoller::StatusChanged, hubStatus,
                     [&] { hubStatus->setText(poller.StatusText()); });

    // Print, PDF and trend, over the rows the sheet keeps (oldest first, as in the table).
    std::deque<workstation::SheetRow> keptRows;
    std::vector<bool> numeric;
    for (int c = 0; c < model->columnCount(); ++c)
        numeric.push_back(sheet.IsNumeric(c));
    auto* sheetActions = new workstation::SheetActions(
        window, *view,
        {app.Title(),
         sheet.Headings(),
         numeric,
         [&] { return qint64(keptRows.size()); },
         [&](qint64 first, qint64 count) {
             const auto from = std::min(std::size_t(std::max<qint64>(first, 0)), keptRows.size());
             const auto to =
                 std::min(from + std::size_t(std::max<qint64>(count, 0)), keptRows.size());
             return std::vector<workstation::SheetRow>(keptRows.begin() + qsizetype(from),
                                                       keptRows.begin() + qsizetype(to));
         },
         {}});
    QObject::connect(&poller, &workstation::SheetPoller::RowReady, sheetActions,
                     [&, sheetActions](const workstation::SheetRow& row) {
                         if (keptRows.size() >= MaxRows)
                             keptRows.pop_front();
                         keptRows.push_back(row);
                         sheetActions->AddRow(row);
                     });

    window.resize(900, 500);
    window.show();

    int rows = 0;
    QTimer pollTimer;
    QObject::connect(&poller, &workstation::SheetPoller::RowReady, &window,
                     [&](const workstation::SheetRow& sheetRow) {
                         const QStringList row = workstation::DisplayRow(sheetRow);
                         const bool atBottom = view->verticalScrollBar()->value() ==
                                               view->verticalScrollBar()->maximum();
                         model->Append(row);
                         if (atBottom)
                             view->scrollToBottom();
                         if (options.printRows) {
                             std::fprintf(stdout, "%s\n",
                                          row.join(QLatin1Char('\t')).toUtf8().constData());
                             std::fflush(stdout);
                             logging::Info(QStringLiteral("status: ") + poller.StatusText());
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
    qtApp.installNativeEventFilter(&closeMessages);
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

    return qtApp.exec();
}
