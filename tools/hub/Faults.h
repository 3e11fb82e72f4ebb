#pragma once
// Deliberate misbehaviour of the hub, for testing clients against a hub that goes wrong. Only
// the build for tests and the demo has it (svcorblex-hub-faults); the installed hub does not.

#include "gateway/HubServer.h"

#include <QStringView>
#include <optional>

namespace hubfaults {

enum class Fault {
    None,
    Stall,    // reads requests and never answers
    Slow,     // answers every request one second late
    Drip,     // sends each answer one byte every hundredth of the fault period (20 ms)
    Close,    // sends half of each answer, then closes the connection
    Garbage,  // sends a header that is not a decimal length
    Oversize, // announces an answer far over 64 MiB
    Mismatch, // "GETVALUES" leaves out the last tag and misnames the first
    Flap,     // stops listening and drops every client every fault period (2 s), then comes back
    NoStatus, // answers "GETSTATUS" with the empty text, as a hub without that request does
};
std::optional<Fault> ParseFault(QStringView text);

// Makes `server` misbehave as `fault` says; `periodMs` is the time scale of flap and drip.
void Install(gateway::HubServer& server, Fault fault, int periodMs);

} // namespace hubfaults
