# The hub as a gateway: 10,000 MQTT tags updating 10 times a second through a local Mosquitto
# (GETVALUES round trip and the hub's processor use), and 2,000 Modbus registers of one
# pymodbus device polled every 100 ms (requests per poll and poll time).
add_executable(bench_gateway ${CMAKE_CURRENT_LIST_DIR}/bench_gateway.cpp)
target_link_libraries(bench_gateway PRIVATE svcore svcorblex_hub_server)
target_compile_definitions(bench_gateway PRIVATE SVC_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
add_dependencies(bench_gateway svcorblex-hub)
