# The Sampling page's UI-thread time per pass with the real window and grid at 1,000, 10,000
# and 100,000 tags, input latency while sampling on the timer, and peak memory.
add_executable(bench_sampling ${CMAKE_CURRENT_LIST_DIR}/bench_sampling.cpp)
target_link_libraries(bench_sampling PRIVATE svgui)
