# The Sampling page's UI-thread time per pass with the real window and grid at 1,000, 10,000,
# 100,000 and 1,000,000 tags (and a cell-by-cell baseline at 100,000), input latency while
# sampling on the timer, peak memory, and Next on Connect to the first painted sample.
add_executable(bench_sampling ${CMAKE_CURRENT_LIST_DIR}/bench_sampling.cpp)
target_link_libraries(bench_sampling PRIVATE svgui)
