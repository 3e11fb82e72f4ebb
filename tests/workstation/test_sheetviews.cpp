// The log sheet's views beside the table: the lines of a trend, the trend window, printing
// to PDF (read back with pdftotext) and the window's actions that choose what they show.

#include "History.h"
#include "SheetActions.h"
#include "SheetModel.h"
#include "SheetPrint.h"
#include "TrendData.h"
#ifdef SVC_HAVE_CHARTS
#include "TrendView.h"
#endif
#include "support/HubProcess.h"
#include "support/TestOutput.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QProcess>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

using workstation::Quality;
using workstation::SheetRow;
using workstation::TrendPoint;

namespace {

QString OutputFolder() {
    const QString dir = TestOutputFolder() + QStringLiteral("/sheetviews");
    QDir().mkpath(dir);
    return dir;
}

// Points one second apart from "1 2 x 3 o 4": a number is a good value, "x" an empty value,
// "o" an offline one, "s" a stale one, "u5" the value 5 of unknown quality.
std::vector<TrendPoint> Points(const QString& pattern) {
    std::vector<TrendPoint> points;
    qint64 ms = 0;
    for (const QString& p : pattern.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        TrendPoint point;
        point.ms = ms;
        ms += 1000;
        point.quality = Quality::Good;
        if (p == QLatin1String("x")) {
            point.gap = true;
        } else if (p == QLatin1String("o") || p == QLatin1String("s")) {
            point.quality = p == QLatin1String("o") ? Quality::Offline : Quality::Stale;
            point.value = 99; // a value that must not be drawn
        } else if (p.startsWith(QLatin1Char('u'))) {
            point.quality = Quality::Unknown;
            point.value = p.mid(1).toDouble();
        } else {
            point.value = p.toDouble();
        }
        points.push_back(point);
    }
    return points;
}

// "1 2|3" (runs of values) and "1000-3000" (gaps) of lines.
QString Runs(const workstation::TrendLines& lines) {
    QStringList runs;
    for (const auto& run : lines.runs) {
        QStringList values;
        for (const auto& [ms, value] : run)
            values << QString::number(value);
        runs << values.join(QLatin1Char(' '));
    }
    return runs.join(QLatin1Char('|'));
}
QString Gaps(const workstation::TrendLines& lines) {
    QStringList gaps;
    for (const auto& [from, to] : lines.gaps)
        gaps << QStringLiteral("%1-%2").arg(from).arg(to);
    return gaps.join(QLatin1Char(' '));
}

QDateTime Start() {
    return QDateTime(QDate(2026, 3, 4), QTime(5, 0, 0));
}

// `count` rows a second apart from Start(): values "r.c" for row r and value column c; the
// value of column 1 in row 3 is empty and offline.
std::vector<SheetRow> MakeRows(int count, int columns) {
    std::vector<SheetRow> rows;
    for (int r = 0; r < count; ++r) {
        SheetRow row;
        row.time = Start().addSecs(r);
        for (int c = 0; c < columns; ++c) {
            const bool offline = r == 3 && c == 1;
            row.values << (offline ? QString() : QStringLiteral("%1.%2").arg(r).arg(c));
            row.quality.push_back(offline ? Quality::Offline : Quality::Good);
        }
        rows.push_back(row);
    }
    return rows;
}

workstation::RowSource SourceOf(const std::vector<SheetRow>& rows) {
    return [&rows](qint64 first, qint64 count) {
        const auto from = std::size_t(std::clamp<qint64>(first, 0, qint64(rows.size())));
        const auto to = std::size_t(std::clamp<qint64>(first + count, 0, qint64(rows.size())));
        return std::vector<SheetRow>(rows.begin() + qsizetype(from), rows.begin() + qsizetype(to));
    };
}

// Runs a tool of the Linux system (poppler's) on files, given by their paths on this side, to
// its end; its standard output, "" when it failed.
QString RunTool(const QString& tool, const QStringList& options, const QStringList& files) {
#ifdef Q_OS_WIN
    // Under Wine the tools are the Linux system's, reached through its shell.
    QStringList arguments = options;
    for (const QString& file : files)
        arguments << (file == QLatin1String("-") ? file : UnixPath(file)); // "-": standard output
    const LinuxRun run = RunLinuxProgram(QStringLiteral("/usr/bin/") + tool, arguments);
    return run.exitCode == 0 ? run.output : QString();
#else
    QProcess p;
    p.start(tool, options + files);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    return QString::fromUtf8(p.readAllStandardOutput());
#endif
}

// The text of each page of a PDF, by pdftotext.
QStringList PdfPages(const QString& pdf) {
    const QString text = RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-layout")},
                                 {pdf, QStringLiteral("-")});
    // Compatibility forms undo ligatures ("ffl" in "offline" comes out as one letter).
    QStringList pages = text.normalized(QString::NormalizationForm_KC).split(QLatin1Char('\f'));
    if (!pages.isEmpty() && pages.back().trimmed().isEmpty())
        pages.removeLast();
    return pages;
}

} // namespace

