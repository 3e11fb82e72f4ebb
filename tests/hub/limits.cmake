# The demo hub under load and attack: real sockets on loopback, bounded in count and time.
svc_add_test(test_hub_limits
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hub_limits.cpp ${CMAKE_CURRENT_LIST_DIR}/hub_process.h)
add_dependencies(test_hub_limits svcorblex-hub)
