#pragma once
// Platform services the pages call, behind small interfaces so that tests can answer a
// message box or a dialog without a modal loop and can move the clock.

#include <QDateTime>
#include <QString>
#include <QtGlobal>

class QWidget;

enum class MessageIcon { Stop, Exclamation, Information };

class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    // A modal box with one OK button.
    virtual void Show(MessageIcon icon, const QString& text, const QString& title) = 0;
};

class IBusyPointer {
public:
    virtual ~IBusyPointer() = default;
    // Calls pair up and nest: the pointer stays busy until the outermost busy call has had
    // its matching SetBusy(false), so a build started while the tag list is being fetched
    // does not restore the default pointer under the fetch.
    virtual void SetBusy(bool busy) = 0;
};

class ITickCounter {
public:
    virtual ~ITickCounter() = default;
    // Milliseconds since some start, wrapping at 2^32 like the platform's tick counter.
    virtual quint32 GetTickCount() = 0;
    // The local date and time, as the Layout page's preview rows show it.
    virtual QDateTime Now() { return QDateTime::currentDateTime(); }
};

class IEventPump {
public:
    virtual ~IEventPump() = default;
    // Lets pending user-interface events run.
    virtual void ProcessPendingEvents() = 0;
};

struct SaveDialogRequest {
    QString title;         // "Save File As ..."
    QString initialFolder; // folder the dialog starts in
    QString initialName;   // proposed file name
    QString filterName;    // "Solvane Files (*.SVT)"
    QString filterPattern; // "*.svt"
    QString defaultSuffix; // "svt", added when the user types no extension
    bool confirmOverwrite = true;
};

class ISaveDialog {
public:
    virtual ~ISaveDialog() = default;
    // The chosen full path, or "" when the user cancels.
    virtual QString GetSaveFileName(QWidget* owner, const SaveDialogRequest& request) = 0;
};

class IShell {
public:
    virtual ~IShell() = default;
    // Opens a document or link with the program associated with it; the result is ignored.
    virtual void OpenDocument(const QString& path) = 0;
};

// The set of services one window uses. Members left null are replaced by the real
// implementations (Platform.cpp).
struct PlatformServices {
    IMessageBox* messageBox = nullptr;
    IBusyPointer* busyPointer = nullptr;
    ITickCounter* tickCounter = nullptr;
    IEventPump* eventPump = nullptr;
    ISaveDialog* saveDialog = nullptr;
    IShell* shell = nullptr;
};

// Fills every null member with the real service.
PlatformServices WithRealServices(PlatformServices services);

// The program's executable name without directory and extension; titles message boxes and
// names the settings file and the manual.
QString ProgramName();

// Shows the busy pointer for its lifetime; restores the default pointer however the scope
// is left.
class BusyScope {
public:
    explicit BusyScope(IBusyPointer& pointer) : pointer_(pointer) { pointer_.SetBusy(true); }
    ~BusyScope() { pointer_.SetBusy(false); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    IBusyPointer& pointer_;
};

// Twips to device-independent pixels (15 twips per pixel), rounded to the nearest pixel.
constexpr int Twips(int twips) {
    return (twips + 7) / 15;
}
