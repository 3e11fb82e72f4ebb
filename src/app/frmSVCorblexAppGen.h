#pragma once
// The wizard's one window. It hosts the five pages on one tab control, owns what the pages
// have accepted (WizardState), the hub reader, the settings object and the sampling engine,
// and runs the procedures of the pages. Its procedures live in one source file per page:
//   frmSVCorblexAppGen.cpp   start-up, navigation, shut-down, Connect settings
//   frmSVCorblexAppGen_ui.cpp  the controls and their fixed positions
//   ConnectPage.cpp, SamplingPage.cpp, SelectTagsPage.cpp, LayoutPage.cpp,
//   GeneratePage.cpp, WorkstationTools.cpp   one page each
// The sampling itself is SamplingEngine's.

#include "app/WizardState.h"
#include "hub/IHubReader.h"
#include "settings/Config.h"
#include "ui/Platform.h"

#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>

class FlexGrid;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTimer;
class IGrid;
class SamplingEngine;

// Registers the settings library, hub reader, application model and tool object under their
// class names for CreateObject. The window does it when it is made; calling it again is harmless.
void RegisterStandardComponents();

class frmSVCorblexAppGen : public QWidget {
    Q_OBJECT

public:
    explicit frmSVCorblexAppGen(PlatformServices services = {}, QWidget* parent = nullptr);
    ~frmSVCorblexAppGen() override;

    // The start-up sequence. Returns false after the start-up failure: the window must then
    // not be shown and the program ends.
    bool Form_Load();

    // Settings access; every read loads the store, every write loads and saves it.
    QVariant ConfigReadValue(const QString& section, const QString& key,
                             const QVariant& defaultValue);
    void ConfigWriteValue(const QString& section, const QString& key, const QString& value);

    // What the pages have accepted, the page on show, and the sampling's progress.
    const WizardState& State() const { return state_; }
    int CurrentPage() const { return CurrentPage_; }
    qint32 SampleCount() const { return SampleCount_; }
    bool StopSampling() const { return StopSampling_; }
    bool SamplingInProgress() const;
    // The Sampling page's procedure that the timer runs, for tests that sample step by step.
    void SampleValues();
    // How much work a sample does between two yields to pending events; 0 yields after
    // every row.
    void SetSampleYieldBudget(int ms);

signals:
    // The window has been closed for good; the program ends.
    void Unloaded();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Writes a tag's name, type, length, decimals and value into row `row` of a tag grid,
    // starting at column `firstCol`, aligned as both tag grids show them.
    static void FillTagRow(IGrid& grid, qint32 row, int firstCol, const TagItem& tag);

    void CreateControls();
    ::Config& Config();
    // Opens a document or link with its associated program.
    void ExecuteLink(const QString& url);
    // The folder part of a path including its trailing separator, or the root folder.
    static QString GetPath(const QString& fileName);

    // Navigation, as the buttons run it.
    void ShowPage(int page);
    void FocusPage(int page);
    void cmdNext_Click();
    void cmdPrev_Click();
    void cmdClose_Click();
    void Form_QueryUnload();

    // Page procedures.
    void LoadConnectSettings();
    void optConnectMethod_Click();
    void LeaveConnectPage(bool& ok);
    void EnterSamplingPage();
    void LeaveSamplingPage(bool& ok);
    void EnterSelectTagsPage();
    void txtFilter_Change();
    void OnSelectTagsCellChanged(int row, int col);
    void LeaveSelectTagsPage(bool& ok);
    void FillMaxLinesList();
    void cboMaxLines_Click();
    void EnterLayoutPage();
    void LeaveLayoutPage(bool& ok);
    void FillLayoutGrid();
    void FormatLayout();
    qint32 MaxHeadingBreaks() const;
    void OnLayoutColumnMove(int col, int& position);
    void EnterGeneratePage();
    void cmdSaveAs_Click();
    QString AskSaveFileName();
    void cmdFinish_Click();
    void BuildApplication(const QString& fileName);
    void cmdPreview_Click();
    void cmdOpenSV_Click();
    void cmdOpenSVAdmin_Click();
    void cmdHelp_Click();
    void RunWorkstationProgram(QPushButton* button, const QString& program,
                               const QString& argumentPrefix);
    void SetSamplingTimer(int intervalMs, bool enabled);
    // Asks the hub the state's prefix + command. Events keep running while it waits, so the
    // caller checks afterwards whether the window was closed meanwhile.
    QString AskHub(const char* command);

    // Runs a user action; an error that escapes it is shown in a stop message box and the
    // busy pointer is restored, so no failure of a component ends the program.
    void Guarded(const std::function<void()>& action);
    void Message(MessageIcon icon, const QString& text);

    PlatformServices services_;
    WizardState state_;

    // Form-level state.
    int CurrentPage_ = 0;
    qint32 SampleCount_ = 0;
    bool SuppressMaxLinesClick_ = false;
    bool StopSampling_ = false;
    std::unique_ptr<IHubReader> HubReader_;
    std::unique_ptr<::Config> ConfigObject_;
    std::unique_ptr<SamplingEngine> sampler_;

    // Upper-case tag names for the filter, one per row of the Select Tags grid, made on
    // entering the page.
    QStringList upperNames_;
    // The window has been closed for good; a procedure that waited for the hub meanwhile
    // stops there.
    bool unloaded_ = false;
    // The user has been told that the settings cannot be saved (once per run is enough).
    bool settingsWarned_ = false;

    // Controls.
    QLabel* picLogo = nullptr;
    QLabel* Label9 = nullptr;
    QFrame* Toolbar1 = nullptr;
    QTabWidget* MenuTab = nullptr;
    QPushButton* cmdHelp = nullptr;
    QPushButton* cmdPrev = nullptr;
    QPushButton* cmdNext = nullptr;
    QPushButton* cmdFinish = nullptr;
    QPushButton* cmdClose = nullptr;
    QTimer* tmrSample = nullptr;
    // Page 0
    QGroupBox* fraConnectionMethod = nullptr;
    QRadioButton* optConnectMethod[2] = {nullptr, nullptr};
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* lblTCPaddress = nullptr;
    QLineEdit* txtTCPaddress = nullptr;
    QLabel* lblTCPport = nullptr;
    QLineEdit* txtTCPport = nullptr;
    QGroupBox* Frame1 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtSampleRate = nullptr;
    // Page 1
    QLabel* lblSamplingMessage = nullptr;
    FlexGrid* SamplingGrid = nullptr;
    // Page 2
    QLabel* lblSelectTagsMessage = nullptr;
    QLabel* Label5 = nullptr;
    QLineEdit* txtFilter = nullptr;
    FlexGrid* SelectTagsGrid = nullptr;
    // Page 3
    QLabel* lblLayoutMessage = nullptr;
    QLabel* Label6 = nullptr;
    QComboBox* cboMaxLines = nullptr;
    FlexGrid* LayoutGrid = nullptr;
    // Page 4
    QLabel* lblGenerateMessage = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* txtTitle = nullptr;
    QLabel* Label8 = nullptr;
    QLineEdit* txtFilename = nullptr;
    QPushButton* cmdSaveAs = nullptr;
    QPushButton* cmdOpenSV = nullptr;
    QPushButton* cmdOpenSVAdmin = nullptr;
    QPushButton* cmdPreview = nullptr;
};

// Creates the wizard window, runs its start-up and the event loop; returns the exit code.
int RunWizard();
