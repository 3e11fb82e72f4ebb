#pragma once
// The tool object of the workstation installation: finds the workstation programs, makes
// unique temporary names and starts a program and waits for it.

#include "component/Component.h"

#include <QString>

inline constexpr auto ToolObjectClassName = "SVTool60.Misc";

class IToolObject : public ComponentBase {
public:
    // The folder that holds sv6.exe and sv6admin.exe, with or without a trailing separator.
    virtual QString SVInstallDir(const QString& productCode) = 0;
    // A path without extension, in the temporary folder, that no existing file uses.
    virtual QString GetUniqueFilename(const QString& prefix) = 0;
    // Runs the program named up to and including ".exe" with the rest of the line (after the
    // one blank that follows the program name) as a single argument, and waits for its end.
    // Throws ComponentError when the program cannot be started.
    virtual void ShellAndWait(const QString& commandLine) = 0;
};
