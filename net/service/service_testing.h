// Diagnostics of the socket service for tests (not used by the program).
#pragma once

#include <cstdint>

namespace modSocketKit::testing {

bool ServiceStarted();
// The identifier printed by "OK Subclass memory allocated at: " (0 when no block).
int32_t DispatcherAddress();
bool DispatcherInstalled();
// Slots of the route tables that hold a handle (the entry counts include free slots).
int32_t LiveSocketRoutes();
int32_t LiveResolutionRoutes();
// Closes the VARNEL_SOCKET_LOG mirror; the next line reads the variable again.
void ReopenLogMirror();

}  // namespace modSocketKit::testing
