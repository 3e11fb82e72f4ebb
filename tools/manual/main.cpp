// svc-manual: turns the user manual (Markdown) into a PDF document on A4 pages, with a title
// banner, styled headings and tables, images resolved relative to the Markdown file, and a
// footer with page numbers. Runs at build time; needs no display (QT_QPA_PLATFORM=offscreen).

#include "component/Component.h"
#include "generate/SaveFile.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

#include <cmath>
#include <cstdio>

namespace {

const QColor Navy(0, 0, 128);
const QColor Teal(0, 168, 168);
const QColor PaleTeal(165, 210, 210);

// Page geometry in millimetres.
constexpr double MarginLeftMm = 22;
constexpr double MarginRightMm = 22;
constexpr double MarginTopMm = 20;
constexpr double MarginBottomMm = 22;
constexpr double BannerHeightMm = 30;
// Screenshots are shown at this share of their natural size (96 pixels to the inch).
constexpr double ImageScale = 0.7;

void Note(const QString& text) {
    const QByteArray line =
        (QStringLiteral("svc-manual: ") + text + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

bool IsRemote(const QString& target) {
    return target.contains(QLatin1String("://"));
}

// Removes the image references whose file does not exist, so that a manual whose
// screenshots have not been made yet still builds, without broken-image marks.
QString DropMissingImages(const QString& markdown, const QDir& base) {
    static const QRegularExpression image(
        QStringLiteral(R"(!\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+"[^"]*")?\s*\))"));
    QString result;
    qsizetype from = 0;
    QRegularExpressionMatchIterator it = image.globalMatch(markdown);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const QString target = m.captured(1);
        if (IsRemote(target) || QFileInfo::exists(base.absoluteFilePath(target)))
            continue;
        Note(QStringLiteral("left out the missing image %1").arg(target));
        result += markdown.mid(from, m.capturedStart() - from);
        from = m.capturedEnd();
    }
    result += markdown.mid(from);
    return result;
}

// Takes the first level-1 heading out of the document and returns its text: it becomes
// the banner of the first page.
QString TakeTitle(QTextDocument& doc) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.blockFormat().headingLevel() != 1)
            continue;
        const QString title = block.text();
        const QTextBlock next = block.next();
        QTextCursor cursor(block);
        if (!next.isValid()) {
            cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
            cursor.setBlockFormat(QTextBlockFormat());
        } else {
            // Removing up to the next block's start merges that block into this one; it
            // keeps its own block format.
            const QTextBlockFormat nextFormat = next.blockFormat();
            cursor.setPosition(next.position(), QTextCursor::KeepAnchor);
            cursor.removeSelectedText();
            cursor.setBlockFormat(nextFormat);
        }
        return title;
    }
    return QString();
}

void StyleHeadings(QTextDocument& doc) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level == 0)
            continue;
        QTextCursor cursor(block);
        QTextBlockFormat bf = block.blockFormat();
        bf.setTopMargin(level <= 2 ? 14 : 10);
        bf.setBottomMargin(level <= 2 ? 6 : 4);
        bf.setPageBreakPolicy(QTextFormat::PageBreak_Auto);
        cursor.setBlockFormat(bf);
        cursor.select(QTextCursor::BlockUnderCursor);
        QTextCharFormat cf;
        cf.setForeground(level <= 2 ? Navy : QColor(0, 96, 128));
        cursor.mergeCharFormat(cf);
    }
}

