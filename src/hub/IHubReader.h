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
    // hub's answer, or "" on any failure. Waits at most the reader's time-out, and the
    // thread's other events (input, paints, timers) keep running meanwhile: a caller must
    // expect to be re-entered while it waits.
    virtual QString ReadInputFile(const QString& request) = 0;
    // Gives up the request that is waiting for its answer, if any: its ReadInputFile returns
    // "" at once. The window calls it when it closes and before a request that supersedes
    // one still waiting.
    virtual void Abandon() {}
};
