# The whole road through the real window against the demo hub, ending in the real sv6.exe and
# sv6admin.exe. It starts these programs from the bin folder and writes the page pictures to
# the test output (and to docs/images when SVC_UPDATE_SCREENSHOTS is set).
svc_add_test(test_e2e_road GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e_road.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eWizard.h)
add_dependencies(test_e2e_road svcorblex-hub sv6 sv6admin)
target_compile_definitions(test_e2e_road PRIVATE SVC_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
