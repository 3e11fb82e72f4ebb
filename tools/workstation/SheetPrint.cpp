#include "SheetPrint.h"

#include <QFontMetrics>
#include <QPageLayout>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace workstation {

namespace {

// Rows read at a time while measuring.
constexpr qint64 MeasureChunk = 2000;

bool Marked(Quality q) {
    return q != Quality::Good && q != Quality::Unknown;
}

// The text of column `column` of `row` as printed: the date, the time, or the value (the
// quality code in brackets for an empty value whose quality is marked).
QString CellText(const SheetRow& row, int column) {
    if (column == 0)
        return DateText(row.time);
    if (column == 1)
        return TimeText(row.time);
    const auto i = qsizetype(column - 2);
    const QString value = row.values.value(i);
    const Quality q =
        std::size_t(i) < row.quality.size() ? row.quality[std::size_t(i)] : Quality::Unknown;
    if (value.isEmpty() && Marked(q))
        return QLatin1Char('(') + QualityCode(q) + QLatin1Char(')');
    return value;
}

bool CellMarked(const SheetRow& row, int column) {
    const auto i = std::size_t(column - 2);
    return column >= 2 && i < row.quality.size() && Marked(row.quality[i]);
}

struct Metrics {
    QFont font;
    QFont bold;
    QFont italic;
    int hPad = 0;
    int vPad = 0;
    int rowHeight = 0;
    int headerHeight = 0;
    int footerHeight = 0;
};

// The fonts' metrics as the painter draws them (a device's own metrics may differ).
QFontMetrics PainterMetrics(QPainter& painter, const QFont& font) {
    painter.setFont(font);
    return painter.fontMetrics();
}

Metrics Measure(QPainter& painter, const PrintJob& job) {
    Metrics m;
    m.font.setPointSize(job.pointSize);
    m.bold = m.font;
    m.bold.setBold(true);
    m.italic = m.font;
    m.italic.setItalic(true);
    const QFontMetrics fm = PainterMetrics(painter, m.font);
    const QFontMetrics bfm = PainterMetrics(painter, m.bold);
    m.hPad = std::max(1, fm.averageCharWidth() / 2);
    m.vPad = std::max(1, fm.height() / 6);
    m.rowHeight = fm.height() + 2 * m.vPad;
    qsizetype lines = 1;
    for (const QString& heading : job.headings)
        lines = std::max(lines, heading.count(QLatin1Char('\n')) + 1);
    m.headerHeight = int(lines) * bfm.height() + 2 * m.vPad;
    m.footerHeight = 2 * fm.height();
    return m;
}

// The width of `text`, rounded up: whole units would cut the last letter of a text whose
// width is a fraction above them.
int Advance(const QFontMetricsF& metrics, const QString& text) {
    return int(std::ceil(metrics.horizontalAdvance(text))) + 1;
}

} // namespace

QString RangeText(const PrintJob& job) {
    if (job.count <= 0 || !job.rows)
        return QStringLiteral("no rows");
    const auto first = job.rows(job.first, 1);
    const auto last = job.rows(job.first + job.count - 1, 1);
    if (first.empty() || last.empty())
        return QStringLiteral("no rows");
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    return first.front().time.toString(format) + QStringLiteral(" to ") +
           last.front().time.toString(format);
}

PrintLayout LayOut(QPainter& painter, const PrintJob& job) {
    QPaintDevice& device = *painter.device();
    const Metrics m = Measure(painter, job);
    const QFontMetricsF fm(m.font, &device);
    const QFontMetricsF ifm(m.italic, &device);
    const QFontMetricsF bfm(m.bold, &device);
    const int columns = int(job.headings.size());
    PrintLayout layout;
    layout.widths.assign(std::size_t(columns), 0);
    for (int c = 0; c < columns; ++c)
        for (const QString& line : job.headings[c].split(QLatin1Char('\n')))
            layout.widths[std::size_t(c)] =
                std::max(layout.widths[std::size_t(c)], Advance(bfm, line));
    for (qint64 at = 0; job.rows && at < job.count; at += MeasureChunk) {
        const auto rows = job.rows(job.first + at, std::min(MeasureChunk, job.count - at));
        if (rows.empty())
            break;
        for (const SheetRow& row : rows)
            for (int c = 0; c < columns; ++c) {
                const QString text = CellText(row, c);
                if (text.isEmpty())
                    continue;
                const int w = Advance(CellMarked(row, c) ? ifm : fm, text);
                layout.widths[std::size_t(c)] = std::max(layout.widths[std::size_t(c)], w);
            }
    }
    for (int& w : layout.widths)
        w += 2 * m.hPad;

    const int pageWidth = device.width();
    const int fixed = columns >= 2 ? layout.widths[0] + layout.widths[1] : 0;
    // A column too wide for a page beside Date and Time on its own is cut to fit.
    const int room = std::max(pageWidth - fixed, 4 * m.hPad);
    std::vector<int> band{0, 1};
    int used = 0;
    for (int c = 2; c < columns; ++c) {
        int& w = layout.widths[std::size_t(c)];
        w = std::min(w, room);
        if (band.size() > 2 && used + w > room) {
            layout.bands.push_back(band);
            band = {0, 1};
            used = 0;
        }
        band.push_back(c);
        used += w;
    }
    layout.bands.push_back(band);
    if (columns < 2)
        layout.bands = {{}};

    const int body = device.height() - m.headerHeight - m.footerHeight;
    layout.rowsPerPage = std::max(1, body / m.rowHeight);
    layout.blocks = std::max<qint64>(1, (job.count + layout.rowsPerPage - 1) / layout.rowsPerPage);
    return layout;
}

