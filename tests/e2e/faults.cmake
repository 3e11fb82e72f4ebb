# The real window against a demo hub started with each of its fault modes.
svc_add_test(test_e2e_faults GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e_faults.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eWizard.h)
add_dependencies(test_e2e_faults svcorblex-hub)
