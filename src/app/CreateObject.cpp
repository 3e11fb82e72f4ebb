#include "app/CreateObject.h"

#include "app/settings/Config.h"
#include "hub/IHubReader.h"

#include <QHash>

namespace {

// Stand-in until the network reader is registered: answers "" to every request.
class NullHubReader : public IHubReader {
public:
    void SetSilent(bool silent) override { silent_ = silent; }
    bool Silent() const override { return silent_; }
    QString ReadInputFile(const QString&) override { return {}; }

private:
    bool silent_ = false;
};

QHash<QString, ComponentFactory>& Registry() {
    static QHash<QString, ComponentFactory> registry = [] {
        QHash<QString, ComponentFactory> r;
        r.insert(QLatin1String(ConfigClassName), [] { return std::make_unique<Config>(); });
        r.insert(QLatin1String(HubReaderClassName),
                 [] { return std::make_unique<NullHubReader>(); });
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
