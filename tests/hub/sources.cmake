# The hub's live sources: their logic in-process, and the real hub against a real Mosquitto
# broker and a pymodbus device that the tests start themselves.
svc_add_test(test_hub_config SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hub_config.cpp
    LIBS svcorblex_hub_server)
target_compile_definitions(test_hub_config PRIVATE SVC_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

svc_add_test(test_hub_sources
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hub_sources.cpp ${CMAKE_CURRENT_LIST_DIR}/hub_process.h
            ${CMAKE_CURRENT_LIST_DIR}/servers/test_servers.h)
target_compile_definitions(test_hub_sources PRIVATE
    SVC_TEST_SERVERS_DIR="${CMAKE_CURRENT_LIST_DIR}/servers")
add_dependencies(test_hub_sources svcorblex-hub)
