# argecho.exe: a program for the tool object to start; it reports the arguments it received.
add_executable(argecho ${CMAKE_CURRENT_LIST_DIR}/argecho.cpp)
target_link_libraries(argecho PRIVATE svc_options)
set_target_properties(argecho PROPERTIES OUTPUT_NAME argecho SUFFIX ".exe")

svc_add_test(tst_generate_toolobject SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_toolobject.cpp)
add_dependencies(tst_generate_toolobject argecho)
