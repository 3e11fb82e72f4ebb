#pragma once
// Building hub request prefixes and requests.

#include <QString>

namespace hubrequest {

inline constexpr auto GetTags = "GETTAGS";
inline constexpr auto GetValues = "GETVALUES";
// An extension of the protocol: the quality of each tag's value (docs/hub-protocol.md).
inline constexpr auto GetStatus = "GETSTATUS";

// "HUB:" for the local hub, "TCP:" + address + ":" + port + "!" for a remote one;
// address and port are taken exactly as typed.
inline QString MakePrefix(bool direct, const QString& address, const QString& port) {
    if (direct)
        return QStringLiteral("HUB:");
    return QStringLiteral("TCP:") + address + QLatin1Char(':') + port + QLatin1Char('!');
}

inline QString MakeRequest(const QString& prefix, const char* command) {
    return prefix + QLatin1String(command);
}

} // namespace hubrequest
