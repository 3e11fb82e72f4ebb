// The log sheet's history as a store (rows in and out, refused files, application versions,
// one writer, writes that fail, CSV) and the sheet's model and dialogs over it.

#include "History.h"
#include "SheetDialogs.h"
#include "SheetModel.h"
#include "support/Csv.h"
#include "support/TestOutput.h"

#include <QApplication>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QScrollBar>
#include <QSet>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

using workstation::History;
using workstation::HistoryColumn;
using workstation::Quality;
using workstation::SheetRow;

namespace {

const QDateTime Start(QDate(2026, 12, 6), QTime(8, 0, 0, 250));

std::vector<HistoryColumn> Columns(int count, const QString& prefix = QStringLiteral("V")) {
    std::vector<HistoryColumn> columns;
    for (int i = 0; i < count; ++i)
        columns.push_back({prefix + QString::number(i), QStringLiteral("HUB:t%1").arg(i),
                           i % 2 ? QStringLiteral("T") : QStringLiteral("N")});
    return columns;
}

std::unique_ptr<History> OpenOrFail(const QString& path, const std::vector<HistoryColumn>& columns,
                                    History::Access access = History::Access::Record,
                                    const QString& title = QStringLiteral("Line 3")) {
    QString error;
    auto h = History::Open(path, title, columns, access, &error);
    if (!h)
        qWarning("%s", qPrintable(error));
    return h;
}

// Row `i` of a sequence of `columns` values in which every `changeEvery`th value changes per
// row (1: all, 0: none), with a quality that changes now and then.
SheetRow MakeRow(int i, int columns, int changeEvery) {
    SheetRow row;
    row.time = Start.addMSecs(qint64(i) * 1000 + i % 7);
    for (int c = 0; c < columns; ++c) {
        const int version = changeEvery == 0 ? 0 : (c % changeEvery == i % changeEvery ? i : i - 1);
        row.values << (c % 5 == 4 ? QStringLiteral("état %1, \"x\"").arg(version / 3)
                                  : QString::number(version * 0.5 + c, 'f', 2));
        row.quality.push_back(Quality((c + i / 10) % 7));
    }
    if (columns > 1 && i % 4 == 0)
        row.values[1].clear(); // a value the hub did not give
    return row;
}

bool SameRow(const SheetRow& a, const SheetRow& b) {
    return a.time == b.time && a.values == b.values && a.quality == b.quality;
}

QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

private slots:
    // Rows come back as they went in, from any starting row, after reopening too: the
    // changes, the full rows between them and the compressed records all rebuild the same
    // values and qualities.
    void rowsComeBackAsAppended_data() {
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("changeEvery");
        QTest::newRow("one column, every row changes") << 1 << 50 << 1;
        QTest::newRow("steady plant") << 20 << 300 << 0;
        QTest::newRow("a twentieth changes per row") << 100 << 400 << 20;
        QTest::newRow("all change") << 30 << 200 << 1;
        QTest::newRow("wide rows, compressed records") << 2000 << 40 << 10;
    }

