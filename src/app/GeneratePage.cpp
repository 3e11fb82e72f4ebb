// The Generate page: the application's title and file, Save As, Finish and the build of the
// application file from the Layout page's columns.

#include "app/frmSVCorblexAppGen.h"

#include "component/CreateObject.h"
#include "generate/ApplicationBuilder.h"
#include "ui/FlexGrid.h"

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
    if (!txtFilename->text().isEmpty())
        cmdFinish->setEnabled(true);
}

void frmSVCorblexAppGen::cmdSaveAs_Click() {
    const QString f = AskSaveFileName();
    if (!f.isEmpty())
        txtFilename->setText(f);
    cmdFinish->setEnabled(!txtFilename->text().isEmpty());
}

QString frmSVCorblexAppGen::AskSaveFileName() {
    SaveDialogRequest request;
    request.initialFolder = txtFilename->text().isEmpty()
                                ? QDir::toNativeSeparators(QDir::currentPath())
                                : GetPath(txtFilename->text());
    request.initialName =
        txtTitle->text().isEmpty() ? QString() : txtTitle->text() + QStringLiteral(".svt");
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
    const QString name = txtFilename->text();
    if (name.right(4).toUpper() != QLatin1String(".SVT")) {
        Message(MessageIcon::Exclamation, QStringLiteral("Invalid Solvane file specified."));
        return;
    }
    // A failed build leaves everything as it was, the file name the Open buttons use included.
    const QString previous = AppFileName_;
    AppFileName_ = name;
    try {
        BuildApplication(AppFileName_);
    } catch (...) {
        AppFileName_ = previous;
        throw;
    }
    Message(MessageIcon::Information, QStringLiteral("SV Application '") + AppFileName_ +
                                          QStringLiteral("' has been created."));
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("Title"), txtTitle->text());
    ConfigWriteValue(QStringLiteral("Settings"), QStringLiteral("FileName"), txtFilename->text());
    cmdOpenSV->setEnabled(true);
    cmdOpenSVAdmin->setEnabled(true);
}

void frmSVCorblexAppGen::BuildApplication(const QString& fileName) {
    std::unique_ptr<IApplication> app =
        CreateObject<IApplication>(QLatin1String(ApplicationClassName));
    BusyScope busy(*services_.busyPointer);
    ApplicationLayout layout;
    layout.title = txtTitle->text();
    layout.hubPrefix = HubPrefix_;
    layout.tags = Tags_.get();
    const int n = LayoutGrid->Cols();
    for (int c = 2; c <= n - 1; ++c)
        layout.order.push_back(LayoutGrid->ColData(c));
    layout.current = layoutGeneration_ == tagsGeneration_;
    BuildApplicationFile(*app, layout, fileName);
}
