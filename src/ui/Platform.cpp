#include "ui/Platform.h"

#include <QCoreApplication>
#include <QFileInfo>

QString ProgramName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}