void StyleTables(QTextDocument& doc) {
    // Tables hang off the root frame; walk every frame below it.
    QList<QTextFrame*> frames = doc.rootFrame()->childFrames();
    while (!frames.isEmpty()) {
        QTextFrame* frame = frames.takeFirst();
        frames += frame->childFrames();
        auto* table = qobject_cast<QTextTable*>(frame);
        if (!table)
            continue;
        QTextTableFormat tf = table->format();
        tf.setBorder(0);
        tf.setBorderCollapse(true);
        tf.setCellSpacing(0);
        tf.setCellPadding(3);
        tf.setTopMargin(4);
        tf.setBottomMargin(8);
        tf.setHeaderRowCount(1);
        if (table->columns() == 2) {
            // Two columns are a term and its explanation: give the explanation the room.
            tf.setWidth(QTextLength(QTextLength::PercentageLength, 100));
            tf.setColumnWidthConstraints({QTextLength(QTextLength::PercentageLength, 34),
                                          QTextLength(QTextLength::PercentageLength, 66)});
        }
        table->setFormat(tf);
        // A thin rule under every row, and a tinted heading row that repeats on each page.
        for (int r = 0; r < table->rows(); ++r)
            for (int c = 0; c < table->columns(); ++c) {
                QTextTableCell cell = table->cellAt(r, c);
                QTextTableCellFormat cf = cell.format().toTableCellFormat();
                cf.setLeftPadding(5);
                cf.setRightPadding(5);
                cf.setBottomBorder(r == 0 ? 1.2 : 0.6);
                cf.setBottomBorderStyle(QTextFrameFormat::BorderStyle_Solid);
                cf.setBottomBorderBrush(r == 0 ? Teal : QColor(190, 205, 205));
                if (r == 0)
                    cf.setBackground(PaleTeal);
                cell.setFormat(cf);
            }
    }
}

// Code blocks and command lines: a light grey band, indented a little.
void StyleCodeBlocks(QTextDocument& doc) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat bf = block.blockFormat();
        if (!bf.nonBreakableLines())
            continue;
        bf.setBackground(QColor(240, 244, 244));
        bf.setLeftMargin(10);
        bf.setTopMargin(3);
        bf.setBottomMargin(6);
        QTextCursor(block).setBlockFormat(bf);
    }
}

// Keeps room at the top of the first page for the banner: an invisible image of the
// banner's size comes first in the text flow.
void ReserveBanner(QTextDocument& doc, double widthPx96, double heightPx96) {
    QImage blank(1, 1, QImage::Format_ARGB32);
    blank.fill(Qt::transparent);
    const QUrl name(QStringLiteral("svc-manual:banner"));
    doc.addResource(QTextDocument::ImageResource, name, blank);
    QTextCursor cursor(&doc);
    cursor.movePosition(QTextCursor::Start);
    cursor.insertBlock();
    cursor.movePosition(QTextCursor::Start);
    QTextBlockFormat bf;
    bf.setBottomMargin(10);
    cursor.setBlockFormat(bf);
    QTextImageFormat image;
    image.setName(name.toString());
    image.setWidth(widthPx96);
    image.setHeight(heightPx96);
    cursor.insertImage(image);
}

// Gives each image a display size: its natural size scaled down, and never wider than the
// text column.
void SizeImages(QTextDocument& doc, const QDir& base, double columnWidthPx) {
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            QTextImageFormat image = fragment.charFormat().toImageFormat();
            const QSize natural = QImageReader(base.absoluteFilePath(image.name())).size();
            if (!natural.isValid())
                continue;
            double scale = ImageScale;
            if (natural.width() * scale > columnWidthPx)
                scale = columnWidthPx / natural.width();
            image.setWidth(natural.width() * scale);
            image.setHeight(natural.height() * scale);
            QTextCursor cursor(&doc);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.setCharFormat(image);
            QTextBlockFormat centred = block.blockFormat();
            centred.setAlignment(Qt::AlignHCenter);
            cursor.setBlockFormat(centred);
        }
    }
}

