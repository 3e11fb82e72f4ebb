#include "gateway/SourceStatus.h"

#include <QTime>

namespace gateway {

void SourceStatus::Connecting() {
    Publish(State::Connecting, QByteArrayLiteral("connecting"));
}

void SourceStatus::Connected() {
    Publish(State::Connected, QByteArrayLiteral("connected"));
}

void SourceStatus::Unreachable() {
    if (state_ == State::Unreachable)
        return;
    Publish(State::Unreachable,
            "unreachable since " + QTime::currentTime().toString(u"hh:mm:ss").toLatin1());
}

void SourceStatus::Publish(State state, QByteArray text) {
    if (state == state_)
        return;
    state_ = state;
    if (slot_ >= 0)
        values_.Set(slot_, std::move(text));
}

} // namespace gateway
