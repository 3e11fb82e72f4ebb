// The components the wizard creates by class name: the settings library, the hub reader,
// the application model and the tool object.

#include "app/frmSVCorblexAppGen.h"

#include "component/CreateObject.h"
#include "generate/Application.h"
#include "generate/ToolObject.h"
#include "hub/HubReader.h"
#include "settings/Config.h"

void RegisterStandardComponents() {
    RegisterComponentClass(QLatin1String(ConfigClassName),
                           [] { return std::make_unique<Config>(); });
    RegisterComponentClass(QLatin1String(HubReaderClassName),
                           [] { return std::make_unique<SVComSrvClass>(); });
    RegisterComponentClass(QLatin1String(ApplicationClassName),
                           [] { return std::make_unique<Application>(); });
    RegisterComponentClass(QLatin1String(ToolObjectClassName),
                           [] { return std::make_unique<ToolObject>(); });
}
