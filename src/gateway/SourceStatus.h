#pragma once
// The state of one broker or device as its status tag (statustag=) publishes it: "connecting",
// "connected" or "unreachable since hh:mm:ss" (local time). Both kinds of source report
// through this, so their status tags read alike; why a source is unreachable goes to the log
// only.

#include "gateway/LiveValues.h"

#include <QByteArray>

namespace gateway {

class SourceStatus {
public:
    // `slot` < 0: the source has no status tag; nothing is published.
    SourceStatus(LiveValues& values, qsizetype slot) : values_(values), slot_(slot) {}

    void Connecting();
    void Connected();
    // Keeps the time it first became unreachable while it stays so.
    void Unreachable();
    // The status tag's slot moved (a reload kept the source); its value moved with it.
    void MoveTo(qsizetype slot) { slot_ = slot; }

private:
    enum class State { None, Connecting, Connected, Unreachable };
    void Publish(State state, QByteArray text);

    LiveValues& values_;
    qsizetype slot_;
    State state_ = State::None;
};

} // namespace gateway