int PrintRows(QPagedPaintDevice& device, const PrintJob& job, QString* error) {
    QPainter painter;
    if (!painter.begin(&device)) {
        if (error)
            *error = QStringLiteral("cannot paint on the printer or file");
        return 0;
    }
    const PrintLayout layout = LayOut(painter, job);
    const Metrics m = Measure(painter, job);
    const QString range = RangeText(job);
    const int pages = layout.Pages();
    const int width = device.width();
    const int height = device.height();
    const QPen grid(QColor(160, 160, 160), 0);
    const QPen text(Qt::black);
    const QColor markGround(225, 225, 225);
    int page = 0;
    for (qint64 block = 0; block < layout.blocks; ++block) {
        const qint64 from = job.first + block * layout.rowsPerPage;
        const qint64 count = std::min<qint64>(layout.rowsPerPage, job.count - (from - job.first));
        const std::vector<SheetRow> rows =
            count > 0 && job.rows ? job.rows(from, count) : std::vector<SheetRow>();
        for (const std::vector<int>& band : layout.bands) {
            if (page > 0 && !device.newPage()) {
                if (error)
                    *error = QStringLiteral("cannot start a new page");
                painter.end();
                return 0;
            }
            ++page;
            // Headings, one line each, centred.
            int x = 0;
            painter.setFont(m.bold);
            for (const int c : band) {
                const int w = layout.widths[std::size_t(c)];
                const QRect cell(x, 0, w, m.headerHeight);
                painter.setPen(text);
                painter.drawText(cell.adjusted(m.hPad, m.vPad, -m.hPad, -m.vPad), Qt::AlignCenter,
                                 job.headings[c]);
                painter.setPen(grid);
                painter.drawRect(cell);
                x += w;
            }
            // Rows.
            int y = m.headerHeight;
            for (const SheetRow& row : rows) {
                x = 0;
                for (const int c : band) {
                    const int w = layout.widths[std::size_t(c)];
                    const QRect cell(x, y, w, m.rowHeight);
                    const bool marked = CellMarked(row, c);
                    if (marked)
                        painter.fillRect(cell, markGround);
                    painter.setFont(marked ? m.italic : m.font);
                    painter.setPen(text);
                    const QRect inner = cell.adjusted(m.hPad, m.vPad, -m.hPad, -m.vPad);
                    const QString shown = painter.fontMetrics().elidedText(
                        CellText(row, c), Qt::ElideRight, inner.width());
                    // Values to the right, where the digits of numbers line up.
                    const Qt::Alignment align =
                        (c >= 2 ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
                    painter.drawText(inner, int(align), shown);
                    painter.setPen(grid);
                    painter.drawRect(cell);
                    x += w;
                }
                y += m.rowHeight;
            }
            if (rows.empty() && job.count <= 0) {
                painter.setFont(m.italic);
                painter.setPen(text);
                painter.drawText(QRect(0, y, width, m.rowHeight),
                                 int(Qt::AlignLeft | Qt::AlignVCenter), QStringLiteral("no rows"));
            }
            // Footer: title, range, page number.
            painter.setFont(m.font);
            painter.setPen(grid);
            const int top = height - m.footerHeight + m.footerHeight / 4;
            painter.drawLine(0, top, width, top);
            painter.setPen(text);
            const QRect foot(0, top, width, height - top);
            painter.drawText(foot, int(Qt::AlignLeft | Qt::AlignBottom), job.title);
            painter.drawText(foot, int(Qt::AlignHCenter | Qt::AlignBottom), range);
            painter.drawText(foot, int(Qt::AlignRight | Qt::AlignBottom),
                             QStringLiteral("page %1 of %2").arg(page).arg(pages));
        }
    }
    painter.end();
    return page;
}

bool SavePdf(const QString& path, const PrintJob& job, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    int pages = 0;
    {
        QPdfWriter writer(&file);
        writer.setCreator(QStringLiteral("sv6.exe"));
        writer.setTitle(job.title);
        writer.setResolution(300);
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                                         QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter));
        pages = PrintRows(writer, job, error);
    }
    if (pages == 0) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace workstation
