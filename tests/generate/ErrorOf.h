#pragma once
// The message of the component error an action throws, for tests that compare it.

#include "component/Component.h"

#include <functional>

// The message of the ComponentError `action` throws, or "<no error>" when it throws none.
inline QString ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ComponentError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}
