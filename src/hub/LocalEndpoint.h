#pragma once
// Where a hub's local endpoint lives. The hub and every reader find it through this one
// function, so that both look in the same place.

#include <QString>

namespace hubwire {

// The full name to listen on or connect to for the local endpoint `name`.
// On Unix-like systems the socket lives where no other user can create it first: in the
// user's runtime folder ($XDG_RUNTIME_DIR) when that is set and is a folder (not a link) of
// this user that neither group nor others may write to, otherwise in a folder of the
// temporary folder that belongs to this user alone (svcorblex-<user id>, mode 0700, made
// when missing). A name that holds a "/" is already a path and is used as it is. Elsewhere
// the name is used as it is.
// Returns "" with `error` set when the private folder cannot be made or is not private.
QString LocalEndpoint(const QString& name, QString* error = nullptr);

} // namespace hubwire
