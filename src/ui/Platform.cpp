#include "ui/Platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

QString ProgramName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

namespace {

class QtMessageBox : public IMessageBox {
public:
    void Show(MessageIcon icon, const QString& text, const QString& title) override {
        QMessageBox box(icon == MessageIcon::Stop          ? QMessageBox::Critical
                        : icon == MessageIcon::Exclamation ? QMessageBox::Warning
                                                           : QMessageBox::Information,
                        title, text, QMessageBox::Ok, QApplication::activeWindow());
        box.exec();
    }
};

class QtBusyPointer : public IBusyPointer {
public:
    void SetBusy(bool busy) override {
        if (busy) {
            if (depth_++ == 0)
                QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        } else if (depth_ > 0 && --depth_ == 0) {
            QGuiApplication::restoreOverrideCursor();
        }
    }

private:
    int depth_ = 0;
};

class QtTickCounter : public ITickCounter {
public:
    QtTickCounter() { clock_.start(); }
    quint32 GetTickCount() override { return static_cast<quint32>(clock_.elapsed()); }

private:
    QElapsedTimer clock_;
};

class QtEventPump : public IEventPump {
public:
    void ProcessPendingEvents() override { QCoreApplication::processEvents(); }
};

class QtSaveDialog : public ISaveDialog {
public:
    QString GetSaveFileName(QWidget* owner, const SaveDialogRequest& request) override {
        QFileDialog dialog(owner, request.title, request.initialFolder);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        // Qt's own dialog matches the filter without regard to case, so the entry also
        // lists files ending in the lower-case extension.
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
        dialog.setNameFilter(request.filterName);
        dialog.setDefaultSuffix(request.defaultSuffix);
        if (!request.initialName.isEmpty())
            dialog.selectFile(request.initialName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return {};
        return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
    }
};

class QtShell : public IShell {
public:
    void OpenDocument(const QString& path) override {
        const QUrl url = QUrl::fromUserInput(path, QString(), QUrl::AssumeLocalFile);
        QDesktopServices::openUrl(url);
    }
};

} // namespace

PlatformServices WithRealServices(PlatformServices services) {
    static QtMessageBox messageBox;
    static QtBusyPointer busyPointer;
    static QtTickCounter tickCounter;
    static QtEventPump eventPump;
    static QtSaveDialog saveDialog;
    static QtShell shell;
    if (!services.messageBox)
        services.messageBox = &messageBox;
    if (!services.busyPointer)
        services.busyPointer = &busyPointer;
    if (!services.tickCounter)
        services.tickCounter = &tickCounter;
    if (!services.eventPump)
        services.eventPump = &eventPump;
    if (!services.saveDialog)
        services.saveDialog = &saveDialog;
    if (!services.shell)
        services.shell = &shell;
    return services;
}
