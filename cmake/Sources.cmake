# The source lists of the two libraries, relative to src/. The fuzz build compiles the core
# list too, so a file added here is fuzzed with the rest of the core.
#
# Core: pure logic and the closed-component stand-ins, Qt Core and Network only.
set(SVC_CORE_SOURCES
    component/Component.h
    component/CreateObject.cpp component/CreateObject.h
    settings/Config.cpp settings/Config.h
    model/Numeric.cpp model/Numeric.h
    model/VariantNumber.cpp model/VariantNumber.h
    model/TagItem.cpp model/TagItem.h
    model/TagItems.cpp model/TagItems.h
    hub/IHubReader.h
    hub/HubRequest.h
    hub/Framing.cpp hub/Framing.h
    hub/Answers.cpp hub/Answers.h
    hub/Inference.cpp hub/Inference.h
    hub/LocalEndpoint.cpp hub/LocalEndpoint.h
    hub/HubReader.cpp hub/HubReader.h
    layout/modSVCorblexAppGen.cpp layout/modSVCorblexAppGen.h
    generate/IApplication.h
    generate/IToolObject.h
    generate/SaveFile.cpp generate/SaveFile.h
    generate/Application.cpp generate/Application.h
    generate/ApplicationBuilder.cpp generate/ApplicationBuilder.h
    generate/SvtFormat.cpp generate/SvtFormat.h
    generate/ToolObject.cpp generate/ToolObject.h)

# GUI: the toolkit adapter and the wizard window, one source file per page.
set(SVC_GUI_SOURCES
    ui/IGrid.h
    ui/Platform.cpp ui/Platform.h
    ui/GridModel.cpp ui/GridModel.h
    ui/GridView.cpp ui/GridView.h
    ui/GridHeader.cpp ui/GridHeader.h
    ui/FlexGrid.cpp ui/FlexGrid.h
    app/frmSVCorblexAppGen.h
    app/frmSVCorblexAppGen.cpp
    app/frmSVCorblexAppGen_ui.cpp
    app/StandardComponents.cpp
    app/ConnectPage.cpp
    app/SamplingPage.cpp
    app/SelectTagsPage.cpp
    app/LayoutPage.cpp
    app/GeneratePage.cpp
    app/WorkstationTools.cpp)
