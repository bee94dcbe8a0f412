// The main window's session socket `wsTelnet`: a CSocketKit seen through the
// runner's interface, whose events are handed on to the runner's handlers.
#pragma once

#include <memory>

#include "script/session_events.h"
#include "script/session_socket.h"

std::unique_ptr<ISessionSocket> MakeTelnetSocket(ISessionEvents& events);