// A heading stays with the first line after it: a heading that would end a page starts
// the next one instead. Each moved heading shifts what follows, so this repeats until no
// heading moves.
void KeepHeadingsWithNext(QTextDocument& doc) {
    const double pageHeight = doc.pageSize().height();
    QAbstractTextDocumentLayout* layout = doc.documentLayout();
    for (int pass = 0; pass < 50; ++pass) {
        bool moved = false;
        for (QTextBlock block = doc.begin(); block.isValid() && !moved; block = block.next()) {
            const QTextBlock next = block.next();
            if (block.blockFormat().headingLevel() == 0 || !next.isValid())
                continue;
            const QRectF heading = layout->blockBoundingRect(block);
            const QRectF following = layout->blockBoundingRect(next);
            double firstLine = following.height();
            if (next.layout() && next.layout()->lineCount() > 0)
                firstLine = next.layout()->lineAt(0).height();
            const int headingPage = int(heading.top() / pageHeight);
            const int nextPage = int((following.top() + firstLine - 1) / pageHeight);
            if (headingPage != nextPage &&
                block.blockFormat().pageBreakPolicy() != QTextFormat::PageBreak_AlwaysBefore) {
                QTextBlockFormat bf = block.blockFormat();
                bf.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
                QTextCursor(block).setBlockFormat(bf);
                moved = true;
                // Lay the whole document out again before measuring anything further.
                doc.markContentsDirty(0, doc.characterCount());
                layout->documentSize();
            }
        }
        if (!moved)
            return;
    }
}

// The first page's banner: a navy-to-teal band with a small trend line and the title.
void PaintBanner(QPainter& p, const QRectF& band, const QString& title, const QString& subtitle) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gradient(band.topLeft(), band.topRight());
    gradient.setColorAt(0.0, QColor(0, 0, 96));
    gradient.setColorAt(0.6, QColor(0, 96, 160));
    gradient.setColorAt(1.0, Teal);
    QPainterPath shape;
    shape.addRoundedRect(band, band.height() * 0.08, band.height() * 0.08);
    p.fillPath(shape, gradient);

    QPainterPath trend;
    const int steps = 60;
    for (int i = 0; i <= steps; ++i) {
        const double x = band.left() + band.width() * (0.5 + 0.5 * i / steps);
        const double y =
            band.top() + band.height() * (0.55 + 0.2 * std::sin(i / 3.1) * std::cos(i / 7.3));
        if (i == 0)
            trend.moveTo(x, y);
        else
            trend.lineTo(x, y);
    }
    p.setPen(QPen(QColor(255, 255, 255, 80), band.height() * 0.025));
    p.drawPath(trend);

    const double pad = band.height() * 0.22;
    QFont titleFont(QStringLiteral("Liberation Sans"));
    titleFont.setBold(true);
    titleFont.setPointSizeF(20);
    p.setFont(titleFont);
    p.setPen(Qt::white);
    const QRectF textArea = band.adjusted(pad, pad * 0.8, -pad, -pad);
    p.drawText(textArea, Qt::AlignLeft | Qt::AlignTop, title);
    QFont subFont(QStringLiteral("Liberation Sans"));
    subFont.setPointSizeF(11);
    p.setFont(subFont);
    p.drawText(textArea, Qt::AlignLeft | Qt::AlignBottom, subtitle);
    p.restore();
}

void PaintFooter(QPainter& p, const QRectF& area, const QString& left, int page, int pages) {
    p.save();
    p.setPen(QPen(Teal, area.height() * 0.03));
    p.drawLine(area.topLeft(), area.topRight());
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSizeF(8);
    p.setFont(font);
    p.setPen(QColor(90, 90, 90));
    const QRectF text = area.adjusted(0, area.height() * 0.15, 0, 0);
    p.drawText(text, Qt::AlignLeft | Qt::AlignTop, left);
    p.drawText(text, Qt::AlignRight | Qt::AlignTop,
               QStringLiteral("Page %1 of %2").arg(page).arg(pages));
    p.restore();
}

// Qt's notes go to standard error as usual, except the one about a missing runtime folder,
// which every headless build machine would print and which does not concern a PDF.
void FilterMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains(QLatin1String("XDG_RUNTIME_DIR")))
        return;
    Note(qFormatLogMessage(type, context, text));
}

} // namespace