class TestSheetViews : public QObject {
    Q_OBJECT

private slots:
    void makeLines_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("runs");
        QTest::addColumn<QString>("gaps");
        QTest::newRow("all good") << "1 2 3"
                                  << "1 2 3"
                                  << "";
        QTest::newRow("unknown quality is drawn") << "1 u2 3"
                                                  << "1 2 3"
                                                  << "";
        QTest::newRow("an empty value breaks the line") << "1 2 x 3 4"
                                                        << "1 2|3 4"
                                                        << "1000-3000";
        QTest::newRow("an offline value breaks the line, its value unused") << "1 o o 4"
                                                                            << "1|4"
                                                                            << "0-3000";
        QTest::newRow("a stale value breaks the line") << "1 s 3"
                                                       << "1|3"
                                                       << "0-2000";
        QTest::newRow("missing at the start") << "x x 3 4"
                                              << "3 4"
                                              << "0-2000";
        QTest::newRow("missing at the end") << "1 2 o x"
                                            << "1 2"
                                            << "1000-3000";
        QTest::newRow("nothing usable") << "x o"
                                        << ""
                                        << "0-1000";
        QTest::newRow("two gaps") << "1 x 3 o 5"
                                  << "1|3|5"
                                  << "0-2000 2000-4000";
    }

    void makeLines() {
        QFETCH(QString, pattern);
        QFETCH(QString, runs);
        QFETCH(QString, gaps);
        const auto lines = workstation::MakeLines(Points(pattern), 0, 100000, 500);
        QCOMPARE(Runs(lines), runs);
        QCOMPARE(Gaps(lines), gaps);
    }

    // More points than pixel columns: each column draws its lowest and highest value, so the
    // peaks stay, and missing data still breaks the line however short it is.
    void makeLinesDecimates_data() {
        QTest::addColumn<int>("pixels");
        QTest::newRow("100 pixel columns") << 100;
        QTest::newRow("1000 pixel columns") << 1000;
    }

    void makeLinesDecimates() {
        QFETCH(int, pixels);
        std::vector<TrendPoint> points;
        for (int i = 0; i < 86400; ++i) {
            TrendPoint p;
            p.ms = qint64(i) * 1000;
            p.value = i % 100; // a saw tooth
            p.quality = Quality::Good;
            points.push_back(p);
        }
        points[50000].value = 1000; // one peak
        points[60000].quality = Quality::Offline;
        const auto lines = workstation::MakeLines(points, 0, 86399000, pixels);
        QCOMPARE(lines.runs.size(), std::size_t(2));
        QCOMPARE(lines.gaps.size(), std::size_t(1));
        QVERIFY(lines.gaps[0].first < 60000000 && lines.gaps[0].second > 60000000);
        std::size_t drawn = 0;
        double high = 0;
        double low = 1e9;
        for (const auto& run : lines.runs) {
            drawn += run.size();
            for (const auto& [ms, value] : run) {
                high = std::max(high, value);
                low = std::min(low, value);
            }
            for (std::size_t i = 1; i < run.size(); ++i)
                QVERIFY(run[i - 1].first <= run[i].first);
        }
        QVERIFY2(drawn <= std::size_t(2 * pixels), qPrintable(QString::number(drawn)));
        QCOMPARE(high, 1000.0);
        QCOMPARE(low, 0.0);
    }

    void pointOfRow_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("gap");
        QTest::addColumn<double>("number");
        QTest::newRow("decimal") << "12.5" << false << 12.5;
        QTest::newRow("blanks around") << " -3 " << false << -3.0;
        QTest::newRow("empty") << "" << true << 0.0;
        QTest::newRow("text") << "open" << true << 0.0;
        QTest::newRow("decimal comma is no number") << "12,5" << true << 0.0;
        QTest::newRow("infinity is no value") << "inf" << true << 0.0;
    }

    void pointOfRow() {
        QFETCH(QString, value);
        QFETCH(bool, gap);
        QFETCH(double, number);
        SheetRow row;
        row.time = Start();
        row.values << QStringLiteral("x") << value;
        row.quality = {Quality::Good, Quality::Stale};
        const TrendPoint p = workstation::PointOf(row, 1);
        QCOMPARE(p.ms, Start().toMSecsSinceEpoch());
        QCOMPARE(p.quality, Quality::Stale);
        QCOMPARE(p.gap, gap);
        if (!gap)
            QCOMPARE(p.value, number);
    }

    // A PDF of a range: every page has the headings of its columns (Date and Time on each)
    // and the footer; every row of the range is on the pages, and only those.
    void pdfOfRange_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("severalBlocks");
        QTest::addColumn<bool>("severalBands");
        QTest::newRow("one page") << 10 << 3 << 0 << 10 << false << false;
        QTest::newRow("part of the rows") << 10 << 3 << 2 << 5 << false << false;
        QTest::newRow("rows over several pages") << 150 << 3 << 0 << 150 << true << false;
        QTest::newRow("columns over several pages") << 8 << 40 << 0 << 8 << false << true;
        QTest::newRow("both") << 150 << 40 << 10 << 120 << true << true;
    }

    void pdfOfRange() {
        QFETCH(int, rows);
        QFETCH(int, columns);
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(bool, severalBlocks);
        QFETCH(bool, severalBands);
        const std::vector<SheetRow> data = MakeRows(rows, columns);
        workstation::PrintJob job;
        job.title = QStringLiteral("Line 3 kiln");
        job.headings << QStringLiteral("Date") << QStringLiteral("Time");
        for (int c = 0; c < columns; ++c)
            job.headings << QStringLiteral("Tank%1\nLevel\nm3").arg(c);
        job.rows = SourceOf(data);
        job.first = first;
        job.count = count;
        const QString pdf = dir_.filePath(QStringLiteral("range.pdf"));
        QString error;
        QVERIFY2(workstation::SavePdf(pdf, job, &error), qPrintable(error));
        const QStringList pages = PdfPages(pdf);
        QVERIFY2(!pages.isEmpty(), "pdftotext read no pages");
        const QString range =
            QStringLiteral("2026-03-04 %1 to 2026-03-04 %2")
                .arg(workstation::TimeText(data[std::size_t(first)].time),
                     workstation::TimeText(data[std::size_t(first + count - 1)].time));
        QSet<int> headingsSeen;
        QMap<QString, int> timesSeen;
        int bandPages = 0;
        for (int n = 0; n < pages.size(); ++n) {
            const QString& page = pages[n];
            const QString where = QStringLiteral("page %1:\n").arg(n + 1) + page;
            QVERIFY2(page.contains(QStringLiteral("page %1 of %2").arg(n + 1).arg(pages.size())),
                     qPrintable(where));
            QVERIFY2(page.contains(job.title) && page.contains(range), qPrintable(where));
            QVERIFY2(page.contains(QStringLiteral("Date")) && page.contains(QStringLiteral("Time")),
                     qPrintable(where));
            QVERIFY2(page.contains(QStringLiteral("Level")) && page.contains(QStringLiteral("m3")),
                     qPrintable(where));
            for (int c = 0; c < columns; ++c)
                if (page.contains(QStringLiteral("Tank%1 ").arg(c)) ||
                    page.contains(QStringLiteral("Tank%1\n").arg(c)))
                    headingsSeen.insert(c);
            if (page.contains(QStringLiteral("Tank0 ")) || page.contains(QStringLiteral("Tank0\n")))
                ++bandPages;
            static const QRegularExpression time(QStringLiteral("\\b05:\\d\\d:\\d\\d\\b"));
            // The rows' times, not those of the range in the footer.
            for (auto it = time.globalMatch(QString(page).remove(range)); it.hasNext();)
                ++timesSeen[it.next().captured()];
        }
        QCOMPARE(headingsSeen.size(), columns);
        // Each row once per band of columns, and no row outside the range.
        const int bands = int(pages.size()) / std::max(1, bandPages);
        QCOMPARE(timesSeen.size(), count);
        for (int r = first; r < first + count; ++r)
            QCOMPARE(timesSeen.value(workstation::TimeText(data[std::size_t(r)].time)), bands);
        QCOMPARE(bandPages > 1, severalBlocks);
        QCOMPARE(bands > 1, severalBands);
        // The first and the last row's first value; an empty offline value shows its quality.
        QVERIFY(pages.front().contains(QStringLiteral("%1.0").arg(first)));
        const QString lastValue = QStringLiteral("%1.0").arg(first + count - 1);
        QVERIFY(std::any_of(pages.begin(), pages.end(),
                            [&](const QString& p) { return p.contains(lastValue); }));
        if (severalBlocks && severalBands) // a page that continues the columns, to look at
            RunTool(QStringLiteral("pdftoppm"),
                    {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("60"),
                     QStringLiteral("-f"), QStringLiteral("2"), QStringLiteral("-singlefile")},
                    {pdf, OutputFolder() + QStringLiteral("/printed-page-continued")});
        if (first <= 3 && first + count > 3)
            QVERIFY(std::any_of(pages.begin(), pages.end(), [](const QString& p) {
                return p.contains(QStringLiteral("(offline)"));
            }));
    }

    void pdfOfNoRows() {
        workstation::PrintJob job;
        job.title = QStringLiteral("Empty");
        job.headings =
            QStringList{QStringLiteral("Date"), QStringLiteral("Time"), QStringLiteral("Flow")};
        const std::vector<SheetRow> none;
        job.rows = SourceOf(none);
        const QString pdf = dir_.filePath(QStringLiteral("empty.pdf"));
        QVERIFY(workstation::SavePdf(pdf, job));
        const QStringList pages = PdfPages(pdf);
        QCOMPARE(pages.size(), 1);
        QVERIFY2(pages[0].contains(QStringLiteral("Flow")) &&
                     pages[0].contains(QStringLiteral("no rows")) &&
                     pages[0].contains(QStringLiteral("page 1 of 1")),
                 qPrintable(pages[0]));
    }

    // A PDF that cannot be written leaves nothing behind and says why; one that replaces a
    // file is whole.
    void pdfWrittenWholeOrNotAtAll() {
        const std::vector<SheetRow> data = MakeRows(5, 2);
        workstation::PrintJob job;
        job.headings = QStringList{QStringLiteral("Date"), QStringLiteral("Time"),
                                   QStringLiteral("A"), QStringLiteral("B")};
        job.rows = SourceOf(data);
        job.count = 5;
        QString error;
        const QString missing = dir_.filePath(QStringLiteral("no such folder/out.pdf"));
        QVERIFY(!workstation::SavePdf(missing, job, &error));
        QVERIFY2(error.contains(missing), qPrintable(error));
        QVERIFY(!QFile::exists(missing));
        const QString existing = dir_.filePath(QStringLiteral("existing.pdf"));
        {
            QFile f(existing);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
        QVERIFY(workstation::SavePdf(existing, job, &error));
        QFile f(existing);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray pdf = f.readAll();
        QVERIFY(pdf.startsWith("%PDF") && pdf.trimmed().endsWith("%%EOF"));
        QCOMPARE(QDir(dir_.path()).entryList({QStringLiteral("existing.pdf*")}, QDir::Files),
                 QStringList{QStringLiteral("existing.pdf")});
    }

    // The window prints and trends what its model shows, from a history or from memory: the
    // same rows in the same order, and each column's points from its own values.
    void sourceReadsWhatTheModelShows_data() {
        QTest::addColumn<bool>("withHistory");
        QTest::newRow("history") << true;
        QTest::newRow("memory") << false;
    }

    void sourceReadsWhatTheModelShows() {
        QFETCH(bool, withHistory);
        const std::vector<SheetRow> data = MakeRows(6, 3);
        const QStringList headings = {QStringLiteral("Date"), QStringLiteral("Time"),
                                      QStringLiteral("Flow"), QStringLiteral("Note"),
                                      QStringLiteral("Level")};
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        std::unique_ptr<workstation::History> history;
        if (withHistory) {
            QString error;
            history = workstation::History::Open(
                dir.filePath(QStringLiteral("kiln.svh")), QStringLiteral("Kiln"),
                {{QStringLiteral("Flow"), QStringLiteral("HUB:Flow"), QStringLiteral("N")},
                 {QStringLiteral("Note"), QStringLiteral("HUB:Note"), QStringLiteral("T")},
                 {QStringLiteral("Level"), QStringLiteral("HUB:Level"), QStringLiteral("N")}},
                workstation::History::Access::Record, &error);
            QVERIFY2(history && history->Recording(), qPrintable(error));
        }
        workstation::SheetModel model(headings, history.get());
        for (const SheetRow& row : data)
            model.AddLiveRow(row);
        const workstation::SheetSource source = workstation::SheetSourceOf(
            QStringLiteral("Kiln"), headings, {false, false, true, false, true}, model);
        QCOMPARE(source.rowCount(), qint64(6));
        QCOMPARE(source.numeric, std::vector<bool>({false, false, true, false, true}));
        const std::vector<SheetRow> rows = source.rows(2, 10);
        QCOMPARE(rows.size(), std::size_t(4));
        for (std::size_t i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].time, data[i + 2].time);
            QCOMPARE(rows[i].values, data[i + 2].values);
            QVERIFY(rows[i].quality == data[i + 2].quality);
        }
        QCOMPARE(bool(source.series), withHistory);
        const workstation::TrendFetch series =
            source.series ? source.series
                          : workstation::SeriesFromRows(source.rowCount, source.rows);
        // The middle column: its row 3 is empty and offline, a gap; the others are its values.
        const std::vector<TrendPoint> points =
            series(1, data[1].time.toMSecsSinceEpoch(), data[4].time.toMSecsSinceEpoch());
        QCOMPARE(points.size(), std::size_t(4));
        for (std::size_t i = 0; i < points.size(); ++i) {
            const SheetRow& row = data[i + 1];
            QCOMPARE(points[i].ms, row.time.toMSecsSinceEpoch());
            QCOMPARE(workstation::IsGap(points[i]), i + 1 == 3);
            if (i + 1 != 3)
                QCOMPARE(points[i].value, row.values[1].toDouble());
        }
    }

    // The window's actions: what Print and PDF cover, which columns a trend shows and when
    // the action is offered.
    void actionsFollowTheSelection() {
        QMainWindow window;
        QStandardItemModel model(6, 5);
        auto* view = new QTableView(&window);
        view->setModel(&model);
        window.setCentralWidget(view);
        std::vector<SheetRow> data = MakeRows(6, 3);
        workstation::SheetSource source{QStringLiteral("Kiln"),
                                        {QStringLiteral("Date"), QStringLiteral("Time"),
                                         QStringLiteral("Flow"), QStringLiteral("Note"),
                                         QStringLiteral("Level")},
                                        {false, false, true, false, true},
                                        [&] { return qint64(data.size()); },
                                        SourceOf(data),
                                        {}};
        QString pdfPath;
        workstation::SheetDialogs dialogs;
        dialogs.pdfFile = [&](QWidget*) { return pdfPath; };
        dialogs.print = [](QWidget*, const workstation::PrintJob&, QString*) { return false; };
        workstation::SheetActions actions(window, *view, source, dialogs);
        QItemSelectionModel* selection = view->selectionModel();
        const auto select = [&](int top, int left, int bottom, int right) {
            selection->select(QItemSelection(model.index(top, left), model.index(bottom, right)),
                              QItemSelectionModel::ClearAndSelect);
        };

        // Nothing selected: every row, no trend.
        workstation::PrintJob job = actions.Job();
        QCOMPARE(job.first, 0);
        QCOMPARE(job.count, 6);
        QCOMPARE(job.title, QStringLiteral("Kiln"));
        QVERIFY(!actions.trendAction()->isEnabled());
#ifdef SVC_HAVE_CHARTS
        QVERIFY(actions.trendAction()->toolTip().contains(QStringLiteral("numeric")));
#else
        // Without Qt Charts (the Windows build) the action says there are no trends.
        QVERIFY(actions.trendAction()->toolTip().contains(QStringLiteral("no trends")));
#endif
        // A text column alone gives no trend.
        select(0, 3, 5, 3);
        QVERIFY(actions.TrendColumns().empty());
        QVERIFY(!actions.trendAction()->isEnabled());
        // Date to Level: the numeric ones, as indices into the values.
        select(1, 0, 3, 4);
        QCOMPARE(actions.TrendColumns(), (std::vector<int>{0, 2}));
#ifdef SVC_HAVE_CHARTS
        QVERIFY(actions.trendAction()->isEnabled());
#else
        QVERIFY(!actions.trendAction()->isEnabled());
#endif
        job = actions.Job();
        QCOMPARE(job.first, 1);
        QCOMPARE(job.count, 3);
        // Two separate blocks of rows: from the first to the last.
        selection->select(QItemSelection(model.index(5, 2), model.index(5, 2)),
                          QItemSelectionModel::Select);
        job = actions.Job();
        QCOMPARE(job.first, 1);
        QCOMPARE(job.count, 5);

        // Save as PDF: cancelled, then to a file.
        QString error;
        QVERIFY(!actions.SavePdfTo(&error));
        QVERIFY(error.isEmpty());
        pdfPath = dir_.filePath(QStringLiteral("selected.pdf"));
        QVERIFY2(actions.SavePdfTo(&error), qPrintable(error));
        const QStringList pages = PdfPages(pdfPath);
        QCOMPARE(pages.size(), 1);
        QVERIFY(pages[0].contains(QStringLiteral("05:00:01")));
        QVERIFY(pages[0].contains(QStringLiteral("05:00:05")));
        QVERIFY(!pages[0].contains(QStringLiteral("05:00:00")));
        // A picture of the page, for a person to look at.
        RunTool(QStringLiteral("pdftoppm"),
                {QStringLiteral("-png"), QStringLiteral("-r"), QStringLiteral("60"),
                 QStringLiteral("-singlefile")},
                {pdfPath, OutputFolder() + QStringLiteral("/printed-page")});
        QVERIFY(QFile::exists(OutputFolder() + QStringLiteral("/printed-page.png")));
    }

