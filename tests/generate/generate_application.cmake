svc_add_test(tst_generate_application SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_application.cpp)
add_executable(save_child ${CMAKE_CURRENT_LIST_DIR}/save_child.cpp)
target_link_libraries(save_child PRIVATE svcore)
add_dependencies(tst_generate_application save_child svc-manual)
target_compile_definitions(tst_generate_application PRIVATE
    SVC_MANUAL_SOURCE="${CMAKE_SOURCE_DIR}/docs/manual.md")
