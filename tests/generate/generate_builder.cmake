svc_add_test(tst_generate_builder SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_builder.cpp)