int main(int argc, char* argv[]) {
    // A build machine has no display; the PDF needs none.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(FilterMessages);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("svc-manual"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Turns a Markdown manual into an A4 PDF document."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("input"), QStringLiteral("The Markdown file."));
    parser.addPositionalArgument(QStringLiteral("output"),
                                 QStringLiteral("The PDF file to write."));
    const QCommandLineOption subtitleOption(
        QStringLiteral("subtitle"), QStringLiteral("Line under the title on the first page."),
        QStringLiteral("TEXT"), QStringLiteral("User Manual"));
    const QCommandLineOption footerOption(QStringLiteral("footer"),
                                          QStringLiteral("Text at the foot of every page."),
                                          QStringLiteral("TEXT"));
    parser.addOptions({subtitleOption, footerOption});
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 2) {
        Note(QStringLiteral("give the Markdown file and the PDF file; see --help"));
        return 2;
    }

    QFile input(args.at(0));
    if (!input.open(QIODevice::ReadOnly)) {
        Note(QStringLiteral("cannot read %1: %2").arg(args.at(0), input.errorString()));
        return 1;
    }
    const QDir base = QFileInfo(input).absoluteDir();
    const QString markdown = DropMissingImages(QString::fromUtf8(input.readAll()), base);

    // The document is made in memory and replaces the file only when it is complete, so
    // that a failed build leaves an earlier manual as it was.
    QBuffer pdf;
    pdf.open(QIODevice::WriteOnly);
    QPdfWriter writer(&pdf);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
    writer.setResolution(600);
    writer.setCreator(QStringLiteral("svc-manual"));

    const double pxPerMm = writer.resolution() / 25.4;
    const QRectF page(0, 0, writer.width(), writer.height());
    const QRectF body(MarginLeftMm * pxPerMm, MarginTopMm * pxPerMm,
                      page.width() - (MarginLeftMm + MarginRightMm) * pxPerMm,
                      page.height() - (MarginTopMm + MarginBottomMm) * pxPerMm);

    QTextDocument doc;
    QFont font;
    font.setFamilies({QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans"),
                      QStringLiteral("Arial")});
    font.setPointSizeF(10);
    doc.setDefaultFont(font);
    doc.setDocumentMargin(0);
    doc.setBaseUrl(QUrl::fromLocalFile(base.absolutePath() + QLatin1Char('/')));
    doc.setMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);

    const QString title = TakeTitle(doc);
    writer.setTitle(title.isEmpty() ? QFileInfo(input).completeBaseName() : title);
    StyleHeadings(doc);
    StyleTables(doc);
    // The text column in the 96-to-the-inch units of image sizes.
    SizeImages(doc, base, body.width() / writer.resolution() * 96.0);

    StyleCodeBlocks(doc);
    // The banner takes the top of the first page.
    const double bannerHeight = title.isEmpty() ? 0 : BannerHeightMm * pxPerMm;
    if (!title.isEmpty())
        ReserveBanner(doc, body.width() / writer.resolution() * 96.0, BannerHeightMm / 25.4 * 96.0);

    doc.documentLayout()->setPaintDevice(&writer);
    doc.setPageSize(body.size());
    KeepHeadingsWithNext(doc);
    const int pages = doc.pageCount();

    QPainter painter;
    if (!painter.begin(&writer)) {
        Note(QStringLiteral("cannot write %1").arg(args.at(1)));
        return 1;
    }
    const QString footer = parser.isSet(footerOption) ? parser.value(footerOption) : title;
    for (int i = 0; i < pages; ++i) {
        if (i > 0)
            writer.newPage();
        if (i == 0 && !title.isEmpty())
            PaintBanner(painter, QRectF(body.left(), body.top(), body.width(), bannerHeight), title,
                        parser.value(subtitleOption));
        painter.save();
        painter.translate(body.left(), body.top() - i * body.height());
        const QRectF view(0, i * body.height(), body.width(), body.height());
        painter.setClipRect(view);
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip = view;
        context.palette.setColor(QPalette::Text, Qt::black);
        doc.documentLayout()->draw(&painter, context);
        painter.restore();
        PaintFooter(painter,
                    QRectF(body.left(), body.bottom() + 8 * pxPerMm, body.width(), 6 * pxPerMm),
                    footer, i + 1, pages);
    }
    if (!painter.end()) {
        Note(QStringLiteral("cannot finish %1").arg(args.at(1)));
        return 1;
    }
    try {
        savefile::Replace(args.at(1), pdf.data());
    } catch (const ComponentError& e) {
        Note(e.message());
        return 1;
    }
    return 0;
}
