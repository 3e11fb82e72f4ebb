#pragma once
// Test doubles for the window's platform services and components, and a fixture that makes
// a window with them: message boxes are recorded instead of shown, the clock is set by the
// test, the hub answers from a script, and the settings live in a temporary folder.

#include "component/CreateObject.h"
#include "hub/IHubReader.h"
#include "support/TestOutput.h"
#include "support/WindowControls.h"
#include "ui/Platform.h"

#include <QComboBox>
#include <QDir>
#include <QRadioButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

struct ShownMessage {
    MessageIcon icon;
    QString text;
    QString title;
};

struct RecordingMessageBox : IMessageBox {
    void Show(MessageIcon icon, const QString& text, const QString& title) override {
        shown.push_back({icon, text, title});
        if (onShow)
            onShow(shown.back());
    }
    QStringList Texts() const {
        QStringList t;
        for (const auto& m : shown)
            t << m.text;
        return t;
    }
    // Whether exactly one message was shown, with this icon and a text holding `part`.
    bool OnlyOne(MessageIcon icon, const QString& part) const {
        return shown.size() == 1 && shown.front().icon == icon && shown.front().text.contains(part);
    }
    std::vector<ShownMessage> shown;
    std::function<void(const ShownMessage&)> onShow;
};

struct RecordingBusyPointer : IBusyPointer {
    void SetBusy(bool b) override {
        busy = b;
        if (b)
            ++timesBusy;
    }
    bool busy = false;
    int timesBusy = 0;
};

struct FakeClock : ITickCounter {
    quint32 GetTickCount() override { return now; }
    QDateTime Now() override { return dateTime; }
    quint32 now = 1000;
    QDateTime dateTime{QDate(2026, 3, 4), QTime(5, 6, 7)};
};

struct ScriptedPump : IEventPump {
    void ProcessPendingEvents() override {
        if (onPump)
            onPump();
    }
    std::function<void()> onPump;
};

struct FakeSaveDialog : ISaveDialog {
    QString GetSaveFileName(QWidget*, const SaveDialogRequest& request) override {
        requests.push_back(request);
        return answer;
    }
    QString answer;
    std::vector<SaveDialogRequest> requests;
};

struct RecordingShell : IShell {
    void OpenDocument(const QString& path) override { opened << path; }
    QStringList opened;
};

// What the hub answers, set by the test, and every request it was sent.
struct HubScript {
    bool silent = false;
    QString tags;
    QString values;
    QStringList requests;
    std::function<QString(const QString&)> answerFor;
};

// A hub reader answering from a script; the window owns the reader, the fixture the script.
class ScriptedHubReader : public IHubReader {
public:
    explicit ScriptedHubReader(HubScript* script) : script_(script) {}
    void SetSilent(bool s) override { script_->silent = s; }
    bool Silent() const override { return script_->silent; }
    QString ReadInputFile(const QString& request) override {
        script_->requests << request;
        if (script_->answerFor)
            return script_->answerFor(request);
        return request.endsWith(QLatin1String("GETTAGS")) ? script_->tags : script_->values;
    }

private:
    HubScript* script_;
};

// Isolated settings for one test case: the user-scope INI files go to a temporary folder.
struct TemporarySettings {
    TemporarySettings() {
        QStandardPaths::setTestModeEnabled(true);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }
    QString FilePath() const {
        return dir.path() + QStringLiteral("/SVCorblex/") + ProgramName() + QStringLiteral(".ini");
    }
    QSettings Store() const {
        return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("SVCorblex"),
                         ProgramName());
    }
    void Write(const QString& key, const QString& value) {
        QSettings s = Store();
        s.setValue(QStringLiteral("Settings/") + key, value);
        s.sync();
    }
    QVariant Read(const QString& key) const {
        return Store().value(QStringLiteral("Settings/") + key);
    }
    bool Exists() const { return QFile::exists(FilePath()); }
    QTemporaryDir dir;
};

// A window wired to the doubles above. The hub reader the window creates answers from `hub`.
class WizardFixture : public WindowControls {
public:
    WizardFixture()
        : hubRegistration(QLatin1String(HubReaderClassName),
                          [this] { return std::make_unique<ScriptedHubReader>(&hub); }) {
        PlatformServices services;
        services.messageBox = &messages;
        services.busyPointer = &busy;
        services.tickCounter = &clock;
        services.eventPump = &pump;
        services.saveDialog = &saveDialog;
        services.shell = &shell;
        window = std::make_unique<frmSVCorblexAppGen>(services);
    }
    ~WizardFixture() { window.reset(); } // before the services and settings it uses

    bool Start() {
        const bool ok = window->Form_Load();
        if (ok)
            window->show();
        return ok;
    }

    void Click(const char* name, int times = 1) {
        for (int i = 0; i < times; ++i)
            Button(name)->click();
    }

    // A file of the given name in the test's temporary folder, as the save dialog names it.
    QString TempPath(const QString& name) const {
        return QDir::toNativeSeparators(settings.dir.filePath(name));
    }

    // Clicks Save As and answers the dialog with `path`; an empty path cancels it.
    void SaveAs(const QString& path) {
        saveDialog.answer = path;
        Click("cmdSaveAs");
    }

    // Connects directly to the scripted hub and lands on the Sampling page.
    void ConnectDirect(const QString& tags, const QString& values, const QString& rate = "1000") {
        hub.tags = tags;
        hub.values = values;
        Find<QRadioButton>("optConnectMethod(0)")->setChecked(true);
        Box("txtSampleRate")->setText(rate);
        Click("cmdNext");
    }

    // Starts the window, connects directly to the scripted hub and clicks Next until `page`
    // is on show; false when the window stops short of it.
    bool StartOnPage(int page, const QString& tags, const QString& values,
                     const QString& rate = "1000") {
        if (!Start())
            return false;
        ConnectDirect(tags, values, rate);
        Click("cmdNext", page - 1);
        return window->CurrentPage() == page;
    }

    TemporarySettings settings;
    RecordingMessageBox messages;
    RecordingBusyPointer busy;
    FakeClock clock;
    ScriptedPump pump;
    FakeSaveDialog saveDialog;
    RecordingShell shell;
    HubScript hub;

private:
    ScopedComponent hubRegistration;
};

// The texts of one row of a grid, from column `first` on.
inline QStringList RowTexts(const FlexGrid* grid, int row, int first = 0) {
    QStringList texts;
    for (int c = first; c < grid->Cols(); ++c)
        texts << grid->TextMatrix(row, c);
    return texts;
}