#ifdef SVC_HAVE_CHARTS
    // The trend follows new rows until the user zooms, keeps the zoom while rows come, and
    // follows again after "Reset zoom".
    void trendFollowsUntilZoomed() {
        std::vector<SheetRow> data = MakeRows(60, 3);
        // Level (column 2) dips and goes offline for a while.
        for (int r = 0; r < 60; ++r) {
            data[std::size_t(r)].values[2] = QString::number(10 + (r % 10));
            if (r >= 20 && r < 26)
                data[std::size_t(r)].quality[2] = Quality::Offline;
        }
        const auto fetch =
            workstation::SeriesFromRows([&] { return qint64(data.size()); }, SourceOf(data));
        const qint64 t0 = Start().toMSecsSinceEpoch();
        workstation::TrendView trend({QStringLiteral("Flow"), QStringLiteral("Level")}, {0, 2},
                                     fetch, t0, t0 + 59000);
        trend.resize(800, 450);
        trend.show();
        QVERIFY(QTest::qWaitForWindowExposed(&trend));
        QTRY_COMPARE(trend.Lines(1).runs.size(), std::size_t(2));
        QCOMPARE(trend.Lines(1).gaps.size(), std::size_t(1));
        QCOMPARE(trend.Lines(1).gaps[0], std::make_pair(t0 + 19000, t0 + 26000));
        QCOMPARE(trend.Lines(0).runs.size(), std::size_t(1));
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0, t0 + 59000));
        QTest::qWait(0);
        QVERIFY(trend.grab().save(OutputFolder() + QStringLiteral("/trend-with-gap.png"), "PNG"));

        SheetRow next = MakeRows(61, 3).back();
        next.values[2] = QStringLiteral("12");
        trend.AddRow(next);
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0, t0 + 60000));
        QTRY_COMPARE(trend.Lines(1).runs.back().back().first, t0 + 60000);

        trend.ZoomTo(t0 + 10000, t0 + 30000);
        QVERIFY(trend.Zoomed());
        next.time = next.time.addSecs(1);
        trend.AddRow(next);
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0 + 10000, t0 + 30000));
        trend.Pan(0.5);
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0 + 20000, t0 + 40000));
        QTest::keyClick(trend.findChild<QWidget*>(QStringLiteral("chart")), Qt::Key_Left);
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0 + 18000, t0 + 38000));

        QTest::mouseClick(trend.findChild<QWidget*>(QStringLiteral("resetZoom")), Qt::LeftButton);
        QVERIFY(!trend.Zoomed());
        QCOMPARE(trend.VisibleRange(), std::make_pair(t0, t0 + 61000));
    }
#endif

private:
    QTemporaryDir dir_;
};

QTEST_MAIN(TestSheetViews)
#include "test_sheetviews.moc"
