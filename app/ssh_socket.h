// The session socket of an SSH line: an SSH session (net/ssh) seen through
// the runner's interface. Prompts of the server's authentication arrive as
// received blocks, and the next SendData answers the pending prompt (its
// trailing line end taken off) instead of reaching the shell.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "script/session_events.h"
#include "script/session_socket.h"

// log receives lines for the session log (a host key recorded on first use).
std::unique_ptr<ISessionSocket> MakeSshSocket(ISessionEvents& events, const std::string& user,
                                              std::function<void(const std::string&)> log);
