#pragma once
#include <QWidget>

// Creates the wizard window, runs its start-up and the event loop; returns the exit code.
int RunWizard();
