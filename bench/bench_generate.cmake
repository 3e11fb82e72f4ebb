add_executable(bench_generate ${CMAKE_CURRENT_LIST_DIR}/bench_generate.cpp)
target_link_libraries(bench_generate PRIVATE svcore)
add_dependencies(bench_generate sv6admin)
