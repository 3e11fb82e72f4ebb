#pragma once
// Printing the rows of a log sheet on paged devices (a printer, a PDF file): the headings at
// the top of every page, "Date" and "Time" first on every page, and a footer with the title,
// the range and "page N of M".
//
// Columns are as wide as their widest heading line or value in the range. The value columns
// that do not fit beside "Date" and "Time" continue on further pages, each such page again
// starting with "Date" and "Time" (nothing is scaled below the chosen font size); the pages of
// one block of rows come one after the other, all its columns before the next block. A value
// too wide for a page on its own is cut with "...". A value whose quality is neither good nor
// unknown is printed in italics on a grey ground, and an empty one shows its quality code.

#include "SheetRow.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

class QPagedPaintDevice;
class QPainter;

namespace workstation {

// Rows by index: `count` rows from `first` on (fewer at the end).
using RowSource = std::function<std::vector<SheetRow>(qint64 first, qint64 count)>;

struct PrintJob {
    QString title;        // the application's title, left in the footer
    QStringList headings; // every column, "Date" and "Time" first; "\n" breaks a heading
    RowSource rows;
    qint64 first = 0; // the range: `count` rows from index `first` on
    qint64 count = 0;
    int pointSize = 8; // of the values; the headings are bold in the same size
};

// How the range falls onto pages.
struct PrintLayout {
    std::vector<int> widths;             // of each column, in device units
    std::vector<std::vector<int>> bands; // the columns of each page of a block, Date and Time first
    int rowsPerPage = 0;
    qint64 blocks = 0; // blocks of rows, at least 1 (an empty range prints one page)
    int Pages() const { return int(blocks * qint64(bands.size())); }
};

// The layout of `job` on the device `painter` paints on (in the device's units), reading the
// whole range once to measure the values.
PrintLayout LayOut(QPainter& painter, const PrintJob& job);

// Prints the range on `device`; returns the number of pages, 0 with `error` set when the
// device could not be painted on.
int PrintRows(QPagedPaintDevice& device, const PrintJob& job, QString* error = nullptr);

// Writes the range as a PDF file of A4 pages in landscape. The file appears whole or not at
// all: it is written beside its name and renamed at the end. Returns false with `error` set.
bool SavePdf(const QString& path, const PrintJob& job, QString* error = nullptr);

// The range as the footer gives it: "2026-03-04 05:00:00 to 2026-03-04 06:00:00".
QString RangeText(const PrintJob& job);

} // namespace workstation
