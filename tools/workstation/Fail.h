#pragma once
// How both workstation programs give up: the reason on standard error and, when a user
// started the program, in a message box. Returns the exit code 1.

#include "base/Log.h"

#include <QMessageBox>
#include <QString>

namespace workstation {

inline int Fail(const QString& program, const QString& text, bool interactive) {
    logging::Error(text);
    if (interactive)
        QMessageBox::critical(nullptr, program, text);
    return 1;
}

} // namespace workstation
