svc_add_test(tst_generate_workstation SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_workstation.cpp)
add_dependencies(tst_generate_workstation sv6 sv6admin svcorblex-hub)
