#include "component/CreateObject.h"

#include "settings/Config.h"
#include "generate/Application.h"
#include "generate/ToolObject.h"
#include "hub/HubReader.h"

#include <QHash>

namespace {

QHash<QString, ComponentFactory>& Registry() {
    static QHash<QString, ComponentFactory> registry = [] {
        QHash<QString, ComponentFactory> r;
        r.insert(QLatin1String(ConfigClassName), [] { return std::make_unique<Config>(); });
        r.insert(QLatin1String(HubReaderClassName),
                 [] { return std::make_unique<SVComSrvClass>(); });
        r.insert(QLatin1String(ApplicationClassName),
                 [] { return std::make_unique<Application>(); });
        r.insert(QLatin1String(ToolObjectClassName),
                 [] { return std::make_unique<ToolObject>(); });
        return r;
    }();
    return registry;
}

} // namespace

std::unique_ptr<ComponentBase> CreateObjectByName(const QString& className) {
    auto& registry = Registry();
    auto it = registry.constFind(className);
    if (it == registry.constEnd() || !*it)
        throw ComponentError(QStringLiteral("Cannot create object '%1'.").arg(className));
    std::unique_ptr<ComponentBase> object = (*it)();
    if (!object)
        throw ComponentError(QStringLiteral("Cannot create object '%1'.").arg(className));
    return object;
}

ScopedComponent::ScopedComponent(const QString& className, ComponentFactory factory)
    : className_(className) {
    auto& registry = Registry();
    hadPrevious_ = registry.contains(className);
    if (hadPrevious_)
        previous_ = registry.value(className);
    registry.insert(className, std::move(factory));
}

ScopedComponent::~ScopedComponent() {
    auto& registry = Registry();
    if (hadPrevious_)
        registry.insert(className_, previous_);
    else
        registry.remove(className_);
}
