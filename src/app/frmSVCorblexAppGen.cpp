#include "app/frmSVCorblexAppGen.h"

#include <QApplication>

int RunWizard() {
    QWidget w;
    w.show();
    return QApplication::exec();
}
