#pragma once
// The application model component: holds one Solvane application in memory and saves it
// as a .SVT file.

#include "component/Component.h"

#include <QString>

inline constexpr auto ApplicationClassName = "SVApp60.Application";

class IVariable {
public:
    virtual ~IVariable() = default;
    virtual void SetLink(const QString& link) = 0;
    virtual void SetCode(const QString& code) = 0;
};

class IVariables {
public:
    virtual ~IVariables() = default;
    // Appends a variable and returns it; the reference stays valid while the application
    // lives and no other variable is added.
    virtual IVariable& AddVariable(const QString& name, const QString& fieldType, qint16 length,
                                   qint16 decimals) = 0;
};

class IApplication : public ComponentBase {
public:
    virtual void SetUp(int value) = 0;
    virtual void SetTitle(const QString& title) = 0;
    virtual IVariables& GetVariables() = 0;
    // Writes the whole application to fileName. When it returns the file is complete; when
    // it throws ComponentError (naming the file and the reason) any earlier file is untouched.
    virtual void SaveToFile(const QString& fileName) = 0;
    virtual void CloseApplication() = 0;
};
