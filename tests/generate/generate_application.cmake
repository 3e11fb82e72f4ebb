svc_add_test(tst_generate_application SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_application.cpp)
