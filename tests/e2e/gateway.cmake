# The whole road against the hub as a gateway, fed by a real Mosquitto broker and a pymodbus
# device that the test starts; sv6.exe then shows the published values.
svc_add_test(test_e2e_gateway GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e_gateway.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eWizard.h
            ${CMAKE_SOURCE_DIR}/tests/hub/servers/test_servers.h)
target_compile_definitions(test_e2e_gateway PRIVATE
    SVC_TEST_SERVERS_DIR="${CMAKE_SOURCE_DIR}/tests/hub/servers")
add_dependencies(test_e2e_gateway svcorblex-hub sv6)
