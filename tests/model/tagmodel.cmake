svc_add_test(test_tagmodel SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tagmodel.cpp)
