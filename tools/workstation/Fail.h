#pragma once
// How both workstation programs give up: the reason on standard error and, when a user
// started the program, in a message box. Returns the exit code 1.

#include <QMessageBox>
#include <QString>
#include <cstdio>

namespace workstation {

inline int Fail(const QString& program, const QString& text, bool interactive) {
    std::fprintf(stderr, "%s.exe: %s\n", qPrintable(program), qPrintable(text));
    if (interactive)
        QMessageBox::critical(nullptr, program, text);
    return 1;
}

} // namespace workstation
