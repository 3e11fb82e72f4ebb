# Start-up time of the program to its first painted window, over 20 runs.
add_executable(bench_startup ${CMAKE_CURRENT_LIST_DIR}/bench_startup.cpp)
target_link_libraries(bench_startup PRIVATE svc_options Qt6::Core)
add_dependencies(bench_startup SVCorblexAppGen)
