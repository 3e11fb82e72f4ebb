// The wizard window's controls at their fixed positions. Positions are given in twips
// (15 to the device-independent pixel); page controls are placed relative to the page
// control's own top-left corner, frame children relative to their frame.

#include "app/frmSVCorblexAppGen.h"
#include "ui/FlexGrid.h"

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

namespace {

QRect TwipRect(int left, int top, int width, int height) {
    return QRect(Twips(left), Twips(top), Twips(width), Twips(height));
}

template <class W> W* Place(W* widget, const char* name, int l, int t, int w, int h) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(TwipRect(l, t, w, h));
    return widget;
}

// A canvas that covers the whole page control, so that a page's controls can be placed at
// positions measured from the page control's corner whatever the height of the tab strip.
class PageCanvas : public QWidget {
public:
    PageCanvas(QWidget* page, QTabWidget* tabs) : QWidget(page), page_(page), tabs_(tabs) {
        page->installEventFilter(this);
        Follow();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == page_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize ||
                                 event->type() == QEvent::Show))
            Follow();
        return false;
    }

private:
    void Follow() {
        const QPoint offset = page_->mapTo(tabs_, QPoint(0, 0));
        setGeometry(-offset.x(), -offset.y(), tabs_->width(), tabs_->height());
    }
    QWidget* page_;
    QTabWidget* tabs_;
};

