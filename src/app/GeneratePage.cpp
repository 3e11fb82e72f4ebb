// The Generate page: the application's title and file, Save As, Finish and the build of the
// application file. The build reads only the window's state: the title and file name as
// typed, the prefix, the tags and the Layout page's column order.

#include "app/frmSVCorblexAppGen.h"

#include "component/CreateObject.h"
#include "generate/ApplicationBuilder.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>

void frmSVCorblexAppGen::EnterGeneratePage() {
    txtTitle->setText(ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("Title"),
                                      QStringLiteral("SVCorblex Generated Application"))
                          .toString());
    txtFilename->setText(
        ConfigReadValue(QStringLiteral("Settings"), QStringLiteral("FileName"), QString())
            .toString());
    if (!state_.fileName.isEmpty())
        cmdFinish->setEnabled(true);
}

void frmSVCorblexAppGen::cmdSaveAs_Click() {
    const QString f = AskSaveFileName();
    if (!f.isEmpty())
        txtFilename->setText(f);
    cmdFinish->setEnabled(!state_.fileName.isEmpty());
}

QString frmSVCorblexAppGen::AskSaveFileName() {
    SaveDialogRequest request;
    request.initialFolder = state_.fileName.isEmpty()
                                ? QDir::toNativeSeparators(QDir::currentPath())
                                : GetPath(state_.fileName);
    request.initialName =
        state_.title.isEmpty() ? QString() : state_.title + QStringLiteral(".svt");
    request.filterName = QStringLiteral("Solvane Files (*.SVT)");
    request.filterPattern = QStringLiteral("*.svt");
    request.defaultSuffix = QStringLiteral("svt");
    request.title = QStringLiteral("Save File As ...");
    request.confirmOverwrite = true;
    const QString chosen = services_.saveDialog->GetSaveFileName(this, request);
    services_.eventPump->ProcessPendingEvents();
    return chosen;
}

void frmSVCorblexAppGen::cmdFinish_Click() {
    const QString name = state_.fileName;
    if (name.right(4).toUpper() != QLatin1String(".SVT")) {
        Message(MessageIcon::Exclamation, QStringLiteral("Invalid Solvane file specified."));
        return;
    }
    // A failed build leaves everything as it was, the file name the Open buttons use included.
    BuildApplication(name);
    state_.appFileName = name;
    Message(MessageIcon::Information, QStringLiteral("SV Application '") + state_.appFileName +
                                          QStringLiteral("' has been created."));
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("Title"), state_.title);
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("FileName"), state_.fileName);
    cmdOpenSV->setEnabled(true);
    cmdOpenSVAdmin->setEnabled(true);
}

void frmSVCorblexAppGen::BuildApplication(const QString& fileName) {
    std::unique_ptr<IApplication> app =
        CreateObject<IApplication>(QLatin1String(ApplicationClassName));
    BusyScope busy(*services_.busyPointer);
    ApplicationLayout layout;
    layout.title = state_.title;
    layout.hubPrefix = state_.hubPrefix;
    layout.tags = state_.tags.get();
    // Without a layout for these tags nothing can be built: the builder says so.
    layout.current = state_.layoutOrder.has_value();
    if (state_.layoutOrder)
        layout.order = *state_.layoutOrder;
    BuildApplicationFile(*app, layout, fileName);
}
