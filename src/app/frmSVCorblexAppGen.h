#pragma once
// The wizard's one window. It owns every piece of state of a run (page index, hub reader,
// request prefix, tags, sampling counters, file name, settings object) and hosts the five
// pages on one tab control. Its procedures live in one source file per page:
//   frmSVCorblexAppGen.cpp   start-up, navigation, shut-down, Connect settings
//   frmSVCorblexAppGen_ui.cpp  the controls and their fixed positions
//   ConnectPage.cpp, SamplingPage.cpp, SelectTagsPage.cpp, LayoutPage.cpp,
//   GeneratePage.cpp, WorkstationTools.cpp   one page each

#include "generate/IApplication.h"
#include "hub/Answers.h"
#include "hub/IHubReader.h"
#include "model/TagItems.h"
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
    ::Config& Config();
    QVariant ConfigReadValue(const QString& section, const QString& key,
                             const QVariant& defaultValue);
    void ConfigWriteValue(const QString& section, const QString& key, const QString& Value);

    // Opens a document or link with its associated program.
    void ExecuteLink(const QString& URL);
    // The folder part of a path including its trailing separator, or the root folder.
    static QString GetPath(const QString& Filename);

    // Navigation, as the buttons run it.
    void ShowPage(int page);
    void cmdNext_Click();
    void cmdPrev_Click();
    void cmdClose_Click();

    // Page procedures.
    void LoadConnectSettings();
    void LeaveConnectPage(bool& ok);
    void EnterSamplingPage();
    void SampleValues();
    void LeaveSamplingPage(bool& ok);
    // Widens tag index's properties by one sampled value; true when they changed.
    bool InferTagProperties(qint32 index, QStringView value);
    void EnterSelectTagsPage();
    void LeaveSelectTagsPage(bool& ok);
    void FillMaxLinesList();
    void EnterLayoutPage();
    void LeaveLayoutPage(bool& ok);
    void FillLayoutGrid();
    void FormatLayout();
    qint32 MaxHeadingBreaks() const;
    void EnterGeneratePage();
    void BuildApplication(const QString& fileName);

    // State, read by tests and by the pages.
    int CurrentPage() const { return CurrentPage_; }
    const QString& HubPrefix() const { return HubPrefix_; }
    const TagItems& Tags() const { return *Tags_; }
    qint32 SampleCount() const { return SampleCount_; }
    qint32 SampleRateMs() const { return SampleRateMs_; }
    const QString& TcpAddress() const { return TcpAddress_; }
    qint32 TcpPort() const { return TcpPort_; }
    const QString& AppFileName() const { return AppFileName_; }
    bool StopSampling() const { return StopSampling_; }
    bool SamplingInProgress() const { return samplingDepth_ > 0; }
    // How much work a sample does between two yields to pending events; 0 yields after
    // every row.
    void SetSampleYieldBudget(int ms) { yieldBudgetMs_ = ms; }

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
    void FocusPage(int page);
    void Form_QueryUnload();
    void optConnectMethod_Click();
    bool ApplyTagProperties(qint32 index, const QString& fieldType, qint32 length, qint32 decimals,
                            qint32 integers);
    void txtFilter_Change();
    void OnSelectTagsCellChanged(int row, int col);
    void cboMaxLines_Click();
    void OnLayoutColumnMove(int col, int& position);
    void cmdSaveAs_Click();
    void cmdFinish_Click();
    QString AskSaveFileName();
    void cmdPreview_Click();
    void cmdOpenSV_Click();
    void cmdOpenSVAdmin_Click();
    void cmdHelp_Click();
    void RunWorkstationProgram(QPushButton* button, const QString& program,
                               const QString& argumentPrefix);
    void SetSamplingTimer(int intervalMs, bool enabled);
    // Asks the hub HubPrefix + command. Events keep running while it waits, so the caller
    // checks afterwards whether the window was closed or the page left meanwhile.
    QString AskHub(const char* command);

    // Runs a user action; an error that escapes it is shown in a stop message box and the
    // busy pointer is restored, so no failure of a component ends the program.
    void Guarded(const std::function<void()>& action);
    void Message(MessageIcon icon, const QString& text);

    PlatformServices services_;

    // Form-level state.
    int CurrentPage_ = 0;
    QString HubPrefix_;
    QString TcpAddress_;
    qint32 TcpPort_ = 0;
    QString AppFileName_;
    qint32 SampleCount_ = 0;
    qint32 SampleRateMs_ = 0;
    quint32 LastChangeTick_ = 0;
    bool SuppressMaxLinesClick_ = false;
    std::unique_ptr<IHubReader> HubReader_;
    std::shared_ptr<TagItems> Tags_;
    bool StopSampling_ = false;
    std::unique_ptr<::Config> ConfigObject_;

    // Guards of the sampling loop: how many samples are on the stack (at most one runs; a
    // tick during a yield is skipped), and a generation count that changes whenever Tags
    // is replaced, so that a sample left running on an old collection ends at its next row.
    int samplingDepth_ = 0;
    quint64 tagsGeneration_ = 0;
    // The generation of Tags the Layout grid's columns were laid out for.
    quint64 layoutGeneration_ = 0;
    // Counts the runs of FormatLayout, so that entering the Layout page formats once.
    quint64 layoutFormats_ = 0;
    quint64 sampleSerial_ = 0;
    int yieldBudgetMs_ = 10;
    // Storage for the entries of a values answer, kept between samples.
    std::vector<answers::ValueEntry> entriesStore_;
    // Upper-case tag names for the filter, built on entering the Select Tags page.
    QStringList upperNames_;
    quint64 upperNamesGeneration_ = 0;
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