    void rowsComeBackAsAppended() {
        QFETCH(int, columns);
        QFETCH(int, rows);
        QFETCH(int, changeEvery);
        const QString path = dir_.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".svh");
        std::vector<SheetRow> appended;
        {
            auto h = OpenOrFail(path, Columns(columns));
            QVERIFY(h && h->Recording());
            for (int i = 0; i < rows; ++i) {
                appended.push_back(MakeRow(i, columns, changeEvery));
                QVERIFY(h->Append(appended.back()));
            }
            QCOMPARE(h->RowCount(), qint64(rows));
            QCOMPARE(h->IntegrityCheck(), QStringLiteral("ok"));
        }
        auto h = OpenOrFail(path, Columns(columns), History::Access::ReadOnly);
        QVERIFY(h);
        QCOMPARE(h->RowCount(), qint64(rows));
        for (const int first : {0, 1, rows / 3, rows - 1}) {
            const auto got = h->Rows(first, 17);
            QCOMPARE(qint64(got.size()), std::min<qint64>(17, rows - first));
            for (std::size_t i = 0; i < got.size(); ++i)
                QVERIFY2(SameRow(got[i], appended[std::size_t(first) + i]),
                         qPrintable(QStringLiteral("row %1").arg(first + qint64(i))));
        }
        // A writer that comes back continues the same rows.
        h.reset();
        {
            auto again = OpenOrFail(path, Columns(columns));
            QVERIFY(again);
            appended.push_back(MakeRow(rows, columns, changeEvery));
            QVERIFY(again->Append(appended.back()));
            const auto last = again->Rows(rows - 1, 2);
            QCOMPARE(last.size(), std::size_t(2));
            QVERIFY(SameRow(last[0], appended[std::size_t(rows) - 1]));
            QVERIFY(SameRow(last[1], appended.back()));
        }
    }

    // A steady plant costs far less than full rows: only what changed is stored.
    void steadyRowsAreSmall() {
        const QString path = dir_.filePath(QStringLiteral("steady.svh"));
        auto h = OpenOrFail(path, Columns(200));
        QVERIFY(h);
        std::vector<SheetRow> rows;
        for (int i = 0; i < 2000; ++i)
            rows.push_back(MakeRow(0, 200, 0));
        for (int i = 0; i < 2000; ++i)
            rows[std::size_t(i)].time = Start.addSecs(i);
        QVERIFY(h->AppendMany(rows));
        QSqlQuery q(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("size")));
        {
            QSqlDatabase db = QSqlDatabase::database(QStringLiteral("size"));
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery sum(db);
            QVERIFY(sum.exec(QStringLiteral("SELECT sum(length(data)) FROM row")) && sum.next());
            const qint64 fullRow = rows[0].values.join(QString()).size();
            // 2,000 rows of 200 values in less than 20 full rows' text.
            QVERIFY2(sum.value(0).toLongLong() < 20 * fullRow, qPrintable(sum.value(0).toString()));
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("size"));
    }

    // What is not a history of this program is refused with a message and left byte for byte
    // as it was; a writer never touches it.
    void foreignAndDamagedFilesAreRefusedAndKept_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("text file") << "text"
                                   << "is not a log-sheet history";
        QTest::newRow("short file") << "short"
                                    << "is not a log-sheet history";
        QTest::newRow("another program's SQLite") << "foreign"
                                                  << "of another program";
        QTest::newRow("a later layout") << "later"
                                        << "of another version";
        QTest::newRow("damaged schema") << "damaged"
                                        << "damaged";
    }

    void foreignAndDamagedFilesAreRefusedAndKept() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        const QString path = dir_.filePath(kind + QStringLiteral(".svh"));
        if (kind == QLatin1String("text") || kind == QLatin1String("short")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(kind == QLatin1String("text") ? QByteArray(4096, 'x') : QByteArray("SQLite"));
        } else if (kind == QLatin1String("foreign")) {
            {
                QSqlDatabase db =
                    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
                db.setDatabaseName(path);
                QVERIFY(db.open());
                QSqlQuery q(db);
                QVERIFY(q.exec(QStringLiteral("CREATE TABLE row(id INTEGER, data BLOB)")));
                QVERIFY(q.exec(QStringLiteral("INSERT INTO row VALUES(1, 'mine')")));
                db.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
        } else {
            {
                auto h = OpenOrFail(path, Columns(3));
                QVERIFY(h);
                for (int i = 0; i < 20; ++i)
                    QVERIFY(h->Append(MakeRow(i, 3, 1)));
            }
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            if (kind == QLatin1String("later")) {
                f.seek(60); // user_version
                f.write(QByteArray("\0\0\0\x09", 4));
            } else {
                // The schema's page (the rest of page 1) overwritten.
                f.seek(100);
                f.write(QByteArray(2000, '\xa5'));
            }
        }
        const QByteArray before = Contents(path);
        for (const auto access : {History::Access::Record, History::Access::ReadOnly}) {
            QString error;
            QVERIFY(!History::Open(path, QStringLiteral("Line 3"), Columns(3), access, &error));
            QVERIFY2(error.contains(message), qPrintable(error));
            QVERIFY2(error.contains(path), qPrintable(error));
        }
        QCOMPARE(Contents(path), before);
    }

    // The rows of one version of an application never show under the columns of another:
    // any change of title or variables starts a new sheet in the same file, and going back to
    // a version shows its rows again.
    void changedApplicationStartsNewHistory_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("unchanged") << "";
        QTest::newRow("title") << "title";
        QTest::newRow("no title") << "no title";
        QTest::newRow("variable added") << "added";
        QTest::newRow("variable renamed") << "renamed";
        QTest::newRow("link changed") << "link";
        QTest::newRow("field type changed") << "type";
        QTest::newRow("order changed") << "order";
    }

    void changedApplicationStartsNewHistory() {
        QFETCH(QString, change);
        const QString path = dir_.filePath(QStringLiteral("versions-%1.svh").arg(change));
        const auto original = Columns(3);
        auto changed = original;
        QString title = QStringLiteral("Line 3");
        if (change == QLatin1String("title"))
            title = QStringLiteral("Line 4");
        else if (change == QLatin1String("no title"))
            title = QString();
        else if (change == QLatin1String("added"))
            changed.push_back({QStringLiteral("New"), {}, QStringLiteral("N")});
        else if (change == QLatin1String("renamed"))
            changed[1].name = QStringLiteral("V1_renamed");
        else if (change == QLatin1String("link"))
            changed[1].link = QStringLiteral("HUB:other");
        else if (change == QLatin1String("type"))
            changed[0].type = QStringLiteral("T");
        else if (change == QLatin1String("order"))
            std::swap(changed[0], changed[2]);
        {
            auto h = OpenOrFail(path, original);
            QVERIFY(h);
            for (int i = 0; i < 5; ++i)
                QVERIFY(h->Append(MakeRow(i, 3, 1)));
        }
        {
            auto h = OpenOrFail(path, changed, History::Access::Record, title);
            QVERIFY(h);
            QCOMPARE(h->RowCount(), change.isEmpty() ? qint64(5) : qint64(0));
            QVERIFY(h->Append(MakeRow(9, int(changed.size()), 1)));
        }
        auto h = OpenOrFail(path, original);
        QVERIFY(h);
        QCOMPARE(h->RowCount(), change.isEmpty() ? qint64(6) : qint64(5));
        QVERIFY(SameRow(h->Rows(4, 1).at(0), MakeRow(4, 3, 1)));
    }

    // Two programs on one history: one records, the other reads what it records, and the file
    // stays sound.
    void oneWriterOthersRead() {
        const QString path = dir_.filePath(QStringLiteral("shared.svh"));
        auto writer = OpenOrFail(path, Columns(4));
#ifdef Q_OS_UNIX
        // A writer that has recorded for long still holds its lock: the age of the lock file
        // does not make it stale while its program runs. (Windows keeps the lock file open
        // without sharing: no other program can even open it.)
        QFile lockFile(path + QStringLiteral(".lock"));
        QVERIFY(lockFile.open(QIODevice::ReadWrite));
        QVERIFY(lockFile.setFileTime(QDateTime::currentDateTime().addDays(-2),
                                     QFileDevice::FileModificationTime));
        lockFile.close();
#endif
        auto reader = OpenOrFail(path, Columns(4));
        QVERIFY(writer && reader);
        QVERIFY(writer->Recording());
        QVERIFY(!reader->Recording());
        QCOMPARE(reader->NotRecordingReason(),
                 QStringLiteral("not recording: another sv6.exe records this history"));
        QVERIFY(!reader->Append(MakeRow(0, 4, 1)));
        workstation::SheetModel model(QStringList(6, QStringLiteral("h")), reader.get());
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 300; ++i) {
            QVERIFY(writer->Append(MakeRow(i, 4, 2)));
            if (i % 100 == 99)
                model.Refresh();
        }
        QCOMPARE(model.rowCount(), 300);
        QCOMPARE(inserted.size(), 3);
        QVERIFY(SameRow(reader->Rows(299, 1).at(0), MakeRow(299, 4, 2)));
        QCOMPARE(model.index(299, 2).data().toString(), MakeRow(299, 4, 2).values[0]);
        QVERIFY(!reader->TryToRecord());
        // Once the writer is gone, the reader takes over and records on.
        writer.reset();
        QVERIFY(reader->TryToRecord());
        QVERIFY(reader->Recording());
        QVERIFY(reader->NotRecordingReason().isEmpty());
        model.AddLiveRow(MakeRow(300, 4, 2));
        QCOMPARE(model.rowCount(), 301);
        QVERIFY(SameRow(reader->Rows(299, 2).at(1), MakeRow(300, 4, 2)));
        reader.reset();
        // And when it is gone, the next program records.
        auto next = OpenOrFail(path, Columns(4));
        QVERIFY(next && next->Recording());
        QCOMPARE(next->IntegrityCheck(), QStringLiteral("ok"));
    }

    // A write that fails (the database may not grow: a full disk) keeps the rows in memory,
    // says so once, shows them, and writes them all when a write succeeds again.
    void fullDiskKeepsRowsAndResumes() {
        const QString path = dir_.filePath(QStringLiteral("full.svh"));
        auto h = OpenOrFail(path, Columns(50));
        QVERIFY(h);
        workstation::SheetModel model(QStringList(52, QStringLiteral("h")), h.get());
        std::vector<SheetRow> rows;
        int i = 0;
        for (; i < 5; ++i) {
            rows.push_back(MakeRow(i, 50, 1));
            model.AddLiveRow(rows.back());
        }
        QVERIFY(h->WriteProblem().isEmpty());
        // No more pages than the file has: a row is written while the last page has room.
        h->LimitPagesForTest(1);
        for (int n = 0; h->WriteProblem().isEmpty() && n < 100; ++n) {
            rows.push_back(MakeRow(i++, 50, 1));
            model.AddLiveRow(rows.back());
        }
        const QString problem = h->WriteProblem();
        QVERIFY2(problem.contains(QStringLiteral("the disk is full")), qPrintable(problem));
        for (; i < 60; ++i) {
            rows.push_back(MakeRow(i, 50, 1));
            model.AddLiveRow(rows.back());
            QCOMPARE(h->WriteProblem(), problem); // the same message, not one per row
        }
        QVERIFY(i > 10);
        QCOMPARE(model.rowCount(), 60);
        QCOMPARE(model.index(59, 2).data().toString(), rows.back().values[0]);
        QCOMPARE(h->IndexAt(rows[58].time), qint64(58));
        const auto waiting =
            h->RangeOf(rows[2].time.toMSecsSinceEpoch(), rows[58].time.toMSecsSinceEpoch());
        QCOMPARE(waiting.first, qint64(2));
        QCOMPARE(waiting.count, qint64(57));
        QCOMPARE(h->Series(0, 0, std::numeric_limits<qint64>::max()).size(), std::size_t(60));
        h->LimitPagesForTest(0);
        // Tries are spaced out while writes fail; the rows are written within 64 appends.
        for (int tries = 0; !h->WriteProblem().isEmpty() && tries < 70; ++tries, ++i) {
            rows.push_back(MakeRow(i, 50, 1));
            model.AddLiveRow(rows.back());
        }
        QVERIFY(h->WriteProblem().isEmpty());
        QCOMPARE(h->LostRows(), qint64(0));
        h.reset();
        auto back = OpenOrFail(path, Columns(50), History::Access::ReadOnly);
        QVERIFY(back);
        const auto stored = back->Rows(0, 1000);
        QCOMPARE(stored.size(), rows.size());
        for (std::size_t r = 0; r < rows.size(); ++r)
            QVERIFY2(SameRow(stored[r], rows[r]), qPrintable(QString::number(r)));
        QCOMPARE(back->IntegrityCheck(), QStringLiteral("ok"));
    }

    // Past the bound on waiting rows the oldest go, are counted, and the sheet shows the rest.
    void waitingRowsAreBounded() {
        const QString path = dir_.filePath(QStringLiteral("bound.svh"));
        auto h = OpenOrFail(path, Columns(10));
        QVERIFY(h);
        workstation::SheetModel model(QStringList(12, QStringLiteral("h")), h.get());
        model.AddLiveRow(MakeRow(0, 10, 1));
        h->LimitPagesForTest(1);
        int i = 1;
        while (h->WriteProblem().isEmpty() && i < 1000)
            model.AddLiveRow(MakeRow(i++, 10, 1));
        const int written = int(h->RowCount()) - 1;
        const qint64 rowBytes = MakeRow(1, 10, 1).values.join(QString()).size() * 2;
        h->LimitPendingForTest(rowBytes * 5 + rowBytes / 2);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        const int last = i + 7;
        while (i <= last)
            model.AddLiveRow(MakeRow(i++, 10, 1));
        // About five rows' text is kept (the rows grow longer as they go).
        const qint64 kept = h->RowCount() - written;
        QVERIFY2(kept >= 4 && kept <= 5, qPrintable(QString::number(kept)));
        QCOMPARE(h->LostRows() + kept, qint64(last + 1 - written));
        QCOMPARE(model.rowCount(), int(h->RowCount()));
        QVERIFY(!reset.isEmpty());
        QCOMPARE(model.Row(written).time, MakeRow(last + 1 - int(kept), 10, 1).time);
        QCOMPARE(model.Row(model.rowCount() - 1).time, MakeRow(last, 10, 1).time);
    }

    // "Go to": the first row at or after the moment, else the last; the view shows it at the
    // top.
    void goTo_data() {
        QTest::addColumn<int>("msFromStart"); // row i is at i * 1000 + i % 7 ms
        QTest::addColumn<int>("row");
        QTest::newRow("before the first row") << -3600000 << 0;
        QTest::newRow("at a row") << 200004 << 200;
        QTest::newRow("just after a row") << 200005 << 201;
        QTest::newRow("between rows") << 500500 << 501;
        QTest::newRow("after the last row") << 1000000000 << 2999;
    }

    void goTo() {
        QFETCH(int, msFromStart);
        QFETCH(int, row);
        if (!history_) {
            history_ = OpenOrFail(dir_.filePath(QStringLiteral("goto.svh")), Columns(8));
            QVERIFY(history_);
            std::vector<SheetRow> rows;
            for (int i = 0; i < 3000; ++i)
                rows.push_back(MakeRow(i, 8, 3));
            QVERIFY(history_->AppendMany(rows));
        }
        workstation::SheetModel model(QStringList(10, QStringLiteral("h")), history_.get());
        QTableView view;
        view.setModel(&model);
        view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view.resize(600, 300);
        view.show();
        const QDateTime moment = Start.addMSecs(msFromStart);
        QCOMPARE(workstation::GoTo(view, model, moment), row);
        QCOMPARE(view.currentIndex().row(), row);
        if (row < 2990) // the last rows cannot be scrolled to the top
            QCOMPARE(view.rowAt(0), row);
        else
            QVERIFY(view.rowAt(view.viewport()->height() - 1) == -1 ||
                    view.rowAt(view.viewport()->height() - 1) >= row);
    }

    // New rows arrive at the bottom: a user at the bottom follows them, one looking at
    // earlier rows is not moved.
    void liveRowsDoNotYankTheView_data() {
        QTest::addColumn<bool>("atBottom");
        QTest::newRow("at the bottom") << true;
        QTest::newRow("scrolled back") << false;
    }

    void liveRowsDoNotYankTheView() {
        QFETCH(bool, atBottom);
        auto h =
            OpenOrFail(dir_.filePath(QStringLiteral("follow-%1.svh").arg(atBottom)), Columns(3));
        QVERIFY(h);
        std::vector<SheetRow> rows;
        for (int i = 0; i < 500; ++i)
            rows.push_back(MakeRow(i, 3, 1));
        QVERIFY(h->AppendMany(rows));
        workstation::SheetModel model(QStringList(5, QStringLiteral("h")), h.get());
        QTableView view;
        view.setModel(&model);
        view.resize(400, 300);
        view.show();
        if (atBottom)
            view.scrollToBottom();
        else
            workstation::GoTo(view, model, rows[100].time);
        const int top = view.rowAt(0);
        for (int i = 500; i < 520; ++i)
            workstation::AddKeepingView(view, [&] { model.AddLiveRow(MakeRow(i, 3, 1)); });
        QCOMPARE(model.rowCount(), 520);
        if (atBottom) {
            QCOMPARE(view.verticalScrollBar()->value(), view.verticalScrollBar()->maximum());
            QVERIFY(view.rowAt(0) > top);
        } else {
            QCOMPARE(view.rowAt(0), top);
        }
    }

    // A value whose quality is neither good nor unknown is marked with a colour of its own
    // and a tooltip, from the history as from a live row.
    void qualityMarks_data() {
        QTest::addColumn<int>("quality");
        QTest::addColumn<QString>("tooltip");
        QTest::newRow("unknown") << int(Quality::Unknown) << QString();
        QTest::newRow("good") << int(Quality::Good) << QString();
        QTest::newRow("stale") << int(Quality::Stale) << "Status: stale";
        QTest::newRow("offline") << int(Quality::Offline) << "Status: offline";
        QTest::newRow("refused") << int(Quality::Refused) << "Status: refused";
        QTest::newRow("invalid") << int(Quality::Invalid) << "Status: invalid";
        QTest::newRow("waiting") << int(Quality::Waiting) << "Status: waiting";
    }

    void qualityMarks() {
        QFETCH(int, quality);
        QFETCH(QString, tooltip);
        SheetRow row;
        row.time = Start;
        row.values << QStringLiteral("1.5") << QStringLiteral("2.5");
        row.quality = {Quality::Good, Quality(quality)};
        auto h =
            OpenOrFail(dir_.filePath(QStringLiteral("quality-%1.svh").arg(quality)), Columns(2));
        QVERIFY(h);
        workstation::SheetModel recorded(QStringList(4, QStringLiteral("h")), h.get());
        workstation::SheetModel live(QStringList(4, QStringLiteral("h")), nullptr);
        recorded.AddLiveRow(row);
        live.AddLiveRow(row);
        for (const workstation::SheetModel* model : {&recorded, &live}) {
            const QModelIndex marked = model->index(0, 3);
            QCOMPARE(marked.data().toString(), QStringLiteral("2.5"));
            QCOMPARE(marked.data(Qt::ToolTipRole).toString(), tooltip);
            const QVariant background = marked.data(Qt::BackgroundRole);
            QCOMPARE(background.isValid(), !tooltip.isEmpty());
            // The good value beside it and the clock columns are not marked.
            QVERIFY(!model->index(0, 2).data(Qt::BackgroundRole).isValid());
            QVERIFY(!model->index(0, 1).data(Qt::ToolTipRole).isValid());
        }
        // Each quality has a colour of its own, light enough for black text.
        QSet<QRgb> colours;
        for (int q = int(Quality::Stale); q <= int(Quality::Waiting); ++q) {
            const QColor c = workstation::QualityColor(Quality(q));
            colours.insert(c.rgb());
            QVERIFY(c.lightness() > 150);
        }
        QCOMPARE(colours.size(), 5);
    }

    // A picture of the sheet over a history with values of every quality.
    void sheetPicture() {
        auto h = OpenOrFail(dir_.filePath(QStringLiteral("picture.svh")), Columns(7));
        QVERIFY(h);
        for (int i = 0; i < 200; ++i)
            QVERIFY(h->Append(MakeRow(i, 7, 2)));
        QStringList headings{QStringLiteral("Date"), QStringLiteral("Time")};
        for (int c = 0; c < 7; ++c)
            headings << QStringLiteral("Unit %1\nTemp.").arg(c);
        workstation::SheetModel model(headings, h.get());
        QTableView view;
        view.setModel(&model);
        view.verticalHeader()->hide();
        view.resize(760, 320);
        view.show();
        workstation::GoTo(view, model, MakeRow(100, 7, 2).time);
        QVERIFY(view.grab().save(TestOutputFolder() + QStringLiteral("/sheet-history.png")));
    }

    // The model fetches what the view shows, not the whole history: a history far larger
    // than its cache keeps every row reachable.
    void modelFetchesBlocksOnDemand() {
        auto h = OpenOrFail(dir_.filePath(QStringLiteral("blocks.svh")), Columns(2));
        QVERIFY(h);
        const int count =
            workstation::SheetModel::BlockRows * (workstation::SheetModel::CachedBlocks + 5);
        std::vector<SheetRow> rows;
        for (int i = 0; i < count; ++i)
            rows.push_back(MakeRow(i, 2, 1));
        QVERIFY(h->AppendMany(rows));
        workstation::SheetModel model(QStringList(4, QStringLiteral("h")), h.get());
        QCOMPARE(model.rowCount(), count);
        for (const int r : {0, count - 1, count / 2, 1, count - 2, 130, 0}) {
            QCOMPARE(model.index(r, 1).data().toString(),
                     workstation::TimeText(rows[std::size_t(r)].time));
            QCOMPARE(model.index(r, 3).data().toString(), rows[std::size_t(r)].values[1]);
        }
    }

    // A trend's series: the value and quality of one column at each row of a range.
    void series() {
        auto h = OpenOrFail(dir_.filePath(QStringLiteral("series.svh")), Columns(12));
        QVERIFY(h);
        std::vector<SheetRow> rows;
        for (int i = 0; i < 400; ++i)
            rows.push_back(MakeRow(i, 12, 4));
        QVERIFY(h->AppendMany(rows));
        const qint64 from = rows[100].time.toMSecsSinceEpoch();
        const qint64 to = rows[250].time.toMSecsSinceEpoch();
        for (const int column : {0, 7, 11}) {
            const auto points = h->Series(column, from, to);
            QCOMPARE(points.size(), std::size_t(151));
            for (std::size_t p = 0; p < points.size(); ++p) {
                const SheetRow& row = rows[100 + p];
                QCOMPARE(points[p].ms, row.time.toMSecsSinceEpoch());
                QCOMPARE(points[p].text, row.values[column]);
                QCOMPARE(points[p].quality, row.quality[std::size_t(column)]);
            }
        }
        // The same range by row index, as printing takes it.
        const auto range = h->RangeOf(from, to);
        QCOMPARE(range.first, qint64(100));
        QCOMPARE(range.count, qint64(151));
        QCOMPARE(h->RangeOf(to + 1000000, to + 2000000).count, qint64(0));
        QVERIFY(h->Series(12, from, to).empty());
        QVERIFY(h->Series(0, to + 1000000, to + 2000000).empty());
    }

    // CSV: a header of the names with blanks for "_", ISO dates and times, values quoted where
    // they hold a comma, a quote or a line break; both ends of the range included.
    void csvExport_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("number") << "12.50";
        QTest::newRow("empty") << "";
        QTest::newRow("comma") << "Batch 17, grade A";
        QTest::newRow("quote") << "He said \"ok\"";
        QTest::newRow("line break") << "two\nlines";
        QTest::newRow("not ASCII") << "Füllstand ≥ 3 m³";
        QTest::newRow("leading blank") << " x ";
    }

    void csvExport() {
        QFETCH(QString, value);
        const std::vector<HistoryColumn> columns = {
            {QStringLiteral("Tank1_Level_%"), {}, QStringLiteral("N")},
            {QStringLiteral("Note"), {}, QStringLiteral("T")}};
        auto h = OpenOrFail(
            dir_.filePath(
                QStringLiteral("csv-%1.svh").arg(QString::fromLatin1(QTest::currentDataTag()))),
            columns);
        QVERIFY(h);
        std::vector<SheetRow> rows;
        for (int i = 0; i < 10; ++i) {
            SheetRow row;
            row.time = Start.addSecs(i * 60);
            row.values << QString::number(i) << (i % 2 ? value : QStringLiteral("plain"));
            row.quality.assign(2, Quality::Good);
            rows.push_back(row);
            QVERIFY(h->Append(row));
        }
        const QString out = dir_.filePath(QStringLiteral("out.csv"));
        QString error;
        QVERIFY2(h->ExportCsv(rows[2].time.toMSecsSinceEpoch(), rows[7].time.toMSecsSinceEpoch(),
                              out, &error),
                 qPrintable(error));
        const QList<QStringList> csv = ParseCsv(QString::fromUtf8(Contents(out)));
        QCOMPARE(csv.size(), 7);
        QCOMPARE(csv[0], (QStringList{"Date", "Time", "Tank1 Level %", "Note"}));
        for (int r = 1; r < csv.size(); ++r)
            QCOMPARE(csv[r], workstation::DisplayRow(rows[std::size_t(r + 1)]));
        // No file is left half-written where the export cannot write.
        QVERIFY(!h->ExportCsv(0, 1, dir_.path(), &error));
        QVERIFY2(error.contains(dir_.path()), qPrintable(error));
    }

    // The dialogs the window asks with, as a user sees them.
    void dialogs() {
        const QDateTime last = Start.addSecs(86399);
        std::unique_ptr<QDialog> goTo(workstation::MakeGoToDialog(nullptr, last, Start, last));
        const auto* moment = goTo->findChild<QDateTimeEdit*>(QStringLiteral("moment"));
        QVERIFY(moment);
        QCOMPARE(moment->dateTime(), last);
        QCOMPARE(moment->minimumDateTime(), Start);
        std::unique_ptr<QDialog> exportDialog(workstation::MakeExportDialog(
            nullptr, Start, last, QStringLiteral("/plant/Line 3.csv")));
        QCOMPARE(exportDialog->findChild<QDateTimeEdit*>(QStringLiteral("from"))->dateTime(),
                 Start);
        QCOMPARE(exportDialog->findChild<QDateTimeEdit*>(QStringLiteral("to"))->dateTime(), last);
        goTo->show();
        exportDialog->show();
        QVERIFY(goTo->grab().save(TestOutputFolder() + QStringLiteral("/sheet-goto.png")));
        QVERIFY(
            exportDialog->grab().save(TestOutputFolder() + QStringLiteral("/sheet-export.png")));
    }

    // Where the history goes: the named file, else beside the application file.
    void historyPath() {
        QCOMPARE(workstation::HistoryPath(QStringLiteral("/x/a.SVT"), QStringLiteral("/y/h.db")),
                 QStringLiteral("/y/h.db"));
        QCOMPARE(workstation::HistoryPath(dir_.filePath(QStringLiteral("Line 3.v2.SVT"))),
                 dir_.filePath(QStringLiteral("Line 3.v2.svh")));
#ifdef Q_OS_UNIX
        // A folder without write permission (root may write anyway: then there is nothing to
        // see).
        QTemporaryDir locked;
        QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::ExeOwner);
        if (!QFileInfo(locked.path()).isWritable()) {
            const QString a = workstation::HistoryPath(locked.filePath(QStringLiteral("a.SVT")));
            QVERIFY2(!a.startsWith(locked.path()), qPrintable(a));
            QVERIFY(a.endsWith(QStringLiteral(".svh")));
            QDir other(locked.path() + QStringLiteral("2"));
            QVERIFY(a != workstation::HistoryPath(other.filePath(QStringLiteral("a.SVT"))));
        }
        QFile::setPermissions(locked.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
#endif
    }

private:
    QTemporaryDir dir_;
    std::unique_ptr<History> history_;
};

QTEST_MAIN(TestHistory)
#include "test_history.moc"
