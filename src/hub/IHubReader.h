#pragma once
// The hub reader component: one request string in, one answer string out.
// An empty answer is the only failure form callers see.

#include "component/Component.h"

#include <QString>

inline constexpr auto HubReaderClassName = "SVComSrv60.SVComSrvClass";

class IHubReader : public ComponentBase {
public:
    // When false, the reader explains failed requests on standard error.
    virtual void SetSilent(bool silent) = 0;
    virtual bool Silent() const = 0;
    // Sends the request ("HUB:GETTAGS", "TCP:host:port!GETVALUES", ...) and returns the
    // hub's answer, or "" on any failure. Never blocks longer than the reader's time-out.
    virtual QString ReadInputFile(const QString& request) = 0;
};
