svc_add_test(test_wizard GUI SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_wizard.cpp ${CMAKE_CURRENT_LIST_DIR}/WizardFixture.h)
