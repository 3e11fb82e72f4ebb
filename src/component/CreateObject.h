#pragma once
// Creates the closed components by class name. The program registers its standard classes
// at start-up with RegisterComponentClass; tests put a replacement in place of a class, or
// make its creation fail, with ScopedComponent, which takes precedence while it lives.

#include "component/Component.h"

#include <QString>
#include <functional>
#include <memory>

using ComponentFactory = std::function<std::unique_ptr<ComponentBase>()>;

// Registers the standard factory of className; a class that already has one keeps it.
void RegisterComponentClass(const QString& className, ComponentFactory factory);

// Creates an instance of the class registered under className. Throws ComponentError when no
// class of that name is registered, when its factory fails, or when the object is not of the
// requested interface.
std::unique_ptr<ComponentBase> CreateObjectByName(const QString& className);

template <class T> std::unique_ptr<T> CreateObject(const QString& className) {
    std::unique_ptr<ComponentBase> object = CreateObjectByName(className);
    if (auto* typed = dynamic_cast<T*>(object.get())) {
        object.release();
        return std::unique_ptr<T>(typed);
    }
    throw ComponentError(
        QStringLiteral("Object '%1' does not offer the expected interface.").arg(className));
}

// Puts factory in place of className's standard class (a null factory makes creation fail)
// and restores the previous replacement, or none, when it goes out of scope.
class ScopedComponent {
public:
    ScopedComponent(const QString& className, ComponentFactory factory);
    ~ScopedComponent();
    ScopedComponent(const ScopedComponent&) = delete;
    ScopedComponent& operator=(const ScopedComponent&) = delete;

private:
    QString className_;
    ComponentFactory previous_;
    bool hadPrevious_;
};
