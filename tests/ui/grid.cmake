svc_add_test(test_grid SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_grid.cpp GUI)
