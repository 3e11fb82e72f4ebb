#include "component/CreateObject.h"

#include <QHash>

namespace {

// The standard classes, registered once by the program.
QHash<QString, ComponentFactory>& StandardClasses() {
    static QHash<QString, ComponentFactory> classes;
    return classes;
}

// Replacements put in place by ScopedComponent; they hide the standard class of their name.
QHash<QString, ComponentFactory>& Replacements() {
    static QHash<QString, ComponentFactory> replacements;
    return replacements;
}

} // namespace

void RegisterComponentClass(const QString& className, ComponentFactory factory) {
    if (!StandardClasses().contains(className))
        StandardClasses().insert(className, std::move(factory));
}

std::unique_ptr<ComponentBase> CreateObjectByName(const QString& className) {
    const auto& replacements = Replacements();
    auto it = replacements.constFind(className);
    if (it == replacements.constEnd()) {
        it = StandardClasses().constFind(className);
        if (it == StandardClasses().constEnd())
            throw ComponentError(QStringLiteral("Cannot create object '%1'.").arg(className));
    }
    std::unique_ptr<ComponentBase> object = *it ? (*it)() : nullptr;
    if (!object)
        throw ComponentError(QStringLiteral("Cannot create object '%1'.").arg(className));
    return object;
}

ScopedComponent::ScopedComponent(const QString& className, ComponentFactory factory)
    : className_(className) {
    auto& replacements = Replacements();
    hadPrevious_ = replacements.contains(className);
    if (hadPrevious_)
        previous_ = replacements.value(className);
    replacements.insert(className, std::move(factory));
}

ScopedComponent::~ScopedComponent() {
    auto& replacements = Replacements();
    if (hadPrevious_)
        replacements.insert(className_, previous_);
    else
        replacements.remove(className_);
}
