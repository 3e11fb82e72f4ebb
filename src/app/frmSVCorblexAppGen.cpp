// Start-up, navigation and shut-down of the wizard window, its settings access and the
// Connect page's method options.

#include "app/frmSVCorblexAppGen.h"

#include "app/SamplingEngine.h"
#include "component/CreateObject.h"
#include "hub/HubRequest.h"
#include "ui/FlexGrid.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHostInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>

namespace {

const QString SamplingMessage = QStringLiteral(
    "The following screen will refresh data based on the Sample Rate in order to determine the "
    "most optimum Tag settings. As it samples new values, any property changes will be "
    "highlighted. Let it run for as long as you feel it needs in order to reach stable settings, "
    "then click on Next.");
const QString SelectTagsMessage = QStringLiteral(
    "The following screen allows you to select the Tags that you wish to be used in your "
    "generated Solvane application. Use the Select ALl/None and Filter to quickly narrow down "
    "your choices.");
const QString LayoutMessage = QStringLiteral(
    "The following screen allows you to format your Solvane variable names based on the Tag "
    "Names. Select a Maximum Header Lines of 0 to leave the name untouched, or choose the number "
    "of lines required to format properly on the Solvane Logsheet. You can also Drag and Drop "
    "columns to re-order them.");
const QString GenerateMessage = QStringLiteral(
    "The following screen allows you Save your generated application. Choose Preview to view the "
    "application without saving a copy, or choose Save As to make a permanent copy. Once saved, "
    "you can then Open in Solvane or Open in SVAdmin to make further changes.");

// Runs one start-up step; an error abandons only that step.
template <class F> void StartupStep(F&& step) {
    try {
        step();
    } catch (const std::exception&) {
    }
}

} // namespace

