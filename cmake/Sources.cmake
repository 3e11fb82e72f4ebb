# The source lists of the two libraries, relative to src/. The fuzz build compiles the core
# list too, so a file added here is fuzzed with the rest of the core.
#
# Core: pure logic and the closed-component stand-ins, Qt Core and Network only.
set(SVC_CORE_SOURCES
    base/Log.cpp base/Log.h
    base/ReadFile.cpp base/ReadFile.h
    component/Component.h
    component/CreateObject.cpp component/CreateObject.h
    settings/Config.cpp settings/Config.h
    model/Numeric.cpp model/Numeric.h
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

# Gateway: the hub as a library. Its pure logic (the tag file, numbers and text on the wire,
# MQTT payloads, Modbus registers) needs Qt Core only and is fuzzed; the rest talks to brokers,
# devices and clients.
set(SVC_GATEWAY_PURE_SOURCES
    gateway/NumberText.cpp gateway/NumberText.h
    gateway/WireText.cpp gateway/WireText.h
    gateway/TagTable.cpp gateway/TagTable.h
    gateway/LiveValues.cpp gateway/LiveValues.h
    gateway/TagFile.cpp gateway/TagFile.h
    gateway/ModbusPlan.cpp gateway/ModbusPlan.h
    gateway/MqttPayload.cpp gateway/MqttPayload.h)
set(SVC_GATEWAY_SOURCES
    ${SVC_GATEWAY_PURE_SOURCES}
    gateway/LiveSources.cpp gateway/LiveSources.h
    gateway/SourceStatus.cpp gateway/SourceStatus.h
    gateway/MqttSource.cpp gateway/MqttSource.h
    gateway/ModbusSource.cpp gateway/ModbusSource.h
    gateway/TagFileFollower.cpp gateway/TagFileFollower.h
    gateway/Session.cpp gateway/Session.h
    gateway/HubServer.cpp gateway/HubServer.h
    gateway/Hub.cpp gateway/Hub.h)

# GUI: the toolkit adapter and the wizard window, one source file per page.
set(SVC_GUI_SOURCES
    ui/IGrid.h
    ui/Platform.cpp ui/Platform.h
    ui/GridModel.cpp ui/GridModel.h
    ui/GridView.cpp ui/GridView.h
    ui/GridHeader.cpp ui/GridHeader.h
    ui/FlexGrid.cpp ui/FlexGrid.h
    app/WizardState.h
    app/frmSVCorblexAppGen.h
    app/frmSVCorblexAppGen.cpp
    app/frmSVCorblexAppGen_ui.cpp
    app/StandardComponents.cpp
    app/ConnectPage.cpp
    app/SamplingEngine.cpp app/SamplingEngine.h
    app/SamplingPage.cpp
    app/SelectTagsPage.cpp
    app/LayoutPage.cpp
    app/GeneratePage.cpp
    app/WorkstationTools.cpp)
