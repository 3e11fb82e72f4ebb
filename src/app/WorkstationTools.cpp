// Handing the application to the workstation programs: Preview, Open SV Application, Open in
// SV Admin, and Help.

#include "app/frmSVCorblexAppGen.h"

#include "component/CreateObject.h"
#include "generate/IToolObject.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>

namespace {

// The workstation's install folder with exactly one trailing separator.
QString InstallFolder(IToolObject& tool) {
    QString d = tool.SVInstallDir(QStringLiteral("SV6"));
    if (!d.endsWith(QDir::separator()))
        d += QDir::separator();
    return d;
}

// Deletes every file named base + "." + any extension; failures are ignored one by one.
void DeleteTemporaryFiles(const QString& base) {
    const QFileInfo info(base);
    QDir folder = info.absoluteDir();
    const QStringList names =
        folder.entryList({info.fileName() + QStringLiteral(".*")}, QDir::Files | QDir::Hidden);
    for (const QString& name : names)
        folder.remove(name);
}

} // namespace

void frmSVCorblexAppGen::cmdPreview_Click() {
    cmdPreview->setEnabled(false);
    QString base;
    QString failure;
    try {
        std::unique_ptr<IToolObject> tool =
            CreateObject<IToolObject>(QLatin1String(ToolObjectClassName));
        const QString d = InstallFolder(*tool);
        base = tool->GetUniqueFilename(QStringLiteral("SV"));
        BuildApplication(base + QStringLiteral(".SVT"));
        hide();
        tool->ShellAndWait(d + QStringLiteral("sv6.exe ") + base + QStringLiteral(".SVT"));
    } catch (const std::exception& e) {
        failure = QString::fromStdString(e.what());
    }
    // From here on nothing may stop the window from coming back.
    if (!base.isEmpty()) {
        try {
            DeleteTemporaryFiles(base);
        } catch (...) {
        }
    }
    show();
    if (!failure.isEmpty())
        Message(MessageIcon::Stop, failure);
    cmdPreview->setEnabled(true);
}

void frmSVCorblexAppGen::RunWorkstationProgram(QPushButton* button, const QString& program,
                                               const QString& argumentPrefix) {
    button->setEnabled(false);
    QString failure;
    try {
        std::unique_ptr<IToolObject> tool =
            CreateObject<IToolObject>(QLatin1String(ToolObjectClassName));
        const QString d = InstallFolder(*tool);
        hide();
        tool->ShellAndWait(d + program + QLatin1Char(' ') + argumentPrefix + state_.appFileName);
    } catch (const std::exception& e) {
        failure = QString::fromStdString(e.what());
    }
    show();
    if (!failure.isEmpty())
        Message(MessageIcon::Stop, failure);
    button->setEnabled(true);
}

void frmSVCorblexAppGen::cmdOpenSV_Click() {
    RunWorkstationProgram(cmdOpenSV, QStringLiteral("sv6.exe"), QString());
}

void frmSVCorblexAppGen::cmdOpenSVAdmin_Click() {
    RunWorkstationProgram(cmdOpenSVAdmin, QStringLiteral("sv6admin.exe"), QStringLiteral("@"));
}

void frmSVCorblexAppGen::cmdHelp_Click() {
    const QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    ExecuteLink(folder + QDir::separator() + ProgramName() + QStringLiteral(".pdf"));
}