frmSVCorblexAppGen::frmSVCorblexAppGen(PlatformServices services, QWidget* parent)
    : QWidget(parent), services_(WithRealServices(services)) {
    RegisterStandardComponents();
    CreateControls();
    sampler_ = std::make_unique<SamplingEngine>(*SamplingGrid, *services_.tickCounter,
                                                *services_.eventPump,
                                                [this] { return AskHub(hubrequest::GetValues); });

    connect(cmdNext, &QPushButton::clicked, this, [this] { cmdNext_Click(); });
    connect(cmdPrev, &QPushButton::clicked, this, [this] { cmdPrev_Click(); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { cmdClose_Click(); });
    connect(cmdHelp, &QPushButton::clicked, this, [this] { Guarded([this] { cmdHelp_Click(); }); });
    for (QRadioButton* option : optConnectMethod)
        connect(option, &QRadioButton::toggled, this, [this](bool on) {
            if (on)
                optConnectMethod_Click();
        });
    connect(tmrSample, &QTimer::timeout, this, [this] {
        // A tick that arrives while a sample is still running (it yields to pending events)
        // is skipped: two samples never run interleaved.
        if (!sampler_->Busy())
            Guarded([this] { SampleValues(); });
    });
    connect(txtFilter, &QLineEdit::textChanged, this,
            [this] { Guarded([this] { txtFilter_Change(); }); });
    connect(cboMaxLines, &QComboBox::currentIndexChanged, this,
            [this] { Guarded([this] { cboMaxLines_Click(); }); });
    // What is typed on the Generate page is what Finish and Preview use.
    connect(txtTitle, &QLineEdit::textChanged, this,
            [this](const QString& text) { state_.title = text; });
    connect(txtFilename, &QLineEdit::textChanged, this,
            [this](const QString& text) { state_.fileName = text; });
    connect(cmdSaveAs, &QPushButton::clicked, this,
            [this] { Guarded([this] { cmdSaveAs_Click(); }); });
    connect(cmdFinish, &QPushButton::clicked, this,
            [this] { Guarded([this] { cmdFinish_Click(); }); });
    connect(cmdPreview, &QPushButton::clicked, this, [this] { cmdPreview_Click(); });
    connect(cmdOpenSV, &QPushButton::clicked, this, [this] { cmdOpenSV_Click(); });
    connect(cmdOpenSVAdmin, &QPushButton::clicked, this, [this] { cmdOpenSVAdmin_Click(); });

    SelectTagsGrid->OnCellChanged = [this](int row, int col) { OnSelectTagsCellChanged(row, col); };
    SelectTagsGrid->OnBeforeEdit = [](int, int col, bool& cancel) { cancel = col > 0; };
    SelectTagsGrid->OnBeforeUserResize = [](int, int col, bool& cancel) { cancel = col == 0; };
    LayoutGrid->OnBeforeMoveColumn = [this](int col, int& position) {
        OnLayoutColumnMove(col, position);
    };
    // Only the Select Tags page lets the user change a cell.
    SamplingGrid->OnBeforeEdit = [](int, int, bool& cancel) { cancel = true; };
    LayoutGrid->OnBeforeEdit = [](int, int, bool& cancel) { cancel = true; };
    SamplingGrid->OnBeforeMoveColumn = [](int col, int& position) { position = col; };
    SelectTagsGrid->OnBeforeMoveColumn = [](int col, int& position) { position = col; };
}

frmSVCorblexAppGen::~frmSVCorblexAppGen() = default;

void frmSVCorblexAppGen::FillTagRow(IGrid& grid, qint32 row, int firstCol, const TagItem& tag) {
    grid.SetTextMatrix(row, firstCol, tag.Name());
    grid.SetCellAlignment(row, firstCol, CellAlignment::LeftCenter);
    grid.SetTextMatrix(row, firstCol + 1, tag.FieldType());
    grid.SetCellAlignment(row, firstCol + 1, CellAlignment::CenterCenter);
    grid.SetTextMatrix(row, firstCol + 2, QString::number(tag.Length()));
    grid.SetCellAlignment(row, firstCol + 2, CellAlignment::CenterCenter);
    grid.SetTextMatrix(row, firstCol + 3, QString::number(tag.Decimals()));
    grid.SetCellAlignment(row, firstCol + 3, CellAlignment::CenterCenter);
    grid.SetTextMatrix(row, firstCol + 4, tag.Value());
    grid.SetCellAlignment(row, firstCol + 4, CellAlignment::LeftCenter);
}

bool frmSVCorblexAppGen::Form_Load() {
    // Centre the window on its screen; the size stays as it is.
    if (QScreen* screen = this->screen()) {
        const QRect area = screen->geometry();
        move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
    }
    // An empty tag collection, this computer as the default hub address, the default port
    // and the pages' explanations.
    state_.tags = std::make_shared<TagItems>();
    state_.tcpAddress = QHostInfo::localHostName();
    state_.tcpPort = 6000;
    lblSamplingMessage->setText(SamplingMessage);
    lblSelectTagsMessage->setText(SelectTagsMessage);
    lblLayoutMessage->setText(LayoutMessage);
    lblGenerateMessage->setText(GenerateMessage);

    // Without a hub reader the program cannot work at all: say so and close.
    try {
        HubReader_ = CreateObject<IHubReader>(QLatin1String(HubReaderClassName));
    } catch (const std::exception&) {
        services_.messageBox->Show(MessageIcon::Stop,
                                   QStringLiteral("In order to run SV Application Generator you "
                                                  "need to have SV Workstation installed on this "
                                                  "machine."),
                                   QStringLiteral("SV Workstation not installed."));
        Form_QueryUnload();
        unloaded_ = true;
        return false;
    }

    // From here on an error abandons only the step in which it occurs.
    StartupStep([this] { HubReader_->SetSilent(true); });
    StartupStep([this] { FillMaxLinesList(); });
    CurrentPage_ = 0;
    StartupStep([this] { ShowPage(0); });
    return true;
}

::Config& frmSVCorblexAppGen::Config() {
    if (!ConfigObject_) {
        auto config = CreateObject<::Config>(QLatin1String(ConfigClassName));
        config->SetApplicationName(QStringLiteral("SVCorblex"));
        config->SetProgramName(ProgramName());
        ConfigObject_ = std::move(config);
    }
    return *ConfigObject_;
}

QVariant frmSVCorblexAppGen::ConfigReadValue(const QString& section, const QString& key,
                                             const QVariant& defaultValue) {
    ::Config& config = Config();
    config.Load();
    if (!config.SectionExists(section))
        return defaultValue;
    std::unique_ptr<ConfigSection> s = config.GetSection(section);
    if (!s->KeyExists(key))
        return defaultValue;
    return s->ReadValue(key, defaultValue.toString());
}

void frmSVCorblexAppGen::ConfigWriteValue(const QString& section, const QString& key,
                                          const QString& value) {
    ::Config& config = Config();
    config.Load();
    std::unique_ptr<ConfigSection> s =
        config.SectionExists(section) ? config.GetSection(section) : config.AddSection(section);
    s->WriteValue(key, value);
    // A setting that cannot be stored is only not remembered for the next run; nothing in
    // this run needs it, so the user is told once and goes on.
    try {
        config.Save();
    } catch (const ComponentError& e) {
        if (!settingsWarned_) {
            settingsWarned_ = true;
            Message(MessageIcon::Exclamation,
                    e.message() + QStringLiteral(" The wizard carries on, but your choices will "
                                                 "not be remembered for the next run."));
        }
    }
}

void frmSVCorblexAppGen::ShowPage(int page) {
    const int n = MenuTab->count();
    // Only the page on show has an available tab, so the tabs never change the page.
    MenuTab->setTabEnabled(page, true);
    MenuTab->setCurrentIndex(page);
    for (int i = 0; i < n; ++i)
        if (i != page)
            MenuTab->setTabEnabled(i, false);
    if (page == 0) {
        cmdPrev->setEnabled(false);
        cmdNext->setEnabled(true);
    } else if (page == n - 1) {
        cmdPrev->setEnabled(true);
        cmdNext->setEnabled(false);
    } else {
        cmdPrev->setEnabled(true);
        cmdNext->setEnabled(true);
    }
    if (page == 0)
        LoadConnectSettings();
    FocusPage(page);
}

void frmSVCorblexAppGen::FocusPage(int page) {
    // The keyboard starts at the first thing the page asks of the user.
    QWidget* first = nullptr;
    switch (page) {
    case 0:
        first = optConnectMethod[0]->isChecked() ? optConnectMethod[0] : optConnectMethod[1];
        break;
    case 1:
        first = SamplingGrid;
        break;
    case 2:
        first = txtFilter;
        break;
    case 3:
        first = cboMaxLines;
        break;
    default:
        first = txtTitle;
        break;
    }
    first->setFocus(Qt::OtherFocusReason);
}

void frmSVCorblexAppGen::cmdNext_Click() {
    cmdNext->setEnabled(false);
    try {
        bool ok = true;
        switch (CurrentPage_) {
        case 0:
            LeaveConnectPage(ok);
            break;
        case 1:
            LeaveSamplingPage(ok);
            break;
        case 2:
            LeaveSelectTagsPage(ok);
            break;
        case 3:
            LeaveLayoutPage(ok);
            break;
        default:
            break;
        }
        if (unloaded_)
            return;
        if (!ok) {
            cmdNext->setEnabled(true);
            return;
        }
        CurrentPage_ += 1;
        switch (CurrentPage_) {
        case 1:
            EnterSamplingPage();
            break;
        case 2:
            EnterSelectTagsPage();
            break;
        case 3:
            EnterLayoutPage();
            break;
        case 4:
            EnterGeneratePage();
            break;
        default:
            break;
        }
        if (unloaded_)
            return;
        ShowPage(CurrentPage_);
    } catch (const std::exception& e) {
        Message(MessageIcon::Stop, QString::fromStdString(e.what()));
        StartupStep([this] { ShowPage(CurrentPage_); });
    }
}

void frmSVCorblexAppGen::cmdPrev_Click() {
    cmdPrev->setEnabled(false);
    try {
        CurrentPage_ -= 1;
        if (CurrentPage_ == 1)
            EnterSamplingPage();
        if (unloaded_)
            return;
        ShowPage(CurrentPage_);
    } catch (const std::exception& e) {
        Message(MessageIcon::Stop, QString::fromStdString(e.what()));
        StartupStep([this] { ShowPage(CurrentPage_); });
    }
}

void frmSVCorblexAppGen::cmdClose_Click() {
    StopSampling_ = true;
    SetSamplingTimer(0, false);
    sampler_->End();
    close();
}

void frmSVCorblexAppGen::closeEvent(QCloseEvent* event) {
    // The close request is never refused.
    Form_QueryUnload();
    event->accept();
    if (!unloaded_) {
        unloaded_ = true;
        emit Unloaded();
    }
}

void frmSVCorblexAppGen::Form_QueryUnload() {
    StopSampling_ = true;
    SetSamplingTimer(0, false);
    sampler_->End();
    // A request still waiting for a hub that stalls is given up, so that closing ends the
    // program now rather than when the hub's time-out runs out.
    if (HubReader_)
        HubReader_->Abandon();
}

QString frmSVCorblexAppGen::AskHub(const char* command) {
    // A request still waiting belongs to a sample that the user has left behind (Previous,
    // then Next or Previous again): the newer request takes its place.
    HubReader_->Abandon();
    return HubReader_->ReadInputFile(hubrequest::MakeRequest(state_.hubPrefix, command));
}

void frmSVCorblexAppGen::SetSamplingTimer(int intervalMs, bool enabled) {
    tmrSample->setInterval(intervalMs);
    if (enabled)
        tmrSample->start();
    else
        tmrSample->stop();
}

void frmSVCorblexAppGen::LoadConnectSettings() {
    // The method: "1" chooses the remote connection; anything else the direct one.
    const QVariant m =
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("Method"), QVariant(qint16(0)));
    const bool remote = m.toString().trimmed() == QLatin1String("1");
    optConnectMethod[remote ? 1 : 0]->setChecked(true);
    optConnectMethod_Click();
    // Address, port and sample rate as last stored, else the defaults in force.
    txtTCPaddress->setText(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("Address"), state_.tcpAddress)
            .toString());
    txtTCPport->setText(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("Port"), state_.tcpPort)
            .toString());
    txtSampleRate->setText(ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("SampleRate"),
                                           state_.sampleRateMs)
                               .toString());
    // Nothing samples while the Connect page is on show.
    SetSamplingTimer(0, false);
    sampler_->End();
    StopSampling_ = false;
}

