svc_add_test(test_formatter SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_formatter.cpp)
