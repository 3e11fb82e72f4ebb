svc_add_test(test_logic_hub SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_logic_hub.cpp)
