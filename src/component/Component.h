#pragma once
// The closed components of the workstation installation (hub reader, settings library,
// application model, tool object) are reached through abstract interfaces that all derive
// from ComponentBase, so that one factory can create any of them by class name.
// Every component reports failure by throwing ComponentError.

#include <QString>
#include <stdexcept>

class ComponentBase {
public:
    virtual ~ComponentBase() = default;
};

class ComponentError : public std::runtime_error {
public:
    explicit ComponentError(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    const QString& message() const noexcept { return message_; }

private:
    QString message_;
};
