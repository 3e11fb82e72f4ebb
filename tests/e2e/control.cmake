# The real window against a slow or stalled demo hub: double clicks during a transition and
# Close while a request waits.
svc_add_test(test_e2e_control GUI
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_e2e_control.cpp ${CMAKE_CURRENT_LIST_DIR}/E2eWizard.h)
add_dependencies(test_e2e_control svcorblex-hub)
