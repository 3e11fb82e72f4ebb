# The Select Tags page (entering, the filter) with 100,000 tags and the Layout page with
# 2,000 and 100,000 selected tags, each with the real window and grids.
add_executable(bench_layout ${CMAKE_CURRENT_LIST_DIR}/bench_layout.cpp)
target_link_libraries(bench_layout PRIVATE svgui)
