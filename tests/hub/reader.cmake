# Wire framing, the hub reader and the demo hub. The reader and demo-hub tests start the real
# svcorblex-hub executable from the same bin folder.
svc_add_test(test_framing SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_framing.cpp)

svc_add_test(test_hub_reader
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_hub_reader.cpp ${CMAKE_CURRENT_LIST_DIR}/hub_process.h)
add_dependencies(test_hub_reader svcorblex-hub svcorblex-request)

svc_add_test(test_demo_hub
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_demo_hub.cpp ${CMAKE_CURRENT_LIST_DIR}/hub_process.h
    LIBS svcorblex_hub_server)
add_dependencies(test_demo_hub svcorblex-hub)