// The window's faces, the first one the system has: the fixed layout is measured for a compact
// 8-point face; Arial's metrics (Liberation Sans on Linux, and under Wine) fit it where the
// system has no Segoe UI.
QStringList WizardFaces() {
    return {QStringLiteral("Segoe UI"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")};
}

// The product banner: a deep blue band with a stylised trend line and the product mark.
QPixmap BannerPixmap(QSize size, qreal pixelRatio) {
    // Drawn at the screen's pixel ratio so that it stays sharp on scaled screens.
    QPixmap pixmap(size * pixelRatio);
    pixmap.setDevicePixelRatio(pixelRatio);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient band(0, 0, size.width(), 0);
    band.setColorAt(0.0, QColor(0, 0, 96));
    band.setColorAt(0.55, QColor(0, 96, 160));
    band.setColorAt(1.0, QColor(0, 168, 168));
    p.fillRect(QRect(QPoint(0, 0), size), band);

    // A live trend across the band, the thing the generated log sheets record.
    QPainterPath trend;
    const int h = size.height();
    trend.moveTo(0, h * 0.75);
    for (int x = 0; x <= size.width(); x += 16) {
        const double y = h * (0.62 + 0.18 * std::sin(x / 37.0) * std::cos(x / 91.0));
        trend.lineTo(x, y);
    }
    p.setPen(QPen(QColor(255, 255, 255, 90), 2));
    p.drawPath(trend);

    // The mark: three bars of a log sheet inside a rounded square.
    const QRectF mark(14, 10, h - 20, h - 20);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(QColor(255, 255, 255, 40));
    p.drawRoundedRect(mark, 6, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    const double bw = mark.width() / 7;
    for (int i = 0; i < 3; ++i) {
        const double bh = mark.height() * (0.35 + 0.2 * i);
        p.drawRect(QRectF(mark.left() + bw * (1 + 2 * i), mark.bottom() - 6 - bh + 6, bw, bh - 6));
    }
    QFont font;
    font.setFamilies(WizardFaces());
    font.setPixelSize(h / 4);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(mark.right() + 12, 0, 260, h), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("SV Corblex"));
    return pixmap;
}

void GreyText(QLabel* label, const QColor& color) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

} // namespace

void frmSVCorblexAppGen::CreateControls() {
    setObjectName(QStringLiteral("frmSVCorblexAppGen"));
    setWindowTitle(QStringLiteral("SV Corblex Application Generator"));
    setFixedSize(Twips(9060), Twips(8415));
    QFont face = font();
    face.setFamilies(WizardFaces());
    face.setPointSize(8);
    setFont(face);

    const QColor systemGreyText = palette().color(QPalette::Disabled, QPalette::WindowText);
    const QColor grey(128, 128, 128);

    // Banner with its title label.
    picLogo = Place(new QLabel(this), "picLogo", 0, 0, 9060, 960);
    picLogo->setPixmap(BannerPixmap(picLogo->size(), devicePixelRatioF()));
    Label9 = Place(new QLabel(QStringLiteral("SV Corblex Application Generator"), picLogo),
                   "Label9", 4560, 240, 4215, 375);
    QFont titleFont = face;
    titleFont.setPointSize(12);
    titleFont.setBold(true);
    Label9->setFont(titleFont);
    Label9->setAutoFillBackground(true);
    QPalette titlePalette = Label9->palette();
    titlePalette.setColor(QPalette::Window, Qt::white);
    titlePalette.setColor(QPalette::WindowText, QColor(0, 0, 128));
    Label9->setPalette(titlePalette);
    Label9->setAlignment(Qt::AlignCenter);

    // The toolbar strip lies under the page control; it has no buttons of its own.
    Toolbar1 = Place(new QFrame(this), "Toolbar1", 0, 960, 9060, 660);
    Toolbar1->setFrameShape(QFrame::NoFrame);

    MenuTab = Place(new QTabWidget(this), "MenuTab", 120, 1080, 8775, 6735);
    MenuTab->setDocumentMode(false);
    MenuTab->setUsesScrollButtons(false);
    QWidget* canvas[5];
    const char* captions[5] = {"Connect", "Sampling", "Select Tags", "Layout", "Generate"};
    for (int i = 0; i < 5; ++i) {
        auto* page = new QWidget;
        page->setObjectName(QStringLiteral("MenuTabPage%1").arg(i));
        MenuTab->addTab(page, QLatin1String(captions[i]));
        canvas[i] = new PageCanvas(page, MenuTab);
    }

    // Page 0: Connect.
    fraConnectionMethod =
        Place(new QGroupBox(QStringLiteral("Choose your connection method"), canvas[0]),
              "fraConnectionMethod", 240, 480, 8295, 3615);
    optConnectMethod[0] =
        Place(new QRadioButton(QStringLiteral("Connect Direct via HUB"), fraConnectionMethod),
              "optConnectMethod(0)", 240, 360, 2295, 255);
    optConnectMethod[0]->setChecked(true);
    Label2 = Place(new QLabel(QStringLiteral("Choose this method if SV Corblex is running on this "
                                             "computer and the Solvane application you will "
                                             "generate will also be used on this computer."),
                              fraConnectionMethod),
                   "Label2", 480, 720, 7095, 495);
    GreyText(Label2, systemGreyText);
    optConnectMethod[1] =
        Place(new QRadioButton(QStringLiteral("Connect Remote via TCP"), fraConnectionMethod),
              "optConnectMethod(1)", 240, 1320, 2295, 375);
    Label3 = Place(
        new QLabel(
            QStringLiteral("Choose this method if SV Corblex is running on a different computer or "
                           "the Solvane application you will generate will be used on a computer "
                           "other than the one SVCorblex is on. You will also need to provide the "
                           "TCP Address and Port that SVCorblex is listening on."),
            fraConnectionMethod),
        "Label3", 480, 1680, 6975, 735);
    GreyText(Label3, systemGreyText);
    lblTCPaddress = Place(new QLabel(QStringLiteral("TCP Address"), fraConnectionMethod),
                          "lblTCPaddress", 480, 2565, 975, 255);
    txtTCPaddress =
        Place(new QLineEdit(fraConnectionMethod), "txtTCPaddress", 1560, 2520, 2055, 285);
    lblTCPport = Place(new QLabel(QStringLiteral("TCP Port"), fraConnectionMethod), "lblTCPport",
                       480, 2925, 975, 255);
    txtTCPport = Place(new QLineEdit(fraConnectionMethod), "txtTCPport", 1560, 2880, 2055, 285);
    for (QWidget* w : {static_cast<QWidget*>(lblTCPaddress), static_cast<QWidget*>(txtTCPaddress),
                       static_cast<QWidget*>(lblTCPport), static_cast<QWidget*>(txtTCPport)})
        w->setEnabled(false);
    lblTCPaddress->setBuddy(txtTCPaddress);
    lblTCPport->setBuddy(txtTCPport);

    Frame1 = Place(new QGroupBox(QStringLiteral("Sampling Rate"), canvas[0]), "Frame1", 240, 4320,
                   8295, 1455);
    Label4 = Place(new QLabel(QStringLiteral("Choose the rate at which you would like to sample "
                                             "data from SV Corblex (expressed in milliseconds)."),
                              Frame1),
                   "Label4", 480, 480, 6495, 375);
    GreyText(Label4, systemGreyText);
    Label1 = Place(new QLabel(QStringLiteral("Sampling Rate (ms)"), Frame1), "Label1", 480, 885,
                   1575, 255);
    txtSampleRate =
        Place(new QLineEdit(QStringLiteral("1000"), Frame1), "txtSampleRate", 2040, 840, 735, 285);
    Label1->setBuddy(txtSampleRate);

    // Page 1: Sampling.
    lblSamplingMessage = Place(new QLabel(canvas[1]), "lblSamplingMessage", 240, 600, 8295, 855);
    GreyText(lblSamplingMessage, grey);
    SamplingGrid = Place(new FlexGrid(canvas[1]), "SamplingGrid", 240, 1560, 8295, 4935);

    // Page 2: Select Tags.
    lblSelectTagsMessage =
        Place(new QLabel(canvas[2]), "lblSelectTagsMessage", 240, 600, 8295, 615);
    GreyText(lblSelectTagsMessage, grey);
    Label5 = Place(new QLabel(QStringLiteral("Filter:"), canvas[2]), "Label5", 240, 1320, 495, 255);
    txtFilter = Place(new QLineEdit(canvas[2]), "txtFilter", 840, 1320, 7695, 285);
    Label5->setBuddy(txtFilter);
    SelectTagsGrid = Place(new FlexGrid(canvas[2]), "SelectTagsGrid", 240, 1800, 8295, 4695);

    // Page 3: Layout.
    lblLayoutMessage = Place(new QLabel(canvas[3]), "lblLayoutMessage", 240, 600, 8295, 615);
    GreyText(lblLayoutMessage, grey);
    Label6 = Place(new QLabel(QStringLiteral("Maximum Heading Lines"), canvas[3]), "Label6", 240,
                   1350, 1935, 255);
    cboMaxLines = Place(new QComboBox(canvas[3]), "cboMaxLines", 2280, 1320, 1095, 315);
    Label6->setBuddy(cboMaxLines);
    LayoutGrid = Place(new FlexGrid(canvas[3]), "LayoutGrid", 240, 1800, 8295, 4695);

    // Page 4: Generate.
    lblGenerateMessage = Place(new QLabel(canvas[4]), "lblGenerateMessage", 240, 600, 8175, 615);
    GreyText(lblGenerateMessage, grey);
    Label7 = Place(new QLabel(QStringLiteral("Solvane Application Title"), canvas[4]), "Label7",
                   240, 1680, 7095, 495);
    Label7->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    txtTitle = Place(new QLineEdit(canvas[4]), "txtTitle", 240, 1920, 7815, 285);
    Label7->setBuddy(txtTitle);
    Label8 = Place(new QLabel(QStringLiteral("Solvane Application Filename"), canvas[4]), "Label8",
                   240, 2520, 7095, 255);
    txtFilename = Place(new QLineEdit(canvas[4]), "txtFilename", 240, 2760, 7815, 285);
    txtFilename->setEnabled(false);
    cmdSaveAs =
        Place(new QPushButton(QStringLiteral("..."), canvas[4]), "cmdSaveAs", 8160, 2715, 375, 375);
    cmdSaveAs->setToolTip(QStringLiteral("Click to Save SV Application"));
    cmdOpenSV = Place(new QPushButton(QStringLiteral("Open SV Application"), canvas[4]),
                      "cmdOpenSV", 1800, 3480, 2175, 495);
    cmdOpenSV->setEnabled(false);
    cmdOpenSVAdmin = Place(new QPushButton(QStringLiteral("Open in SV Admin"), canvas[4]),
                           "cmdOpenSVAdmin", 4080, 3480, 2175, 495);
    cmdOpenSVAdmin->setEnabled(false);
    cmdPreview = Place(new QPushButton(QStringLiteral("Preview SV Application"), canvas[4]),
                       "cmdPreview", 6360, 3480, 2175, 495);

    // Button row.
    cmdHelp = Place(new QPushButton(QStringLiteral("Help"), this), "cmdHelp", 120, 7920, 1215, 375);
    cmdPrev =
        Place(new QPushButton(QStringLiteral("Previous"), this), "cmdPrev", 3720, 7920, 1215, 375);
    cmdNext =
        Place(new QPushButton(QStringLiteral("Next"), this), "cmdNext", 5040, 7920, 1215, 375);
    cmdFinish =
        Place(new QPushButton(QStringLiteral("Finish"), this), "cmdFinish", 6360, 7920, 1215, 375);
    cmdClose =
        Place(new QPushButton(QStringLiteral("Close"), this), "cmdClose", 7680, 7920, 1215, 375);
    cmdPrev->setEnabled(false);
    cmdFinish->setEnabled(false);
    for (QPushButton* b : {cmdHelp, cmdPrev, cmdNext, cmdFinish, cmdClose})
        b->setAutoDefault(false);

    tmrSample = new QTimer(this);
    tmrSample->setObjectName(QStringLiteral("tmrSample"));
    tmrSample->setInterval(0);

    Toolbar1->lower();
    picLogo->raise();

    // Tab order: the page's inputs first, then the button row.
    setTabOrder(optConnectMethod[0], optConnectMethod[1]);
    setTabOrder(optConnectMethod[1], txtTCPaddress);
    setTabOrder(txtTCPaddress, txtTCPport);
    setTabOrder(txtTCPport, txtSampleRate);
    setTabOrder(txtFilter, SelectTagsGrid);
    setTabOrder(cboMaxLines, LayoutGrid);
    setTabOrder(txtTitle, cmdSaveAs);
    setTabOrder(cmdSaveAs, cmdOpenSV);
    setTabOrder(cmdOpenSV, cmdOpenSVAdmin);
    setTabOrder(cmdOpenSVAdmin, cmdPreview);
    setTabOrder(cmdHelp, cmdPrev);
    setTabOrder(cmdPrev, cmdNext);
    setTabOrder(cmdNext, cmdFinish);
    setTabOrder(cmdFinish, cmdClose);
}
