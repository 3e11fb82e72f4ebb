#pragma once
// Finding the wizard window's controls by their object names, for the tests that drive it.

#include "app/frmSVCorblexAppGen.h"
#include "ui/FlexGrid.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <initializer_list>
#include <memory>

class WindowControls {
public:
    template <class T = QWidget> T* Find(const char* name) const {
        T* w = window->findChild<T*>(QLatin1String(name));
        if (!w)
            qFatal("no control %s", name);
        return w;
    }
    QPushButton* Button(const char* name) const { return Find<QPushButton>(name); }
    QLineEdit* Box(const char* name) const { return Find<QLineEdit>(name); }
    FlexGrid* Grid(const char* name) const { return Find<FlexGrid>(name); }
    QTimer* Timer() const { return Find<QTimer>("tmrSample"); }
    QTabWidget* Tabs() const { return Find<QTabWidget>("MenuTab"); }

    // Those of the named controls that are enabled.
    QStringList Enabled(std::initializer_list<const char*> names) const {
        QStringList enabled;
        for (const char* name : names)
            if (Find(name)->isEnabled())
                enabled << QLatin1String(name);
        return enabled;
    }

    std::unique_ptr<frmSVCorblexAppGen> window;
};
