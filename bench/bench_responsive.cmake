# The window while it waits for a hub: time from the close command to the end while the hub
# stalls, and input latency while 100,000 tags make their round trip from the demo hub.
add_executable(bench_responsive ${CMAKE_CURRENT_LIST_DIR}/bench_responsive.cpp)
target_link_libraries(bench_responsive PRIVATE svgui)
add_dependencies(bench_responsive svcorblex-hub)
