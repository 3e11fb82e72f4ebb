# Round trip of "GETVALUES" through the hub reader to the demo hub executable, over the local
# endpoint and TCP, for 1,000, 100,000 and 1,000,000 synthetic tags; also the hub's own answer building.
add_executable(bench_hub ${CMAKE_CURRENT_LIST_DIR}/bench_hub.cpp)
target_link_libraries(bench_hub PRIVATE svcore svcorblex_hub_server)
add_dependencies(bench_hub svcorblex-hub)
