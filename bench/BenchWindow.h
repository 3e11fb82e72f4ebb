#pragma once
// The wizard window as the window benchmarks open it: the program's own services, except a
// message box that reports on standard error instead of waiting for a user.

#include "BenchSupport.h"
#include "app/frmSVCorblexAppGen.h"

#include <QApplication>
#include <memory>

namespace bench {

class BenchWindow {
public:
    explicit BenchWindow(const char* benchmark) : messages(benchmark) {
        PlatformServices services;
        services.messageBox = &messages;
        window = std::make_unique<frmSVCorblexAppGen>(services);
    }

    // Starts the window up and shows it; false when start-up failed.
    bool Open() {
        if (!window->Form_Load())
            return false;
        window->show();
        QApplication::processEvents();
        return true;
    }

    CountingMessageBox messages;
    std::unique_ptr<frmSVCorblexAppGen> window;
};

} // namespace bench
