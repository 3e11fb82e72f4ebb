#pragma once
// The tool object of the workstation installation: the workstation programs live beside the
// running program; unique names are made in the temporary folder; programs are started
// directly (never through a shell) and awaited.

#include "generate/IToolObject.h"

#include <QString>
#include <QStringList>
#include <optional>

class ToolObject : public IToolObject {
public:
    // The running program's own folder, with native separators, without a trailing separator.
    QString SVInstallDir(const QString& productCode) override;
    // "<temp folder>/<prefix><16 hex digits>" with native separators, such that no entry of
    // the temporary folder is named that or starts with that followed by ".".
    QString GetUniqueFilename(const QString& prefix) override;
    // Splits the command line (see SplitCommandLine), starts the program with QProcess and
    // blocks until it ends. Its exit code is not looked at.
    void ShellAndWait(const QString& commandLine) override;

    struct CommandLine {
        QString program;                 // as written on the line, up to and including ".exe"
        std::optional<QString> argument; // everything after the one blank that follows it
    };
    // The program is the text up to and including the first ".exe" (any letter case) that
    // ends the line or is followed by a blank; the argument is all the rest of the line after
    // that one blank, blanks and quotes included, unchanged. Throws ComponentError when the
    // line names no such program.
    static CommandLine SplitCommandLine(const QString& commandLine);
};