void frmSVCorblexAppGen::optConnectMethod_Click() {
    const bool remote = !optConnectMethod[0]->isChecked();
    lblTCPaddress->setEnabled(remote);
    txtTCPaddress->setEnabled(remote);
    lblTCPport->setEnabled(remote);
    txtTCPport->setEnabled(remote);
}

void frmSVCorblexAppGen::ExecuteLink(const QString& url) {
    services_.shell->OpenDocument(url);
}

QString frmSVCorblexAppGen::GetPath(const QString& fileName) {
    const QChar separator = QDir::separator();
    const qsizetype p = fileName.lastIndexOf(separator);
    if (p >= 0)
        return fileName.left(p + 1);
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    return QStringLiteral("/");
#endif
}

void frmSVCorblexAppGen::Guarded(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        Message(MessageIcon::Stop, QString::fromStdString(e.what()));
    }
}

void frmSVCorblexAppGen::Message(MessageIcon icon, const QString& text) {
    services_.messageBox->Show(icon, text, ProgramName());
}

int RunWizard() {
    // The program ends when the window is unloaded, not when the last visible window closes:
    // while a workstation program runs the window is hidden, and a message box closed then
    // must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    frmSVCorblexAppGen window;
    if (!window.Form_Load())
        return 0;
    QObject::connect(&window, &frmSVCorblexAppGen::Unloaded, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return QApplication::exec();
}
